"""The parse entry: arguments, encodings, the failure table and a hostile corpus."""

from __future__ import annotations

import os
import platform
import shutil
import subprocess
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import corvina_py
from conftest import FREE_THREADED, UNDER_ASAN, run_python
from corvina_py import parse

MARKER = '1CClientBankExchange'
DOCUMENT = [
    'СекцияДокумент=Платежное поручение',
    'Номер=214',
    'Дата=01.03.2024',
    'Сумма=98500.00',
    'ПлательщикСчет=40702810938000012345',
    'Плательщик=ООО "Северный ветер"',
    'ПлательщикИНН=7701234567',
    'ПлательщикБанк1=ПАО СБЕРБАНК',
    'ПлательщикБИК=044525225',
    'ПолучательСчет=40702810100000054321',
    'ПолучательИНН=5009876543',
    'ПолучательБанк1=АО "АЛЬФА-БАНК"',
    'ПолучательБИК=044525593',
    'НазначениеПлатежа=Оплата по счёту № 118',
    'КонецДокумента',
]
ACCOUNT = [
    'СекцияРасчСчет',
    'ДатаНачала=01.03.2024',
    'РасчСчет=40702810938000012345',
    'НачальныйОстаток=1250400.15',
    'КонечныйОстаток=1468614.75',
    'КонецРасчСчет',
]
HEADER = [MARKER, 'ВерсияФормата=1.03', 'Отправитель=Бухгалтерия предприятия']
TEXT = '\r\n'.join(HEADER + ACCOUNT + DOCUMENT + DOCUMENT[:3] + ['Сумма=1,5'] + DOCUMENT[4:]
                   + ['КонецФайла']) + '\r\n'


def lines(*parts: str) -> str:
    return '\n'.join(parts) + '\n'


class TestFunction:
    DOC = '\n'.join([
        'Парсит выписку 1CClientBankExchange из байтов или строки.',
        '',
        '# Аргументы',
        '',
        '* `statement` - Сырые байты или строка файла выписки (поддерживает кодировки CP1251 и '
        'UTF-8)',
        '* `hooks` - Опциональный список callable для модификации секций во время парсинга.',
        '  Сигнатура hook: `(section_type: SectionType, attrs: dict, header: dict) -> None`',
        '  - `section_type`: тип секции (`SectionType.Document` или `SectionType.Account`)',
        '  - attrs: словарь атрибутов секции (можно модифицировать)',
        '  - header: словарь заголовка выписки (только для чтения)',
        '',
        '# Возвращает',
        '',
        'Объект Statement с атрибутами:',
        '- encoding: "cp1251" или "utf-8"',
        '- header: словарь пар ключ-значение заголовка',
        '- accounts: словарь номер счёта -> объект Account',
        '- documents: список объектов Document',
        '- warnings: список кортежей (lineno, message)',
        '',
        '# Ошибки',
        '',
        '* `NotStatementError` - Если входные данные не являются выпиской 1C',
        '* `EmptyInputError` - Если входные данные пусты',
        '* `UnfinishedError` - Если выписка не завершена корректно',
        '* `SyntaxError` - Если в выписке синтаксическая ошибка (включая ошибки hooks)',
        '* `ParseError` - Для прочих ошибок парсинга',
    ])

    def test_function_object(self):
        assert parse.__doc__ == self.DOC
        assert parse.__text_signature__ == '(statement, hooks=None)'
        assert parse.__name__ == 'parse'
        assert parse.__module__ == 'corvina_py'
        assert parse.__self__ is corvina_py


class TestArguments:
    BINDING = [
        ((), {}, "parse() missing 1 required positional argument: 'statement'"),
        ((), {'hooks': None}, "parse() missing 1 required positional argument: 'statement'"),
        ((b'', None, None), {}, 'parse() takes from 1 to 2 positional arguments but 3 were given'),
        ((b'',), {'hook': None}, "parse() got an unexpected keyword argument 'hook'"),
        ((b'',), {'statement': b''}, "parse() got multiple values for argument 'statement'"),
    ]

    @pytest.mark.parametrize(('args', 'kwargs', 'message'), BINDING)
    def test_binding(self, args, kwargs, message):
        with pytest.raises(TypeError) as caught:
            parse(*args, **kwargs)
        assert str(caught.value) == message

    def test_keywords(self):
        assert parse(statement=TEXT, hooks=None).encoding == 'utf-8'

    def gen(self):
        yield from ()

    class RaisingIter(list):
        def __init__(self, error):
            super().__init__()
            self.error = error

        def __iter__(self):
            raise self.error

    class BadLength(list):
        def __len__(self):
            raise ValueError('no length')

    HOOKS = [
        ('abc', "argument 'hooks': Can't extract `str` to `Vec`"),
        (5, "argument 'hooks': 'int' object cannot be converted to 'Sequence'"),
        ({}, "argument 'hooks': 'dict' object cannot be converted to 'Sequence'"),
        (set(), "argument 'hooks': 'set' object cannot be converted to 'Sequence'"),
        (b'', None),
        (RaisingIter(TypeError('boom')), "argument 'hooks': boom"),
    ]

    @pytest.mark.parametrize(('hooks', 'message'), HOOKS)
    def test_hooks_conversion(self, hooks, message):
        if message is None:  # bytes are a sequence; an empty one is no hooks at all
            assert parse(TEXT, hooks).documents
            return
        # hooks come first, even when the statement is wrong too
        with pytest.raises(TypeError) as caught:
            parse(1, hooks)
        assert str(caught.value) == message
        if isinstance(hooks, self.RaisingIter):
            assert type(caught.value.__cause__) is TypeError

    def test_generator_refused(self):
        with pytest.raises(TypeError) as caught:
            parse(TEXT, self.gen())
        assert str(caught.value) == (
            "argument 'hooks': 'generator' object cannot be converted to 'Sequence'")

    def test_other_iteration_errors_pass(self):
        with pytest.raises(ValueError, match='^inner$'):
            parse(TEXT, self.RaisingIter(ValueError('inner')))

    def test_length_failure_ignored(self):
        calls = []
        hooks = self.BadLength([lambda *args: calls.append(args[0])])
        parse(TEXT, hooks)
        assert len(calls) == 3

    def test_empty_hooks_alike(self):
        results = [parse(TEXT, hooks) for hooks in (None, [], ())]
        assert all(r.documents == results[0].documents for r in results)

    STATEMENTS = [1, None, bytearray(b'1CClientBankExchange'), memoryview(b'x'), '\udc80',
                  MARKER + '\n\ud800']

    @pytest.mark.parametrize('value', STATEMENTS)
    def test_statement_type(self, value):
        with pytest.raises(TypeError) as caught:
            parse(value)
        assert str(caught.value) == 'statement must be bytes or str'

    def test_subclasses_accepted(self):
        class B(bytes):
            pass

        class S(str):
            pass

        assert parse(B(TEXT.encode())).documents == parse(S(TEXT)).documents


class TestEncodings:
    def test_same_result_in_every_form(self):
        forms = {
            'cp1251': parse(TEXT.encode('cp1251')),
            'utf-8 bytes': parse(TEXT.encode()),
            'str': parse(TEXT),
        }
        assert [r.encoding for r in forms.values()] == ['cp1251', 'utf-8', 'utf-8']
        reference = forms['str']
        for result in forms.values():
            assert result.header == reference.header
            assert result.accounts == reference.accounts
            assert result.documents == reference.documents
            assert result.warnings == reference.warnings
        assert reference.header == {'ВерсияФормата': '1.03',
                                    'Отправитель': 'Бухгалтерия предприятия'}
        assert len(reference.documents) == 1
        assert reference.warnings == [(
            len(HEADER + ACCOUNT + DOCUMENT) * 2 - len(HEADER + ACCOUNT),
            'invalid value: string "1,5", expected a Decimal type representing a fixed-point '
            'number')]


class TestFailures:
    BODY = HEADER + ACCOUNT
    # input, exception class, message, detail class, detail lineno
    FAILURES = [
        (b'', corvina_py.EmptyInputError, 'Input is empty', None, None),
        ('', corvina_py.EmptyInputError, 'Input is empty', None, None),
        (b'\n', corvina_py.NotStatementError, 'Input is not a 1C statement', None, None),
        ('   ', corvina_py.NotStatementError, 'Input is not a 1C statement', None, None),
        ('Hello\n', corvina_py.NotStatementError, 'Input is not a 1C statement', None, None),
        (lines(*BODY), corvina_py.UnfinishedError, 'Statement is not finished', None, None),
        (lines(*BODY, *DOCUMENT), corvina_py.UnfinishedError, 'Statement is not finished',
         None, None),
        (lines(*BODY, 'КонецФайла', '', '  '), None, None, None, None),
        (lines(*BODY, 'КонецФайла', 'junk'), corvina_py.SyntaxError,
         "Unrecognized line: 'junk'", corvina_py.UnrecognizedLine, 11),
        (lines(MARKER, 'oops', *ACCOUNT[1:], 'КонецФайла'), corvina_py.SyntaxError,
         "Unrecognized line: 'oops'", corvina_py.UnrecognizedLine, 2),
        (lines(*BODY, 'КонецФайла', 'Ключ=Значение'), corvina_py.SyntaxError,
         "Unexpected attribute 'Ключ' = 'Значение'", corvina_py.UnexpectedAttribute, 11),
        (lines(*BODY, 'КонецФайла', 'СекцияРасчСчет'), corvina_py.SyntaxError,
         "Unexpected section 'СекцияРасчСчет' in context 'finished'",
         corvina_py.UnexpectedSection, 11),
        (lines(*HEADER, *[a for a in ACCOUNT if not a.startswith('РасчСчет')], 'КонецФайла'),
         corvina_py.SyntaxError, "Missing field 'РасчСчет' in context 'account'",
         corvina_py.MissingField, 8),
        (lines(*HEADER, *[a for a in ACCOUNT if not a.startswith('ДатаНачала')], 'КонецФайла'),
         corvina_py.SyntaxError, 'Account parse error: missing field `ДатаНачала`',
         corvina_py.AccountParseError, 8),
    ]

    @pytest.mark.parametrize(('data', 'cls', 'message', 'detail', 'lineno'), FAILURES)
    def test_failure(self, data, cls, message, detail, lineno):
        if cls is None:
            assert parse(data).encoding == 'utf-8'
            return
        with pytest.raises(corvina_py.ParseError) as caught:
            parse(data)
        error = caught.value
        assert type(error) is cls
        assert error.args == (message,)
        if detail is None:
            assert not hasattr(error, 'detail')
        else:
            assert type(error.detail) is detail
            assert error.detail.lineno == lineno

    # The message is written straight from the line's UTF-8: every width of character.
    @pytest.mark.parametrize('line', ['plain', 'café ÿ', 'строка', 'Ā ӿ', '行 €', 'emoji 😀 ok',
                                      '\x7f\x80'])
    def test_message_quotes_the_line(self, line):
        with pytest.raises(corvina_py.SyntaxError) as caught:
            parse(lines(*HEADER, line))
        assert caught.value.args == (f"Unrecognized line: '{line}'",)
        assert caught.value.detail.line == line

    def test_unrecognized_line_detail(self):
        with pytest.raises(corvina_py.SyntaxError) as caught:
            parse(lines(*HEADER, 'строка без знака'))
        assert (caught.value.detail.lineno, caught.value.detail.line) == (4, 'строка без знака')

    @pytest.mark.parametrize('data', [b'', lines(*BODY), lines(*BODY, 'КонецФайла', 'junk')])
    def test_raised_like_any_exception(self, data):
        # An error raised while another is handled chains to it, and adds nothing of its own.
        handled = KeyError('handled')
        try:
            raise handled
        except KeyError:
            with pytest.raises(corvina_py.ParseError) as caught:
                parse(data)
        assert caught.value.__context__ is handled
        assert caught.value.__cause__ is None

    def test_hook_failure_leaves_no_pending_error(self):
        for _ in range(3):
            with pytest.raises(corvina_py.SyntaxError):
                parse(TEXT, [lambda *a: 1 / 0])
        assert parse(TEXT).documents


def blank_key(lines_: list[str], key: str) -> list[str]:
    """The lines with `key` written with blanks around its "="."""
    return [line.replace(f'{key}=', f'{key} = ', 1) if line.startswith(f'{key}=') else line
            for line in lines_]


def blank_key_note(line: int, key: str) -> str:
    return (f"Line {line} writes the key {key} with blanks around '=': keys are read as "
            f'written, blanks included, so write {key}=value without them.')


BOM_NOTE = ('The input starts with a UTF-8 byte-order mark, which hides the 1CClientBankExchange '
            'marker: remove its first three bytes (EF BB BF), or save the file without the mark.')
UTF16_NOTE = ('The input looks like UTF-16 text, which is read only when it starts with its '
              'byte-order mark and is well formed: save the statement as Windows-1251 or UTF-8.')
DOS_NOTE = ("The header says Кодировка=DOS: the statement is in the DOS code page (cp866), which "
            "is not read; convert it first, e.g. data.decode('cp866').encode('cp1251').")
FILE_NOTE = ("This str names an existing file, but a str is read as the statement's text: pass "
             "the file's bytes, open(path, 'rb').read(), or read it with "
             'corvina_convert.read(path).')
STATEMENT = lines(*HEADER, *ACCOUNT, 'КонецФайла')


class TestFailureNotes:
    """Where a failure has a likely cause, its exception carries a note on it; the class and
    the message stay those of the failure."""

    # input, exception class, message, notes
    CASES = {
        'UTF-8 byte-order mark': (
            b'\xef\xbb\xbf' + STATEMENT.encode(), corvina_py.NotStatementError,
            'Input is not a 1C statement', [BOM_NOTE]),
        'UTF-16 without its mark': (
            STATEMENT.encode('utf-16-le'), corvina_py.NotStatementError,
            'Input is not a 1C statement', [UTF16_NOTE]),
        'UTF-16 with an odd byte': (
            b'\xff\xfe' + STATEMENT.encode('utf-16-le') + b'!', corvina_py.NotStatementError,
            'Input is not a 1C statement', [UTF16_NOTE]),
        'DOS code page': (
            lines(*HEADER, 'Кодировка=DOS', *ACCOUNT, 'КонецФайла').encode('cp866'),
            corvina_py.NotStatementError, 'Input is not a 1C statement', [DOS_NOTE]),
        'DOS said in Windows-1251, unfinished': (
            lines(*HEADER, 'Кодировка=DOS', *ACCOUNT).encode('cp1251'),
            corvina_py.UnfinishedError, 'Statement is not finished', [DOS_NOTE]),
        'blank key, account value': (
            lines(*HEADER, *blank_key(ACCOUNT, 'ДатаНачала'), 'КонецФайла'),
            corvina_py.SyntaxError, 'Account parse error: missing field `ДатаНачала`',
            [blank_key_note(5, 'ДатаНачала')]),
        'blank key, account number, Windows-1251': (
            lines(*HEADER, *blank_key(ACCOUNT, 'РасчСчет'), 'КонецФайла').encode('cp1251'),
            corvina_py.SyntaxError, "Missing field 'РасчСчет' in context 'account'",
            [blank_key_note(6, 'РасчСчет')]),
        # Only the failed section counts: a blank key in a section before it is no cause.
        'blank key in an earlier section': (
            lines(*HEADER, ACCOUNT[0], 'ДатаНачала = 01.03.2024', *ACCOUNT[1:],
                  *[line for line in ACCOUNT if not line.startswith('ДатаНачала')],
                  'КонецФайла'),
            corvina_py.SyntaxError, 'Account parse error: missing field `ДатаНачала`', None),
        # A hook's failure is the hook's, whatever the header says.
        'hook failure under a DOS header': (
            lines(*HEADER, 'Кодировка=DOS', *ACCOUNT, 'КонецФайла'), corvina_py.SyntaxError,
            'Hook error: ValueError: no', None),
        'plain failure': (
            lines(*HEADER, *ACCOUNT), corvina_py.UnfinishedError, 'Statement is not finished',
            None),
    }

    @staticmethod
    def refusing(section_type, attrs, header):
        raise ValueError('no')

    @pytest.mark.parametrize('name', CASES)
    def test_notes(self, name):
        data, error, message, notes = self.CASES[name]
        with pytest.raises(error) as raised:
            parse(data, [self.refusing] if name.startswith('hook') else None)
        assert str(raised.value) == message
        assert getattr(raised.value, '__notes__', None) == notes

    def test_str_naming_a_file(self, tmp_path, monkeypatch):
        (tmp_path / 'statement.txt').write_bytes(STATEMENT.encode('cp1251'))
        monkeypatch.chdir(tmp_path)
        # Texts that are no file, and texts no file is looked up for, go without the note.
        for text, notes in [('statement.txt', [FILE_NOTE]),
                            (str(tmp_path / 'statement.txt'), [FILE_NOTE]),
                            ('missing.txt', None), ('statement.txt\n', None),
                            (str(tmp_path), None)]:
            with pytest.raises(corvina_py.NotStatementError) as raised:
                parse(text)
            assert getattr(raised.value, '__notes__', None) == notes, text

    def test_document_with_a_blank_key_stays_a_warning(self):
        parsed = parse(lines(*HEADER, *blank_key(DOCUMENT, 'Сумма'), 'КонецФайла'))
        assert parsed.warnings == [(len(HEADER) + len(DOCUMENT), 'missing field `Сумма`')]


VALID = TEXT.encode()


@pytest.mark.skipif(UNDER_ASAN or FREE_THREADED, reason='needs a plain allocator')
class TestOutOfMemory:
    # Memory running out inside the parser must reach the caller as MemoryError, not end the
    # process; afterwards the input is intact and the next parse works.
    SCRIPT = """
import resource, sys
import corvina_py
sys.path.insert(0, {tests!r})
from conftest import lines
document = {document!r}
data = lines({header!r}, *document * 40000, 'КонецФайла', end='\\r\\n').encode('cp1251')
copy = bytes(data)
hooks = [lambda *a: None] if {hooks!r} else None
with open('/proc/self/statm') as f:
    pages = int(f.read().split()[0])
limit = pages * resource.getpagesize() + 3 * len(data) // 2
resource.setrlimit(resource.RLIMIT_AS, (limit, resource.RLIM_INFINITY))
try:
    corvina_py.parse(data, hooks)
    print('parsed')
except MemoryError:
    print('MemoryError')
resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
assert data == copy
print(len(corvina_py.parse(data, hooks).documents))
"""

    @pytest.mark.parametrize('hooks', [False, True], ids=['without hooks', 'with hooks'])
    def test_memory_error(self, hooks):
        header = '\r\n'.join(HEADER + ACCOUNT)
        script = self.SCRIPT.format(tests=str(Path(__file__).parent), document=DOCUMENT,
                                    header=header, hooks=hooks)
        done = run_python(script)
        assert done.returncode == 0, done.stderr
        assert done.stdout.split() == ['MemoryError', '40000']


# Makes every allocation on a thread other than the one that arms it fail, past the first few.
FAILING_ALLOCATOR = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <pthread.h>
#include <stddef.h>
static void *(*next_malloc)(size_t);
static pthread_t armed_by;
static int armed, allowed;
static __thread int taken __attribute__((tls_model("initial-exec")));
void arm(int allowed_per_thread) {
  armed_by = pthread_self();
  allowed = allowed_per_thread;
  __atomic_store_n(&armed, 1, __ATOMIC_SEQ_CST);
}
void *malloc(size_t size) {
  if (!next_malloc) next_malloc = (void *(*)(size_t))dlsym(RTLD_NEXT, "malloc");
  if (__atomic_load_n(&armed, __ATOMIC_SEQ_CST) && !pthread_equal(pthread_self(), armed_by) &&
      ++taken > allowed) return NULL;
  return next_malloc(size);
}
"""


@pytest.mark.skipif(platform.libc_ver()[0] != 'glibc' or 'LD_PRELOAD' in os.environ
                    or shutil.which('cc') is None,
                    reason='needs glibc, a C compiler and no preload')
def test_memory_running_out_on_a_worker_thread_is_a_memory_error(tmp_path):
    # A worker whose first throw is for memory run out must not end the process as glibc
    # allocates its thread-local storage (see shared_work.cpp). The statement is large enough to
    # be parsed on several threads; whether a worker takes a piece before the caller has taken
    # them all is up to the scheduler, so either outcome passes, the process ending does not.
    source = tmp_path / 'failing_allocator.c'
    source.write_text(FAILING_ALLOCATOR)
    library = tmp_path / 'failing_allocator.so'
    subprocess.run(['cc', '-shared', '-fPIC', '-O1', '-o', library, source, '-ldl'], check=True)
    header = '\r\n'.join(HEADER + ACCOUNT)
    script = f"""
import ctypes, sys
import corvina_py
sys.path.insert(0, {str(Path(__file__).parent)!r})
from conftest import lines
data = lines({header!r}, *{DOCUMENT!r} * 40000, 'КонецФайла', end='\\r\\n').encode('cp1251')
ctypes.CDLL({str(library)!r}).arm(4)
try:
    print(len(corvina_py.parse(data).documents))
except MemoryError:
    print('MemoryError')
"""
    done = run_python(script, env={'LD_PRELOAD': str(library), 'CORVINA_THREADS': '2'})
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() in (['MemoryError'], ['40000'])


class TestHostileInput:
    """Whatever the bytes, parse returns a Statement or raises one of the module's errors."""

    @staticmethod
    def check(data):
        try:
            result = parse(data)
        except corvina_py.ParseError:
            return
        assert isinstance(result, corvina_py.Statement)
        repr(result)
        for document in result.documents:
            repr(document)
            document.amount, document.doc_date, document.income_date

    CORPUS = [
        b'\xef\xbb\xbf', b'\xff\xfe', b'\xfe\xff', b'\xff\xfe' + MARKER.encode('utf-16-le'),
        b'\xfe\xff' + MARKER.encode('utf-16-be') + b'\x00', MARKER.encode() + b'\x00' * 100,
        MARKER.encode() + b'\r\r\r', b'\n' * 1000, MARKER.encode() + b'\n=\n==\n',
        MARKER.encode() + b'\n\xc0\xc1\xf5\xff', VALID.replace(b'\n', b'\r'),
        VALID.replace(b'=', b''), VALID[:len(VALID) // 2], VALID * 2,
        VALID.replace('Сумма=98500.00'.encode(), b'\xd0\xa1\xd1\x83\xd0\xbc\xd0\xbc\xd0\xb0=9e99'),
        VALID.replace(b'01.03.2024', b'99.99.99999999999'),
    ]

    @pytest.mark.parametrize('data', CORPUS)
    def test_corpus(self, data):
        self.check(data)

    @settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.too_slow])
    @given(st.data())
    def test_mutations(self, data):
        position = data.draw(st.integers(0, len(VALID)))
        cut = data.draw(st.integers(0, 8))
        insert = data.draw(st.binary(max_size=8))
        self.check(VALID[:position] + insert + VALID[position + cut:])

    @settings(max_examples=100, deadline=None)
    @given(st.binary(max_size=64))
    def test_random_after_marker(self, tail):
        self.check(MARKER.encode() + b'\n' + tail)
