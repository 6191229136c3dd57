"""Many threads at once: parse keeps no shared state, and the first import builds each type once."""

from __future__ import annotations

import os
import subprocess
import sys
import threading
from pathlib import Path

import pytest

import corvina_py

THREADS = 8
ROUNDS = 30

ACCOUNT = ['СекцияРасчСчет', 'ДатаНачала=01.03.2024', 'РасчСчет=40702810938000012345',
           'НачальныйОстаток=1250.15', 'КонецРасчСчет']


def document(number: int) -> list[str]:
    return ['СекцияДокумент=Платежное поручение', f'Номер={number}', 'Дата=05.03.2024',
            f'Сумма={number}.{number % 100:02}', 'НазначениеПлатежа=Оплата',
            'ПлательщикИНН=7701234567', 'ПлательщикБИК=044525225',
            'ПлательщикБанк1=ПАО СБЕРБАНК', 'ПлательщикСчет=40702810938000012345',
            'ПолучательИНН=5009876543', 'ПолучательСчет=40702810100000054321',
            'ПолучательБИК=044525593', 'ПолучательБанк1=АО "АЛЬФА-БАНК"', 'КонецДокумента']


def statement(first: int, count: int) -> str:
    lines = ['1CClientBankExchange', 'ВерсияФормата=1.03', f'Отправитель=Поток {first}', *ACCOUNT]
    for number in range(first, first + count):
        lines += document(number)
    return '\n'.join([*lines, 'КонецФайла']) + '\n'


def numbering(section_type, attrs, header):
    attrs['Номер'] = attrs.get('Номер', '') + '/' + header['Отправитель']


def reparsing(section_type, attrs, header):
    # Another whole parse, with a hook of its own, in the middle of this one.
    inner = corvina_py.parse(statement(900, 2), [numbering])
    attrs['Номер'] = attrs.get('Номер', '') + f'+{len(inner.documents)}'


def refusing(section_type, attrs, header):
    if section_type == corvina_py.SectionType.Document:
        raise ValueError(f'no {attrs["Номер"]}')


# name, statement, hooks
CASES = [
    (f'{name} {first}', statement(first, 5).encode(encoding) if encoding else statement(first, 5),
     hooks)
    for first in (1, 40)
    for name, encoding, hooks in [
        ('plain', None, None),
        ('cp1251', 'cp1251', None),
        ('utf-8', 'utf-8', []),
        ('hook', None, [numbering]),
        ('reentrant', None, [reparsing, numbering]),
        ('refused', None, [numbering, refusing]),
    ]
] + [
    ('unfinished', statement(1, 3).rsplit('КонецФайла', 1)[0], None),
    ('junk', statement(1, 3) + 'junk\n', [numbering]),
    ('empty', b'', None),
]


def outcome(data, hooks):
    """Everything a call produces, in comparable form."""
    try:
        result = corvina_py.parse(data, hooks)
    except corvina_py.ParseError as error:
        detail = getattr(error, 'detail', None)
        return (type(error), error.args, repr(detail))
    return (result.encoding, result.header, result.accounts, result.documents, result.warnings)


def run_threads(work, count=THREADS):
    """Runs work(index) on count threads released together; re-raises the first failure."""
    barrier = threading.Barrier(count)
    failures = []

    def body(index):
        try:
            barrier.wait()
            work(index)
        except BaseException as error:  # noqa: BLE001 - handed to the main thread
            failures.append(error)

    threads = [threading.Thread(target=body, args=(i,)) for i in range(count)]
    switch = sys.getswitchinterval()
    # Switch threads as often as possible so that hooks of different calls interleave.
    sys.setswitchinterval(1e-6)
    try:
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        sys.setswitchinterval(switch)
    if failures:
        raise failures[0]


class TestConcurrentParse:
    def test_same_results_as_one_thread(self):
        expected = [outcome(data, hooks) for _, data, hooks in CASES]
        seen = [[] for _ in range(THREADS)]

        def work(index):
            for round_ in range(ROUNDS):
                # Each thread walks the cases from its own starting point.
                for offset in range(len(CASES)):
                    case = (index + round_ + offset) % len(CASES)
                    _, data, hooks = CASES[case]
                    seen[index].append((case, outcome(data, hooks)))

        run_threads(work)
        for results in seen:
            assert len(results) == ROUNDS * len(CASES)
            for case, result in results:
                assert result == expected[case], CASES[case][0]

    def test_shared_hook_list_and_input(self):
        # One list of hooks and one input object in every thread at once.
        data = statement(7, 20)
        hooks = [numbering, reparsing]
        expected = outcome(data, hooks)
        results = []
        run_threads(lambda index: results.extend(outcome(data, hooks) for _ in range(5)))
        assert results == [expected] * (THREADS * 5)

    def test_hook_sees_its_own_call(self):
        # Attributes and header handed to a hook belong to the call that runs it.
        mismatches = []

        def checking(section_type, attrs, header):
            if section_type == corvina_py.SectionType.Document:
                if not header['Отправитель'].endswith(str(int(attrs['Номер']) // 100 * 100)):
                    mismatches.append((header['Отправитель'], attrs['Номер']))

        def work(index):
            for _ in range(ROUNDS):
                corvina_py.parse(statement(index * 100, 4), [checking])

        run_threads(work)
        assert mismatches == []


IMPORT_SCRIPT = '''
import sys, threading
barrier = threading.Barrier({threads})
seen = []
def body():
    barrier.wait()
    import corvina_py
    names = [n for n in corvina_py.__all__ if isinstance(getattr(corvina_py, n), type)]
    seen.append(tuple(id(getattr(corvina_py, n)) for n in names) + (id(corvina_py),))
threads = [threading.Thread(target=body) for _ in range({threads})]
for t in threads: t.start()
for t in threads: t.join()
assert len(seen) == {threads}, seen
assert len(set(seen)) == 1, 'types differ between threads'
assert len(seen[0]) >= 17, seen[0]
import corvina_py
try:
    corvina_py.parse('1CClientBankExchange\\nX=1\\n')
except corvina_py.UnfinishedError:
    pass
print('ok')
'''


class TestFirstImport:
    def test_threads_importing_together_share_types(self):
        module_dir = str(Path(corvina_py.__file__).resolve().parent)
        env = dict(os.environ)
        env['PYTHONPATH'] = os.pathsep.join(
            [module_dir, *filter(None, [os.environ.get('PYTHONPATH')])])
        for _ in range(3):
            done = subprocess.run([sys.executable, '-c', IMPORT_SCRIPT.format(threads=THREADS)],
                                  env=env, capture_output=True, text=True, timeout=120)
            assert (done.returncode, done.stdout.strip()) == (0, 'ok'), done.stderr
