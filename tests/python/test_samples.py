"""Real statements from public sources, kept beside the project (skipped when absent)."""

from __future__ import annotations

import os
from pathlib import Path

import pytest

import corvina_py

SAMPLES = Path(os.environ.get('CORVINA_SAMPLES_DIR',
                              Path(__file__).resolve().parents[3] / 'shared' / 'samples'))

pytestmark = pytest.mark.skipif(not SAMPLES.is_dir(), reason='sample statements not available')


def read(name: str) -> bytes:
    return (SAMPLES / name).read_bytes()


class TestSamples:
    # file, encoding, documents, accounts
    GOOD = [
        ('sample-01.txt', 'cp1251', 13, 1),
        ('sample-02.txt', 'utf-8', 13, 1),
        ('sample-03.txt', 'cp1251', 3, 1),
        ('sample-05.txt', 'utf-8', 6, 2),
        ('sample-06.txt', 'utf-8', 2, 2),
        ('sample-07.txt', 'utf-8', 6, 0),
        ('sample-08.txt', 'cp1251', 14, 1),
        ('sample-09.txt', 'cp1251', 2, 1),
        ('sample-10.txt', 'utf-8', 4, 1),
    ]

    @pytest.mark.parametrize(('name', 'encoding', 'documents', 'accounts'), GOOD)
    def test_counts(self, name, encoding, documents, accounts):
        statement = corvina_py.parse(read(name))
        assert statement.encoding == encoding
        assert len(statement.documents) == documents
        assert len(statement.accounts) == accounts
        assert statement.warnings == []

    @pytest.mark.parametrize(('name', 'encoding', 'documents', 'accounts'), GOOD)
    def test_text_and_bytes_agree(self, name, encoding, documents, accounts):
        data = read(name)
        from_bytes = corvina_py.parse(data)
        from_text = corvina_py.parse(data.decode(encoding))
        assert from_text.encoding == 'utf-8'
        assert from_text.documents == from_bytes.documents
        assert from_text.accounts == from_bytes.accounts
        assert from_text.header == from_bytes.header

    def test_same_statement_in_two_encodings(self):
        cp1251 = corvina_py.parse(read('sample-01.txt'))
        utf8 = corvina_py.parse(read('sample-02.txt'))
        assert (cp1251.encoding, utf8.encoding) == ('cp1251', 'utf-8')
        assert cp1251.documents == utf8.documents
        assert cp1251.accounts == utf8.accounts
        assert cp1251.header == utf8.header

    def test_values_kept_exactly_as_written(self):
        # One purpose in this file ends in a space: values are data, never trimmed.
        raw = read('sample-03.txt').decode('cp1251').split('\r\n')
        purposes = [line.partition('=')[2] for line in raw
                    if line.startswith('НазначениеПлатежа=')]
        statement = corvina_py.parse(read('sample-03.txt'))
        assert [d.purpose for d in statement.documents] == purposes
        assert any(p.endswith(' ') for p in purposes)

    def test_outgoing_file_with_bare_section_line(self):
        with pytest.raises(corvina_py.SyntaxError) as caught:
            corvina_py.parse(read('sample-04.txt'))
        assert str(caught.value) == "Unrecognized line: 'СекцияДокумент'"
        detail = caught.value.detail
        assert isinstance(detail, corvina_py.UnrecognizedLine)
        assert (detail.lineno, detail.line) == (10, 'СекцияДокумент')

    def test_malformed_header_date_is_kept_as_text(self):
        statement = corvina_py.parse(read('sample-08.txt'))
        assert statement.header['ДатаКонца'] == '23.08.201819202122'
        memorial = [d for d in statement.documents if d.doc_type == 'Мемориальный ордер']
        assert len(memorial) == 1
        assert memorial[0].doc_number == 'БА8170433'
        assert memorial[0].purpose == 'Хоз расходы {53=33798.03}'

    def test_amount_without_decimals_keeps_its_scale(self):
        statement = corvina_py.parse(read('sample-10.txt'))
        amounts = [d.amount for d in statement.documents]
        assert '700' in amounts
        assert '14000' in amounts
