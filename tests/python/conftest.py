"""Statement builders shared by the module's tests (import them: `from conftest import ...`)."""

from __future__ import annotations

import importlib.util
import os
import pathlib
import subprocess
import sys
import sysconfig
import types

from hypothesis import HealthCheck, settings

MARKER = '1CClientBankExchange'

# The real statements beside the project, read-only; tests that use them skip when absent.
SAMPLES = pathlib.Path(os.environ.get('CORVINA_SAMPLES_DIR',
                                      pathlib.Path(__file__).resolve().parents[3] / 'shared'
                                      / 'samples'))

# The address-space limit and the fill of freed memory that some tests rely on do not work
# under AddressSanitizer or in an interpreter without the lock (its allocator reserves far
# ahead).
UNDER_ASAN = 'asan' in os.environ.get('LD_PRELOAD', '')
FREE_THREADED = bool(sysconfig.get_config_var('Py_GIL_DISABLED'))


def load_generator() -> types.ModuleType:
    """bench/generate_statements.py, the benchmarks' seeded generator of realistic statements."""
    spec = importlib.util.spec_from_file_location(
        'generate_statements', pathlib.Path(__file__).resolve().parents[2] / 'bench'
        / 'generate_statements.py')
    assert spec is not None and spec.loader is not None
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def lines(*parts: str, end: str = '\n') -> str:
    """The lines as one text, each ended by `end`."""
    return ''.join(part + end for part in parts)


def statement(*sections: tuple[str, dict[str, str]],
              header: dict[str, str] | None = None) -> str:
    """A statement text; a section is ('account', attrs) or (document kind, attrs)."""
    header = {'ВерсияФормата': '1.03'} if header is None else header
    out = [MARKER, *(f'{key}={value}' for key, value in header.items())]
    for kind, attrs in sections:
        out.append('СекцияРасчСчет' if kind == 'account' else f'СекцияДокумент={kind}')
        out.extend(f'{key}={value}' for key, value in attrs.items())
        out.append('КонецРасчСчет' if kind == 'account' else 'КонецДокумента')
    out.append('КонецФайла')
    return lines(*out)


def bulk_documents(count: int) -> str:
    """A statement of `count` short payment orders, the i-th numbered i for an amount of
    i.(i % 100) roubles: enough of them and the module makes their objects in blocks."""
    sections = ''.join(
        f'СекцияДокумент=Платежное поручение\nНомер={i}\nДата=05.03.2024\n'
        f'Сумма={i}.{i % 100:02}\nПлательщикСчет=40702810000000000001\nПлательщикИНН=7701\n'
        f'ПлательщикБИК=044525000\nПлательщикБанк1=Банк\nПолучательСчет=40702810000000000002\n'
        f'ПолучательИНН=7702\nПолучательБИК=044525001\nПолучательБанк1=Банк получателя\n'
        f'НазначениеПлатежа=Оплата {i}\nКонецДокумента\n' for i in range(count))
    return f'{MARKER}\nВерсияФормата=1.03\n{sections}КонецФайла\n'


def run_python(script: str, *, timeout: float = 300,
               env: dict[str, str] | None = None) -> subprocess.CompletedProcess[str]:
    """Runs a script in a fresh interpreter of the one running the tests."""
    return subprocess.run([sys.executable, '-c', script], capture_output=True, text=True,
                          timeout=timeout, env={**os.environ, **(env or {})}, check=False)


def many_sections(count: int, *, first: int = 0) -> str:
    """A statement of `count` sections as banks write them, with line numbers worth checking:
    accounts of three numbers dated out of order and repeated at another scale, documents of
    which every seventh lacks a field and becomes a warning, blank lines between sections."""
    sections: list[tuple[str, dict[str, str]]] = []
    for number in range(first, first + count):
        if number % 5 == 0:
            day = 10 + number % 7
            sections.append(('account', {
                'ДатаНачала': f'{day}.03.2024', 'РасчСчет': f'4070281000000000000{number % 3}',
                'НачальныйОстаток': '100.00' if number % 2 else '100'}))
            continue
        attrs = {'Номер': str(number), 'Дата': '05.03.2024', 'Сумма': f'{number}.{number % 100:02}',
                 'ПлательщикСчет': '40702810000000000001', 'ПлательщикИНН': '7701',
                 'ПлательщикБИК': '044525000', 'ПлательщикБанк1': 'Банк',
                 'ПолучательСчет': '40702810000000000002', 'ПолучательИНН': '7702',
                 'ПолучательБИК': '044525001', 'ПолучательБанк1': 'Банк получателя',
                 'НазначениеПлатежа': f'Оплата по счету № {number} = аванс'}
        if number % 7 == 0:
            del attrs['ПолучательИНН']
        sections.append(('Платежное поручение', attrs))
    return statement(*sections).replace('\nСекцияДокумент=', '\n\nСекцияДокумент=')


# The required keys of a payment order, each with a value of its own.
REQUIRED_DOCUMENT = {
    'Номер': '17', 'Дата': '05.03.2024', 'Сумма': '100.50',
    'ПлательщикСчет': '40702810000000000001',
    'ПлательщикИНН': '7701', 'ПлательщикБИК': '044525000', 'ПлательщикБанк1': 'Банк',
    'ПолучательСчет': '40702810000000000002', 'ПолучательИНН': '7702', 'ПолучательБИК': '044525001',
    'ПолучательБанк1': 'Банк получателя', 'НазначениеПлатежа': 'Оплата',
}

# A payment order with every required key, its values as a bank writes them: full INNs and
# accounts, bank names with quotes, a purpose in Cyrillic with ё.
PAYMENT_ORDER = {
    'Номер': '17',
    'Дата': '05.03.2024',
    'Сумма': '100.50',
    'НазначениеПлатежа': 'Оплата по счёту',
    'ПлательщикИНН': '7701234567',
    'ПлательщикБИК': '044525225',
    'ПлательщикБанк1': 'ПАО СБЕРБАНК',
    'ПлательщикСчет': '40702810938000012345',
    'ПолучательИНН': '5009876543',
    'ПолучательСчет': '40702810100000054321',
    'ПолучательБИК': '044525593',
    'ПолучательБанк1': 'АО "АЛЬФА-БАНК"',
}

# The key of each Document field, by attribute name.
DOCUMENT_KEYS = {
    'doc_number': 'Номер', 'doc_type': 'СекцияДокумент', 'doc_date': 'Дата', 'amount': 'Сумма',
    'purpose': 'НазначениеПлатежа', 'payment_type': 'ВидОплаты', 'ordering': 'Очередность',
    'counterparty_inn': 'ПлательщикИНН', 'counterparty_kpp': 'ПлательщикКПП',
    'counterparty_bic': 'ПлательщикБИК', 'counterparty_bank1': 'ПлательщикБанк1',
    'counterparty_account': 'ПлательщикСчет', 'counterparty': 'Плательщик',
    'counterparty_1': 'Плательщик1', 'counterparty_ras_account': 'ПлательщикРасчСчет',
    'counterparty_cor_account': 'ПлательщикКорсчет', 'outcome_date': 'ДатаСписано',
    'payee_inn': 'ПолучательИНН', 'payee': 'Получатель', 'payee_account': 'ПолучательСчет',
    'payee_kpp': 'ПолучательКПП', 'payee_bic': 'ПолучательБИК', 'payee_bank1': 'ПолучательБанк1',
    'payee_ras_account': 'ПолучательРасчСчет', 'payee_cor_account': 'ПолучательКорсчет',
    'income_date': 'ДатаПоступило',
}


def document_lines(*extra: str, kind: str = 'Платежное поручение') -> list[str]:
    """The lines of a payment order with every required key, then `extra` lines as written
    (keys may repeat), from its opening line to its end line."""
    return [f'СекцияДокумент={kind}', *(f'{key}={value}' for key, value in
                                        REQUIRED_DOCUMENT.items()), *extra, 'КонецДокумента']


def statement_of_lines(*line_groups: list[str], end: str = '\n') -> str:
    """A statement of the given section lines after a one-key header."""
    return lines(MARKER, 'ВерсияФормата=1.03',
                 *(line for group in line_groups for line in group), 'КонецФайла', end=end)


def section_extras(text: str) -> dict[int, dict[str, str]]:
    """Read apart from the parser: each document section's opening line number, with the keys
    of the section that name no field, in order of first appearance with their last values."""
    field_keys = set(DOCUMENT_KEYS.values())
    found: dict[int, dict[str, str]] = {}
    current: dict[str, str] | None = None
    for number, line in enumerate(text.split('\n'), 1):
        line = line.removesuffix('\r')
        if line.startswith('СекцияДокумент='):
            current = found.setdefault(number, {})
        elif line == 'КонецДокумента':
            current = None
        elif current is not None and '=' in line:
            key, value = line.split('=', 1)
            if key not in field_keys:
                current[key] = value
    return found


# Round trips through the writer: many examples in every run, which the test keeps cheap. Under
# AddressSanitizer a fifth of them: the sanitizer checks the memory each one touches, the plain
# run has the count that finds the odd shapes.
settings.register_profile('round-trip', max_examples=400 if UNDER_ASAN else 2000, deadline=None,
                          suppress_health_check=[HealthCheck.too_slow,
                                                 HealthCheck.data_too_large])


# A payment order whose requisites hold (INN and account control digits, KPP and BIC shapes),
# from the account OWN_ACCOUNT to another: checks of it find nothing to say of its requisites.
OWN_ACCOUNT = '40702810400000000225'
SOUND_DOCUMENT = {
    'Номер': '1', 'Дата': '05.03.2024', 'Сумма': '100.00',
    'ПлательщикСчет': OWN_ACCOUNT, 'ПлательщикИНН': '7707083893', 'ПлательщикКПП': '773601001',
    'ПлательщикБИК': '044525225', 'ПлательщикБанк1': 'ПАО СБЕРБАНК',
    'ПлательщикКорсчет': '30101810400000000225',
    'ПолучательСчет': '40702810100000000002', 'ПолучательИНН': '500100732259',
    'ПолучательБИК': '044525593', 'ПолучательБанк1': 'АО "АЛЬФА-БАНК"',
    'НазначениеПлатежа': 'Оплата',
}
