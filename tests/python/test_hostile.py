"""Hostile inputs: cut, flipped, padded and oversized statements.

Whatever the input, parse returns a Statement or raises one of the module's own exceptions, and a
syntax error names the line that is really at fault.

The statements of a gigabyte and the line of 200 MB run only when CORVINA_HUGE_TESTS=1 is set:

    CORVINA_HUGE_TESTS=1 python -m pytest tests/python/test_hostile.py -k Huge
"""

from __future__ import annotations

import codecs
import os
import random
import resource
from pathlib import Path

import pytest

import corvina_py
from conftest import FREE_THREADED, UNDER_ASAN, run_python

MARKER = '1CClientBankExchange'
HEADER = [MARKER, 'ВерсияФормата=1.03', 'Отправитель=Бухгалтерия']
ACCOUNT = ['СекцияРасчСчет', 'ДатаНачала=01.03.2024', 'ДатаКонца=31.03.2024',
           'РасчСчет=40702810938000012345', 'НачальныйОстаток=1250.15',
           'КонечныйОстаток=1468.75', 'КонецРасчСчет']
DOCUMENT = ['СекцияДокумент=Платежное поручение', 'Номер=17', 'Дата=05.03.2024',
            'Сумма=100.50', 'НазначениеПлатежа=Оплата по счёту № 118',
            'ПлательщикИНН=7701234567', 'ПлательщикБИК=044525225',
            'ПлательщикБанк1=ПАО СБЕРБАНК', 'ПлательщикСчет=40702810938000012345',
            'ПолучательИНН=5009876543', 'ПолучательСчет=40702810100000054321',
            'ПолучательБИК=044525593', 'ПолучательБанк1=АО "АЛЬФА-БАНК"', 'КонецДокумента']


def lines(*parts: str, end: str = '\n') -> str:
    return end.join(parts) + end


TEXT = lines(*HEADER, *ACCOUNT, *DOCUMENT, *DOCUMENT, 'КонецФайла', end='\r\n')
SAMPLES = Path(os.environ.get('CORVINA_SAMPLES_DIR',
                              Path(__file__).resolve().parents[3] / 'shared' / 'samples'))
# Small real statements in both encodings, when they are beside the project.
REAL = ['sample-03.txt', 'sample-06.txt', 'sample-09.txt']


def statements():
    found = [('made utf-8', TEXT.encode()), ('made cp1251', TEXT.encode('cp1251'))]
    for name in REAL:
        if (SAMPLES / name).is_file():
            found.append((name, (SAMPLES / name).read_bytes()))
    return found


STATEMENTS = statements()


# Python's Windows-1251 leaves 0x98 undefined; the statement reader maps it to U+0098.
codecs.register_error('c1-control', lambda error: (chr(error.object[error.start]),
                                                   error.start + 1))


def decoded(data: bytes) -> str | None:
    """The text as the module reads it, or None when it cannot be read at all."""
    try:
        return data.decode('utf-8')
    except UnicodeDecodeError:
        pass
    # Not UTF-8 as a whole: the first bytes choose the decoder.
    for mark, encoding in [(b'\xef\xbb\xbf', 'utf-8'), (b'\xff\xfe', 'utf-16-le'),
                           (b'\xfe\xff', 'utf-16-be')]:
        if data.startswith(mark):
            try:
                return data[len(mark):].decode(encoding)
            except UnicodeDecodeError:
                return None
    return data.decode('cp1251', 'c1-control')


def outcome(data, hooks=None):
    """The Statement, or the module's exception; anything else fails the test."""
    try:
        return corvina_py.parse(data, hooks)
    except corvina_py.ParseError as error:
        return error


def check_error_line(error, text: str | None) -> None:
    """A syntax error's line exists, and an unrecognised line is the text of that line."""
    if not isinstance(error, corvina_py.SyntaxError):
        return
    line_count = len(text.split('\n')) if text is not None else None
    assert error.detail.lineno >= 1
    if line_count is not None:
        assert error.detail.lineno <= line_count
        if type(error.detail) is corvina_py.UnrecognizedLine:
            pieces = text.split('\n')
            line = pieces[error.detail.lineno - 1]
            # One CR goes with the LF after it; a CR at the very end stays in the line.
            if error.detail.lineno < len(pieces):
                line = line.removesuffix('\r')
            assert error.detail.line == line


class TestPrefixes:
    """Every prefix of a good statement, cut at each byte."""

    @pytest.mark.parametrize('data', [d for _, d in STATEMENTS], ids=[n for n, _ in STATEMENTS])
    def test_every_prefix(self, data):
        full = corvina_py.parse(data)
        cp1251 = full.encoding == 'cp1251'
        end_of_file = data.rindex('КонецФайла'.encode(full.encoding))
        for cut in range(len(data) + 1):
            prefix = data[:cut]
            result = outcome(prefix)
            if cut == 0:
                assert type(result) is corvina_py.EmptyInputError
                continue
            if cut >= end_of_file + len('КонецФайла'.encode(full.encoding)) and (
                    not prefix.endswith(b'\r')):
                assert isinstance(result, corvina_py.Statement), cut
                assert result.documents == full.documents
                continue
            assert isinstance(result, corvina_py.ParseError), cut
            if type(result) is corvina_py.NotStatementError:
                # Only while the marker itself is cut, or when the cut splits a character and
                # the bytes stop being UTF-8.
                assert cut <= len(MARKER) + 3 or not cp1251, cut
                continue
            text = prefix.decode('cp1251', 'c1-control') if cp1251 else decoded(prefix)
            check_error_line(result, text)
            if prefix.endswith(b'\n'):
                # Whole lines of a good statement: nothing is wrong but the missing end.
                assert type(result) is corvina_py.UnfinishedError, cut
            elif isinstance(result, corvina_py.SyntaxError) and (cp1251 or _is_utf8(prefix)):
                # Every line before the cut one is good, so the cut one is at fault.
                assert result.detail.lineno == prefix.count(b'\n') + 1, cut


def _is_utf8(data: bytes) -> bool:
    try:
        data.decode('utf-8')
    except UnicodeDecodeError:
        return False
    return True


class TestByteFlips:
    @pytest.mark.parametrize('data', [d for _, d in STATEMENTS], ids=[n for n, _ in STATEMENTS])
    def test_seeded_flips(self, data):
        chooser = random.Random(20240305)
        for _ in range(400):
            mutated = bytearray(data)
            for _ in range(chooser.randint(1, 6)):
                position = chooser.randrange(len(mutated))
                mutated[position] ^= 1 << chooser.randrange(8)
            result = outcome(bytes(mutated))
            if isinstance(result, corvina_py.Statement):
                repr(result)
                for document in result.documents:
                    repr(document)
            else:
                check_error_line(result, decoded(bytes(mutated)))

    def test_seeded_flips_with_hooks(self):
        chooser = random.Random(7)
        calls = []
        hooks = [lambda kind, attrs, header: calls.append(dict(attrs))]
        for _ in range(200):
            mutated = bytearray(TEXT.encode())
            position = chooser.randrange(len(mutated))
            mutated[position] = chooser.randrange(256)
            outcome(bytes(mutated), hooks)
        assert calls


class TestNulBytes:
    # input, outcome: a header dictionary, or an exception class and the line at fault
    CASES = [
        (lines(*HEADER, 'Ключ=a\0b', *ACCOUNT, 'КонецФайла'),
         {'ВерсияФормата': '1.03', 'Отправитель': 'Бухгалтерия', 'Ключ': 'a\0b'}),
        (lines(*HEADER, '\0=\0', *ACCOUNT, 'КонецФайла'),
         {'ВерсияФормата': '1.03', 'Отправитель': 'Бухгалтерия', '\0': '\0'}),
        (lines(*HEADER, '\0', *ACCOUNT, 'КонецФайла'), (corvina_py.SyntaxError, 4)),
        (lines(*HEADER, *ACCOUNT, 'КонецФайла\0'), (corvina_py.SyntaxError, 11)),
        (lines(*HEADER, *ACCOUNT[:-1], '\0КонецРасчСчет', 'КонецФайла'),
         (corvina_py.SyntaxError, 10)),
        (lines(MARKER + '\0', *HEADER[1:]), (corvina_py.NotStatementError, None)),
        ('\0' * 1000, (corvina_py.NotStatementError, None)),
        (lines(*HEADER, *ACCOUNT, 'КонецФайла') + '\0', (corvina_py.SyntaxError, 12)),
    ]

    @pytest.mark.parametrize(('text', 'expected'), CASES)
    @pytest.mark.parametrize('encoding', ['utf-8', 'cp1251', None])
    def test_nul(self, text, expected, encoding):
        data = text if encoding is None else text.encode(encoding)
        result = outcome(data)
        if isinstance(expected, dict):
            assert isinstance(result, corvina_py.Statement)
            assert result.header == expected
            return
        error, line = expected
        assert type(result) is error
        if line is not None:
            assert result.detail.lineno == line


class TestLargeShapes:
    def test_long_value_line(self):
        value = 'Ж' * (4 << 20)
        result = corvina_py.parse(lines(*HEADER, f'Длинный={value}', *ACCOUNT, 'КонецФайла'))
        assert result.header['Длинный'] == value

    @pytest.mark.parametrize('encoding', ['utf-8', 'cp1251'])
    def test_long_unrecognized_line(self, encoding):
        line = 'Ж' * (2 << 20)
        with pytest.raises(corvina_py.SyntaxError) as caught:
            corvina_py.parse(lines(*HEADER, *ACCOUNT, line, 'КонецФайла').encode(encoding))
        assert (caught.value.detail.lineno, caught.value.detail.line) == (11, line)

    def test_long_line_without_breaks(self):
        # A marker and then megabytes with no line break at all.
        with pytest.raises(corvina_py.SyntaxError) as caught:
            corvina_py.parse(MARKER + '\n' + 'x' * (4 << 20))
        assert caught.value.detail.lineno == 2

    def test_million_tiny_sections(self):
        count = 1_000_000
        text = lines(*HEADER, *ACCOUNT) + 'СекцияДокумент=x\nКонецДокумента\n' * count
        result = corvina_py.parse(text + 'КонецФайла\n')
        first_end = len(HEADER) + len(ACCOUNT) + 2
        assert len(result.warnings) == count
        assert result.warnings[0] == (first_end, 'missing field `Номер`')
        assert result.warnings[-1] == (first_end + 2 * (count - 1), 'missing field `Номер`')
        assert result.documents == []

    def test_ten_thousand_keys(self):
        keys = [f'Ключ{i}' for i in range(10_000)]
        extra = [f'{key}={i}' for i, key in enumerate(keys)]
        seen = []

        def hook(section_type, attrs, header):
            if section_type == corvina_py.SectionType.Document:
                seen.append(list(attrs))
                for key in keys:
                    del attrs[key]
                attrs['Номер'] = '18'

        text = lines(*HEADER, *extra, *ACCOUNT, *DOCUMENT[:1], *extra, *DOCUMENT[1:],
                     'КонецФайла')
        result = corvina_py.parse(text, [hook])
        assert list(result.header)[2:] == keys
        assert seen[0][:10_000] == keys
        assert [d.doc_number for d in result.documents] == ['18']

    def test_repeated_key_keeps_first_place(self):
        text = lines(*HEADER, *[f'Ключ={i}' for i in range(10_000)], *ACCOUNT, 'КонецФайла')
        assert corvina_py.parse(text).header['Ключ'] == '9999'


def setting(key, value):
    def hook(section_type, attrs, header):
        attrs[key] = value
    return hook


class TestSurrogatesFromHooks:
    TWO = lines(*HEADER, *ACCOUNT, *DOCUMENT, 'КонецФайла')
    ACCOUNT_END = len(HEADER) + len(ACCOUNT)
    # key, value, message of the hook error
    CASES = [
        ('Номер', '\ud800', "UnicodeEncodeError: 'utf-8' codec can't encode character "
                            "'\\ud800' in position 0: surrogates not allowed"),
        ('Номер', 'ab\udfff', "UnicodeEncodeError: 'utf-8' codec can't encode character "
                              "'\\udfff' in position 2: surrogates not allowed"),
        ('Номер', '\udfff\ud800', "UnicodeEncodeError: 'utf-8' codec can't encode characters "
                                  "in position 0-1: surrogates not allowed"),
        ('\ud83d', 'x', "UnicodeEncodeError: 'utf-8' codec can't encode character "
                        "'\\ud83d' in position 0: surrogates not allowed"),
    ]

    @pytest.mark.parametrize(('key', 'value', 'message'), CASES)
    def test_refused_with_line(self, key, value, message):
        with pytest.raises(corvina_py.SyntaxError) as caught:
            corvina_py.parse(self.TWO, [setting(key, value)])
        assert type(caught.value.detail) is corvina_py.HookError
        assert (caught.value.detail.lineno, caught.value.detail.message) == (
            self.ACCOUNT_END, message)

    def test_paired_character_kept(self):
        def hook(section_type, attrs, header):
            if section_type == corvina_py.SectionType.Document:
                attrs['Номер'] = '\U0001F600\ud7ff\ue000'

        result = corvina_py.parse(self.TWO, [hook])
        assert result.documents[0].doc_number == '\U0001F600\ud7ff\ue000'


# Runs in a child: builds the input, then parses it from a fresh high-water mark and prints the
# peak above the resident size before the parse, as a multiple of the input. VmHWM is the
# child's own; getrusage would start from the peak of the process that started it.
PEAK_CHILD = '''
import gc
import corvina_py
data = ''.join({pieces}).encode({encoding!r})
gc.collect()
def status(field):
    with open('/proc/self/status') as f:
        return next(int(line.split()[1]) for line in f if line.startswith(field)) << 10
with open('/proc/self/clear_refs', 'w') as f:
    f.write('5')
baseline = status('VmRSS:')
statement = corvina_py.parse(data)
print((status('VmHWM:') - baseline) / len(data))
'''


@pytest.mark.skipif(not Path('/proc/self/clear_refs').exists() or UNDER_ASAN or FREE_THREADED,
                    reason='needs Linux peak counters and the usual allocator')
class TestPeakMemory:
    # Shapes whose result is many small objects, so that the parse's own lists must not be held
    # beside them: (name, encoding, limit on the peak in multiples of the input, the pieces of
    # the input as Python source). Each limit leaves room above the objects for building them,
    # and none for the parser's own lists held beside them.
    SHAPES = [
        # Half a million 4-byte keys with empty values: a str (48 bytes) and a dict slot (31) for
        # each 6-byte line, 13x the input.
        ('header keys', 'utf-8', 23.5,
         r"['1CClientBankExchange\n'] + [''.join(chr(64 + n // 60 ** i % 60) for i in range(4))"
         r" + '=\n' for n in range(500_000)] + ['СекцияРасчСчет\nДатаНачала=01.03.2024\n"
         r"РасчСчет=1\nНачальныйОстаток=0\nКонецРасчСчет\nКонецФайла\n']"),
        # 300,000 one-section accounts with short numbers: an Account (80 bytes), its interval
        # (128), its number (48) and a dict slot (31) for each 86-byte section, 3.3x the input.
        ('accounts', 'cp1251', 4.5,
         r"['1CClientBankExchange\n'] + [f'СекцияРасчСчет\nДатаНачала=01.03.2024\nРасчСчет={n}"
         r"\nНачальныйОстаток=0\nКонецРасчСчет\n' for n in range(1, 300_001)] + ['КонецФайла\n']"),
    ]

    @pytest.mark.parametrize('name, encoding, limit, pieces', SHAPES,
                             ids=[shape[0] for shape in SHAPES])
    def test_peak(self, name, encoding, limit, pieces):
        done = run_python(PEAK_CHILD.format(pieces=pieces, encoding=encoding), timeout=600)
        assert done.returncode == 0, done.stderr
        assert float(done.stdout) < limit, name


HUGE = os.environ.get('CORVINA_HUGE_TESTS') == '1'


@pytest.mark.skipif(not HUGE, reason='set CORVINA_HUGE_TESTS=1 for inputs of hundreds of MB')
class TestHuge:
    def test_gigabyte_of_documents(self):
        purpose = 'Оплата по договору ' * 5000  # about 100 KB a document
        document = lines(*DOCUMENT[:4], f'НазначениеПлатежа={purpose}', *DOCUMENT[5:])
        count = (1 << 30) // len(document.encode()) + 1
        data = (lines(*HEADER, *ACCOUNT) + document * count + 'КонецФайла\n').encode()
        assert len(data) > 1 << 30
        result = corvina_py.parse(data)
        assert len(result.documents) == count
        assert result.documents[-1].purpose == purpose
        report(f'{len(data)} bytes, {count} documents')

    def test_gigabyte_of_short_lines(self):
        # Tens of millions of lines: line numbers and token counts far past 16 bits and 24 bits.
        line = 'Ключ=1\n'
        count = (1 << 30) // len(line.encode()) + 1
        data = lines(*HEADER, *ACCOUNT).encode() + line.encode() * count + b'junk\n'
        with pytest.raises(corvina_py.SyntaxError) as caught:
            corvina_py.parse(data)
        assert caught.value.detail.lineno == len(HEADER) + len(ACCOUNT) + count + 1
        report(f'{len(data)} bytes, {count + 11} lines')

    @pytest.mark.parametrize('encoding', ['utf-8', 'cp1251'])
    def test_200_mb_line(self, encoding):
        value = 'Ж' * ((200 << 20) // len('Ж'.encode(encoding)))
        data = lines(*HEADER, f'Длинный={value}', *ACCOUNT, 'КонецФайла').encode(encoding)
        assert len(data) > 200 << 20
        assert corvina_py.parse(data).header['Длинный'] == value
        report(f'{len(data)} bytes in {encoding}')


def report(what: str) -> None:
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss >> 10
    print(f'{what}; peak resident {peak} MiB')
