"""The Dask guide's DataFrame snippet, run as written on a cluster of this machine."""

from __future__ import annotations

import datetime
import decimal
import importlib.util
import re
from pathlib import Path

import pytest

from conftest import UNDER_ASAN, statement

GUIDE = Path(__file__).resolve().parents[2] / 'docs' / 'many-files.md'

pytestmark = [
    pytest.mark.dask,
    pytest.mark.skipif(importlib.util.find_spec('distributed') is None
                       or importlib.util.find_spec('pandas') is None,
                       reason='dask[distributed] and pandas are not installed'),
    # Pure Python over the module that the main run has checked; under AddressSanitizer its
    # cluster's processes only cost the stage time.
    pytest.mark.skipif(UNDER_ASAN, reason='checked by the main run'),
]


def snippet() -> str:
    """The first Python block of the guide's section on the Dask DataFrame, verbatim."""
    text = GUIDE.read_text(encoding='utf-8')
    section = text[text.index('\n## A folder as one Dask DataFrame\n'):]
    found = re.search(r'\n```python\n(.*?)\n```\n', section, re.DOTALL)
    assert found is not None
    return found.group(1)


def payment(number: str, date: str, amount: str, payee: str) -> tuple[str, dict[str, str]]:
    return ('Платежное поручение', {
        'Номер': number, 'Дата': date, 'Сумма': amount, 'ПлательщикСчет': '40702810000000000001',
        'ПлательщикИНН': '7701', 'ПлательщикБИК': '044525000', 'ПлательщикБанк1': 'Банк',
        'ПолучательСчет': payee, 'ПолучательИНН': '7702', 'ПолучательБИК': '044525001',
        'ПолучательБанк1': 'Банк получателя', 'НазначениеПлатежа': 'Оплата'})


def test_snippet_runs_as_written_on_a_local_cluster(tmp_path, monkeypatch, capsys):
    folder = tmp_path / 'statements'
    folder.mkdir()
    (folder / 'feb.txt').write_bytes(statement(
        payment('1', '28.02.2024', '10.50', '40702810000000000002')).encode('cp1251'))
    (folder / 'MAR.TXT').write_text(statement(
        payment('2', '01.03.2024', '0.01', '40702810000000000002'),
        payment('3', '15.03.2024', '7', '40702810000000000003')), encoding='utf-8')
    (folder / 'notes.csv').write_text('not a statement')
    monkeypatch.chdir(tmp_path)
    names: dict[str, object] = {'__name__': '__main__'}
    exec(compile(snippet(), str(GUIDE), 'exec'), names)  # noqa: S102
    march = names['march']
    assert list(march['doc_number']) == ['2', '3']
    assert list(march['doc_date']) == [datetime.date(2024, 3, 1), datetime.date(2024, 3, 15)]
    assert [decimal.Decimal(str(amount)) for amount in march['amount']] == [
        decimal.Decimal('0.01'), decimal.Decimal('7.00')]
    assert list(march['file']) == ['statements/MAR.TXT'] * 2
    assert capsys.readouterr().out == (
        "2 documents from March on; {'40702810000000000002': 2, '40702810000000000003': 1}\n")
