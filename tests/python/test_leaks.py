"""Every path through the module, thousands of times: nothing may grow.

A leaked reference shows in the reference counts of the objects handed in; a leaked Python object
in tracemalloc; a leaked buffer of the core (the input copy, the decoded text, the tokens) only in
the resident size of the process, so the statement carries a long value that makes such a buffer
big enough to see.
"""

from __future__ import annotations

import copy
import gc
import os
import pickle
import sys
import textwrap
import tracemalloc

import pytest

import corvina_py
from conftest import FREE_THREADED, UNDER_ASAN, run_python

# AddressSanitizer keeps freed memory in quarantine, so the resident size grows by design there,
# and only tracemalloc measures: on a quarter of the rounds, which costs a quarter of the time
# under the sanitizer and tells a leak per round just as well.
ROUNDS = 250 if UNDER_ASAN else 1000
WARMUP = 100
# Per round, on average. A leaked copy of the statement alone costs over 8 KiB a round.
PYTHON_BYTES_PER_ROUND = 64
# Under the sanitizers Python allocates through the system allocator, whose blocks held over a
# window come to some ten kilobytes whatever the number of rounds: not a growth per round.
PYTHON_SLACK = 32 * 1024 if UNDER_ASAN else 0
RESIDENT_BYTES_PER_ROUND = 2048

LONG = 'Оплата по договору поставки ' * 150  # about 8 KiB in UTF-8
ACCOUNT = ['СекцияРасчСчет', 'ДатаНачала=01.03.2024', 'РасчСчет=40702810938000012345',
           'НачальныйОстаток=1250.15', 'КонецРасчСчет']
DOCUMENT = ['СекцияДокумент=Платежное поручение', 'Номер=17', 'Дата=05.03.2024',
            'Сумма=100.50', f'НазначениеПлатежа={LONG}', 'ПлательщикИНН=7701234567',
            'ПлательщикБИК=044525225', 'ПлательщикБанк1=ПАО СБЕРБАНК',
            'ПлательщикСчет=40702810938000012345', 'ПолучательИНН=5009876543',
            'ПолучательСчет=40702810100000054321', 'ПолучательБИК=044525593',
            'ПолучательБанк1=АО "АЛЬФА-БАНК"', 'КонецДокумента']
HEADER = ['1CClientBankExchange', 'ВерсияФормата=1.03', f'Отправитель={LONG}']


def text(*lines: str) -> str:
    return '\n'.join(lines) + '\n'


GOOD = text(*HEADER, *ACCOUNT, *DOCUMENT, *DOCUMENT[:3], 'Сумма=1,5', *DOCUMENT[4:],
            'КонецФайла')
GOOD_BYTES = GOOD.encode()
GOOD_CP1251 = GOOD.encode('cp1251')


def expect(error, call):
    """A path that must raise `error`; the raised exception is dropped at once."""
    def run():
        try:
            call()
        except error:
            return
        raise AssertionError(f'{error.__name__} was not raised')
    return run


def hook_raising(section_type, attrs, header):
    raise ValueError(LONG)


def hook_leaving(value):
    def hook(section_type, attrs, header):
        attrs['Номер'] = value
    return hook


def hook_rewriting(section_type, attrs, header):
    attrs['Номер'] = attrs.get('Номер', '') + '-1'
    attrs['Новый'] = LONG
    attrs.pop('ПлательщикИНН', None)


def hook_reentrant(section_type, attrs, header):
    if section_type == corvina_py.SectionType.Account:
        try:
            corvina_py.parse(GOOD, [hook_rewriting, hook_raising])
        except corvina_py.SyntaxError:
            pass


def hook_clearing(section_type, attrs, header):
    # A document without fields becomes a warning; an account without them would end the parse.
    if section_type == corvina_py.SectionType.Document:
        attrs.clear()


class Refusing(list):
    def __iter__(self):
        raise ValueError(LONG)


def failing(lines):
    return text(*HEADER, *lines)


def checks_of_foreign_item():
    statement = corvina_py.parse(GOOD)
    statement.documents.append(LONG)
    return statement._check_documents(())


def typed_records(statement):
    return statement.records(), statement.interval_records()


def records_of_a_list_with(item):
    parsed = corvina_py.parse(GOOD)
    parsed.documents.append(item)
    return parsed.records()


YEAR_ZERO = text(*HEADER, *ACCOUNT, *DOCUMENT[:-1], 'ДатаПоступило=05.03.0', 'КонецДокумента',
                 'КонецФайла')


PATHS = {
    'str': lambda: corvina_py.parse(GOOD),
    'utf-8 bytes': lambda: corvina_py.parse(GOOD_BYTES),
    'cp1251 bytes': lambda: corvina_py.parse(GOOD_CP1251),
    'rewriting hook': lambda: corvina_py.parse(GOOD, [hook_rewriting, hook_rewriting]),
    'clearing hook': lambda: corvina_py.parse(GOOD, [hook_clearing]),
    'reentrant hook': lambda: corvina_py.parse(GOOD, [hook_reentrant]),
    'result attributes': lambda: [repr(d) for d in corvina_py.parse(GOOD).documents],
    'document checks': lambda: corvina_py.parse(GOOD)._check_documents(
        ('40702810938000012345', LONG)),
    'document checks of a foreign item': expect(TypeError, lambda: checks_of_foreign_item()),
    'document checks of a bad account': expect(
        UnicodeEncodeError, lambda: corvina_py.parse(GOOD)._check_documents((LONG, '\udc80'))),
    'typed records': lambda: typed_records(corvina_py.parse(GOOD)),
    'typed records of cp1251': lambda: typed_records(corvina_py.parse(GOOD_CP1251)),
    'records of a changed list': expect(TypeError, lambda: records_of_a_list_with(LONG)),
    'records of a year before the era': expect(
        ValueError, lambda: corvina_py.parse(YEAR_ZERO).records()),
    'empty': expect(corvina_py.EmptyInputError, lambda: corvina_py.parse(b'')),
    'not a statement': expect(corvina_py.NotStatementError, lambda: corvina_py.parse(LONG)),
    'unfinished': expect(corvina_py.UnfinishedError,
                         lambda: corvina_py.parse(failing(ACCOUNT))),
    'unrecognized line': expect(corvina_py.SyntaxError,
                                lambda: corvina_py.parse(failing([*ACCOUNT, LONG]))),
    'unexpected attribute': expect(corvina_py.SyntaxError, lambda: corvina_py.parse(
        failing([*ACCOUNT, 'КонецФайла', f'Ключ={LONG}']))),
    'unexpected section': expect(corvina_py.SyntaxError, lambda: corvina_py.parse(
        failing([*ACCOUNT, 'КонецФайла', 'СекцияРасчСчет']))),
    'missing field': expect(corvina_py.SyntaxError, lambda: corvina_py.parse(
        failing([a for a in ACCOUNT if not a.startswith('РасчСчет')] + ['КонецФайла']))),
    'account parse error': expect(corvina_py.SyntaxError, lambda: corvina_py.parse(
        failing([*ACCOUNT[:1], 'ДатаНачала=32.13.2024', *ACCOUNT[2:], 'КонецФайла']))),
    'failure with a note': expect(corvina_py.SyntaxError, lambda: corvina_py.parse(
        failing([*ACCOUNT[:1], 'ДатаНачала = 01.03.2024', *ACCOUNT[2:], 'КонецФайла']))),
    'str naming a file': expect(corvina_py.NotStatementError, lambda: corvina_py.parse(__file__)),
    'raising hook': expect(corvina_py.SyntaxError,
                           lambda: corvina_py.parse(GOOD, [hook_raising])),
    'int left in attrs': expect(corvina_py.SyntaxError,
                                lambda: corvina_py.parse(GOOD, [hook_leaving(5)])),
    'object left in attrs': expect(corvina_py.SyntaxError,
                                   lambda: corvina_py.parse(GOOD, [hook_leaving([LONG])])),
    'surrogate left in attrs': expect(corvina_py.SyntaxError,
                                      lambda: corvina_py.parse(GOOD, [hook_leaving('\udc80')])),
    'uncallable hook': expect(corvina_py.SyntaxError, lambda: corvina_py.parse(GOOD, [5])),
    'bad statement type': expect(TypeError, lambda: corvina_py.parse(bytearray(GOOD_BYTES))),
    'bad hooks type': expect(TypeError, lambda: corvina_py.parse(GOOD, {})),
    'bad binding': expect(TypeError, lambda: corvina_py.parse(GOOD, None, None)),
    'hooks that fail to iterate': expect(ValueError, lambda: corvina_py.parse(GOOD, Refusing())),
    'detail objects': lambda: pickle.loads(pickle.dumps(copy.copy(
        corvina_py.UnexpectedAttribute(7, LONG, LONG)))),
    'detail bad argument': expect(TypeError,
                                  lambda: corvina_py.MissingField(1, LONG, 5)),
    'detail bad lineno': expect(TypeError, lambda: corvina_py.HookError(None, LONG)),
    'detail bad binding': expect(TypeError,
                                 lambda: corvina_py.HookError(1, LONG, extra=LONG)),
}


def resident_bytes() -> int | None:
    try:
        with open('/proc/self/statm') as statm:
            return int(statm.read().split()[1]) * os.sysconf('SC_PAGE_SIZE')
    except (OSError, ValueError):
        return None


def traced_growth(path) -> int:
    """What the Python objects traced grow by over ROUNDS calls of `path`."""
    gc.collect()
    before = tracemalloc.get_traced_memory()[0]
    for _ in range(ROUNDS):
        path()
    gc.collect()
    return tracemalloc.get_traced_memory()[0] - before


class TestNothingGrows:
    @pytest.mark.parametrize('path', PATHS.values(), ids=PATHS.keys())
    def test_memory(self, path):
        for _ in range(WARMUP):
            path()
        gc.collect()
        resident_before = resident_bytes()
        tracemalloc.start()
        try:
            for _ in range(WARMUP):
                path()
            growth = traced_growth(path)
            if growth >= ROUNDS * PYTHON_BYTES_PER_ROUND + PYTHON_SLACK:
                # A window may end with memory that is not yet given back: a free-threaded
                # interpreter frees objects once every thread has passed a quiescent point, and
                # the system allocator under the sanitizers holds blocks of its own. A leak grows
                # in the next window too.
                growth = min(growth, traced_growth(path))
        finally:
            tracemalloc.stop()
        resident_after = resident_bytes()
        assert growth < ROUNDS * PYTHON_BYTES_PER_ROUND + PYTHON_SLACK
        if resident_before is not None and not UNDER_ASAN:
            assert resident_after - resident_before < ROUNDS * RESIDENT_BYTES_PER_ROUND

    # The objects of a large statement's documents are made in blocks of memory that nothing
    # but the resident size sees; a block kept after its last document costs two megabytes a
    # round. In an interpreter of its own: the blocks that earlier tests leave for reuse are
    # replaced over many rounds, a dozen megabytes in steps.
    @pytest.mark.skipif(UNDER_ASAN, reason='resident size is not a leak measure there')
    @pytest.mark.skipif(FREE_THREADED, reason='no blocks there; its allocator gives memory back '
                        'on a timer, so the resident size moves by tens of megabytes')
    def test_documents_in_bulk(self):
        result = run_python(textwrap.dedent('''
            import corvina_py
            from conftest import bulk_documents
            from test_leaks import resident_bytes
            text = bulk_documents(20_000)
            for _ in range(10):
                corvina_py.parse(text).documents[-1].amount
            before = resident_bytes()
            for _ in range(60):
                corvina_py.parse(text).documents[-1].amount
            print(resident_bytes() - before)
        '''), env={'PYTHONPATH': os.path.dirname(__file__)})
        assert result.returncode == 0, result.stderr
        assert int(result.stdout) < 16 << 20

    # Freed blocks beyond the 128 MiB kept for good stay two seconds, for the next parse; then
    # the thread that trims them hands them back and ends. A trim that never ran would keep
    # every block of the largest statements a process ever read.
    @pytest.mark.skipif(UNDER_ASAN, reason='resident size is not a leak measure there')
    @pytest.mark.skipif(not sys.platform.startswith('linux'), reason='blocks are kept on Linux')
    def test_blocks_beyond_the_lasting_share_go_back(self):
        result = run_python(textwrap.dedent('''
            import os, time
            import corvina_py
            from test_leaks import ACCOUNT, DOCUMENT, HEADER, resident_bytes, text
            threads = lambda: len(os.listdir('/proc/self/task'))
            data = text(*HEADER, *ACCOUNT, *DOCUMENT * 2000, 'КонецФайла')  # 8 KiB a document
            before = threads()
            kept = [corvina_py.parse(data) for _ in range(16)]
            tables = [statement.documents_table() for statement in kept]
            del kept, tables
            freed = resident_bytes()
            for _ in range(100):
                if threads() <= before:
                    break
                time.sleep(0.1)
            print(freed - resident_bytes(), threads() - before)
        '''), env={'PYTHONPATH': os.path.dirname(__file__)})
        assert result.returncode == 0, result.stderr
        given_back, threads_left = map(int, result.stdout.split())
        assert given_back > 32 << 20
        assert threads_left <= 0

    def test_references_of_arguments(self):
        statement = GOOD + ''  # a private object whose count nothing else touches
        hooks = [hook_rewriting]
        raising = [hook_raising]
        counts = (sys.getrefcount(statement), sys.getrefcount(hooks),
                  sys.getrefcount(hook_rewriting), sys.getrefcount(raising))
        for _ in range(200):
            corvina_py.parse(statement, hooks)
            with pytest.raises(corvina_py.SyntaxError):
                corvina_py.parse(statement, raising)
        assert counts == (sys.getrefcount(statement), sys.getrefcount(hooks),
                          sys.getrefcount(hook_rewriting), sys.getrefcount(raising))
