"""A process that exits while other threads are inside the module ends as it asked to.

At exit the interpreter ends its daemon threads where they stand (the next time they want the
lock), by unwinding their stacks: through our frames while they build a table without the lock,
or while a hook runs in the middle of a parse. Their unwinding runs beside the exit's own
destructors on the main thread: what it touches must outlive those (the AddressSanitizer build
reports it in the child's stderr when it does not).

The statement is encoded once, before the threads start. A thread that looks a codec up (an
import) when the exit begins can hang CPython 3.13's free-threaded build at exit, with or without
the lock and with no extension loaded: what would be tested then is the interpreter, not us.
"""

from __future__ import annotations

import pytest

from conftest import run_python, statement

DOCUMENT = ('Платежное поручение', {
    'Номер': '1', 'Дата': '05.03.2024', 'Сумма': '1.00',
    'ПлательщикСчет': '40702810938000012345', 'ПолучательСчет': '40702810100000054321'})

EXIT_STATUS = 7

CHILD = '''
import sys, threading, time
import corvina_py
text = {head!r} + {section!r} * 1000 + {tail!r}
parsed = corvina_py.parse(text)
data = text.encode('cp1251')
def spin(work):
    while True:
        work()
work = {{
    'table': parsed.documents_table,
    'hooks': lambda: corvina_py.parse(text, [lambda kind, attrs, header: None]),
    'parse': lambda: corvina_py.parse(data),
}}
for name in {names!r}:
    for _ in range(2):
        threading.Thread(target=spin, args=(work[name],), daemon=True).start()
time.sleep(0.1)
sys.exit({status})
'''


@pytest.mark.parametrize('names', [('table',), ('hooks',), ('table', 'hooks', 'parse')])
def test_exit_with_threads_inside(names: tuple[str, ...]) -> None:
    one = statement(DOCUMENT)
    start, end = one.index('СекцияДокумент'), one.index('КонецФайла')
    script = CHILD.format(head=one[:start], section=one[start:end], tail=one[end:], names=names,
                          status=EXIT_STATUS)
    for _ in range(20):
        result = run_python(script, timeout=60)
        assert (result.returncode, result.stderr) == (EXIT_STATUS, '')
