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
