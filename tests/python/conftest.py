"""Statement builders shared by the module's tests (import them: `from conftest import ...`)."""

from __future__ import annotations

import os
import subprocess
import sys
import sysconfig

MARKER = '1CClientBankExchange'

# The address-space limit and the fill of freed memory that some tests rely on do not work
# under AddressSanitizer or in an interpreter without the lock (its allocator reserves far
# ahead).
UNDER_ASAN = 'asan' in os.environ.get('LD_PRELOAD', '')
FREE_THREADED = bool(sysconfig.get_config_var('Py_GIL_DISABLED'))


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
