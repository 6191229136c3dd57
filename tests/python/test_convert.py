"""The command-line converter: JSON, CSV and summary output, error lines, parallel runs."""

from __future__ import annotations

import codecs
import concurrent.futures
import concurrent.futures.process
import csv
import importlib.metadata
import importlib.util
import io
import json
import os
import re
import shutil
import stat
import subprocess
import sys
import tempfile
from pathlib import Path

import pytest

import corvina_py
import corvina_convert
from corvina_convert import DOCUMENT_FIELDS, INTERVAL_FIELDS, main

OWN = '40702810938000012345'
NEEDS_PYARROW = pytest.mark.skipif(importlib.util.find_spec('pyarrow') is None,
                                   reason='pyarrow is not installed')


def document(amount: str, number: str = '1', payer: str = OWN, payee: str = '40702810100000054321',
             extra: tuple[str, ...] = ()) -> list[str]:
    return [
        'СекцияДокумент=Платежное поручение', f'Номер={number}', 'Дата=01.03.2024',
        f'Сумма={amount}', f'ПлательщикСчет={payer}', 'ПлательщикИНН=7701234567',
        'ПлательщикБанк1=ПАО СБЕРБАНК', 'ПлательщикБИК=044525225', f'ПолучательСчет={payee}',
        'ПолучательИНН=5009876543', 'ПолучательБанк1=АО "АЛЬФА-БАНК"', 'ПолучательБИК=044525593',
        'НазначениеПлатежа=Оплата по счёту № 118', *extra, 'КонецДокумента',
    ]


ACCOUNT = [
    'СекцияРасчСчет', 'ДатаНачала=01.03.2024', f'РасчСчет={OWN}',
    'НачальныйОстаток=1250400.15', 'КонечныйОстаток=1468614.75', 'КонецРасчСчет',
]


def statement(*documents: list[str], account: bool = True) -> str:
    lines = ['1CClientBankExchange', 'ВерсияФормата=1.03']
    lines += ACCOUNT if account else []
    for lines_of_one in documents:
        lines += lines_of_one
    return '\n'.join(lines + ['КонецФайла']) + '\n'


def write(tmp_path: Path, name: str, text: str | bytes) -> str:
    path = tmp_path / name
    if isinstance(text, str):
        path.write_text(text, encoding='utf-8')
    else:
        path.write_bytes(text)
    return str(path)


def read_csv(path: Path | str) -> list[list[str | None]]:
    # The converter's quoting tells an absent field (bare empty cell) from an empty text.
    with open(path, encoding='utf-8', newline='') as stream:
        return list(csv.reader(stream, quoting=csv.QUOTE_NOTNULL))


def read_csv_text(text: str) -> list[list[str | None]]:
    return list(csv.reader(io.StringIO(text, newline=''), quoting=csv.QUOTE_NOTNULL))


def json_lines(text: str) -> list[dict]:
    return [json.loads(line) for line in text.splitlines()]


class TestJson:
    def test_statement_as_nested_objects(self, tmp_path, capsys):
        text = statement(document('98500.00', extra=('ВидОплаты=',)), document('30000,00'))
        path = write(tmp_path, 'a.txt', text)
        assert main([path]) == 0
        [record] = json_lines(capsys.readouterr().out)
        parsed = corvina_py.parse(text)
        assert record['file'] == path
        assert record['encoding'] == 'utf-8'
        assert record['header'] == {'ВерсияФормата': '1.03'}
        assert record['accounts'] == {OWN: [{
            'date_start': '2024-03-01', 'date_end': None, 'start_amount': '1250400.15',
            'end_amount': '1468614.75', 'total_income': None, 'total_expense': None}]}
        assert record['documents'] == [
            {name: getattr(d, name) for name in DOCUMENT_FIELDS} for d in parsed.documents]
        assert record['documents'][0]['payment_type'] == ''
        assert record['documents'][0]['ordering'] is None
        assert record['warnings'] == [{'lineno': parsed.warnings[0][0],
                                       'message': parsed.warnings[0][1]}]

    @pytest.mark.parametrize('amount', [
        '0.1000000000000000000000000001', '79228162514264337593543950335', '-12.340', '100.50',
    ])
    def test_amounts_stay_exact_texts(self, tmp_path, capsys, amount):
        path = write(tmp_path, 'a.txt', statement(document(amount)))
        assert main([path]) == 0
        out = capsys.readouterr().out
        assert f'"amount": "{amount}"' in out

    def test_cyrillic_is_written_as_utf8_not_escaped(self, tmp_path):
        path = write(tmp_path, 'a.txt', statement(document('1')))
        out = tmp_path / 'out.json'
        assert main([path, '-o', str(out)]) == 0
        assert 'Оплата по счёту № 118' in out.read_text(encoding='utf-8')

    def test_one_object_per_file_in_the_order_given(self, tmp_path, capsys):
        paths = [write(tmp_path, f'{n}.txt', statement(document('1', number=str(n))))
                 for n in (3, 1, 2)]
        assert main(paths) == 0
        records = json_lines(capsys.readouterr().out)
        assert [r['file'] for r in records] == paths
        assert [r['documents'][0]['doc_number'] for r in records] == ['3', '1', '2']


class TestCsv:
    def test_header_and_one_row_per_document(self, tmp_path):
        path = write(tmp_path, 'a.txt', statement(document('1.50', number='7'), document('2')))
        out = tmp_path / 'docs.csv'
        assert main(['-f', 'csv', path, '-o', str(out)]) == 0
        header, *rows = read_csv(out)
        assert header == [name for name in DOCUMENT_FIELDS if name != 'extra']
        assert [dict(zip(header, row))['amount'] for row in rows] == ['1.50', '2']
        assert dict(zip(header, rows[0]))['doc_number'] == '7'

    def test_absent_and_empty_texts_stay_apart(self, tmp_path):
        path = write(tmp_path, 'a.txt', statement(document('1', extra=('ВидОплаты=',))))
        out = tmp_path / 'docs.csv'
        assert main(['-f', 'csv', path, '-o', str(out)]) == 0
        header, row = read_csv(out)
        fields = dict(zip(header, row))
        assert fields['payment_type'] == ''
        assert fields['ordering'] is None

    def test_fields_follow_the_document_class(self):
        # Catches a field added to Document but not to the converter's columns.
        names = [name for name, value in vars(corvina_py.Document).items()
                 if type(value).__name__ == 'getset_descriptor']
        assert tuple(names) == DOCUMENT_FIELDS
        names = [name for name, value in vars(corvina_py.Interval).items()
                 if type(value).__name__ == 'getset_descriptor']
        assert tuple(names) == INTERVAL_FIELDS

    def test_intervals_to_a_second_file_with_file_column(self, tmp_path):
        first = write(tmp_path, 'a.txt', statement(document('1')))
        second = write(tmp_path, 'b.txt', statement(document('2'), document('3')))
        docs, intervals = tmp_path / 'docs.csv', tmp_path / 'intervals.csv'
        assert main(['-f', 'csv', '--file-column', '--intervals', str(intervals),
                     '-o', str(docs), first, second]) == 0
        header, *rows = read_csv(docs)
        assert header[0] == 'file'
        assert [(row[0], row[header.index('amount')]) for row in rows] == [
            (first, '1'), (second, '2'), (second, '3')]
        assert read_csv(intervals) == [
            ['file', 'account', *INTERVAL_FIELDS],
            [first, OWN, '2024-03-01', None, '1250400.15', '1468614.75', None, None],
            [second, OWN, '2024-03-01', None, '1250400.15', '1468614.75', None, None],
        ]

    @pytest.mark.parametrize('argv', [
        ['--intervals', 'x.csv', 'a.txt'],
        ['-f', 'summary', '--intervals', 'x.csv', 'a.txt'],
        ['--file-column', 'a.txt'],
        ['-f', 'summary', '--file-column', 'a.txt'],
        ['-f', 'csv', '--indent', '2', 'a.txt'],
        ['-f', 'summary', '--indent', '0', 'a.txt'],
        ['-', '-'],
        ['--jobs', '0', 'a.txt'],
        [],
    ])
    def test_bad_command_lines_exit_2(self, capsys, argv):
        with pytest.raises(SystemExit) as caught:
            main(argv)
        assert caught.value.code == 2


class TestSummary:
    CASES = [
        # amounts, total: sums a default decimal context (28 digits) or a float would round
        (['0.1', '0.2'], '0.3'),
        (['79228162514264337593543950335', '0.0000000000000000000000000001'],
         '79228162514264337593543950335.0000000000000000000000000001'),
        (['0.0000001'], '0.0000001'),
        (['1', '-1.00'], '0.00'),
    ]

    @pytest.mark.parametrize(('amounts', 'total'), CASES)
    def test_totals_are_exact(self, tmp_path, capsys, amounts, total):
        path = write(tmp_path, 'a.txt', statement(*(document(a) for a in amounts)))
        assert main(['-f', 'summary', path]) == 0
        lines = capsys.readouterr().out.splitlines()
        count = f"{len(amounts)} document{'s' if len(amounts) > 1 else ''}"
        assert lines[3] == f'    out: {count}, {total}'

    def test_counts_per_account(self, tmp_path, capsys):
        text = statement(document('10.50'), document('5', payer='1', payee=OWN),
                         document('1', payer='2', payee='3'))
        path = write(tmp_path, 'a.txt', text)
        assert main(['-f', 'summary', path]) == 0
        assert capsys.readouterr().out.splitlines() == [
            f'{path}: utf-8, 1 account, 3 documents, 0 warnings',
            f'  {OWN}: 1 interval, opening 1250400.15, closing 1468614.75',
            '    in: 1 document, 5',
            '    out: 1 document, 10.50',
            '    balance: 1250400.15 + 5 - 10.50 = 1250394.65: closing 1468614.75, off by '
            '218220.10',
            '  no listed account: 1 document, 1',
            '  all documents: 3; 1 in, 1 out, 1 with no listed account',
        ]


class TestErrors:
    # statement text, expected message after "file:"; {n} stands for the reported line
    CASES = [
        (statement(document('1')) + 'мусор\n', "{n}: Unrecognized line: 'мусор'; every line is "
         'a key=value pair or a section marker: fix or remove this line'),
        ('', ' Input is empty; the file holds nothing: export the statement again'),
        ('hello\n', ' Input is not a 1C statement (its first line is not 1CClientBankExchange: '
         'check that this is a statement file)'),
        (statement(document('1')).replace('КонецФайла\n', ''), ' Statement is not finished; the '
         'file ends before its КонецФайла line and may be cut short: export the statement '
         'again'),
        (statement(document('1')).replace(f'РасчСчет={OWN}\n', ''),
         "{n}: Missing field 'РасчСчет' in context 'account'; add the missing line to the "
         'section'),
        (statement(document('1')).replace('СекцияДокумент', 'СекцияРасчСчет\nСекцияДокумент', 1),
         "{n}: Unexpected section 'СекцияДокумент=Платежное поручение' in context 'account'; "
         'a section starts or ends out of place: check that each section ends '
         '(КонецДокумента, КонецРасчСчет) before the next one starts'),
        (statement(document('1')).replace('01.03.2024', '31.02.2024', 1),
         '{n}: account section unreadable: ДатаНачала=31.02.2024: there is no 31 February; '
         'dates are written DD.MM.YYYY, as 05.03.2024; the statement cannot be converted '
         'without it'),
        # A line quoted from the file cannot clear the screen or start a line of its own.
        (statement(document('1')) + '\x1b[2J\rx\n', "{n}: Unrecognized line: '\\x1b[2J\\rx'; "
         'every line is a key=value pair or a section marker: fix or remove this line'),
    ]

    @pytest.mark.parametrize(('text', 'message'), CASES)
    def test_message_with_line_when_known(self, tmp_path, capsys, text, message):
        bad = write(tmp_path, 'bad.txt', text)
        good = write(tmp_path, 'good.txt', statement(document('1')))
        assert main([bad, good]) == 1
        captured = capsys.readouterr()
        try:
            corvina_py.parse(text)
        except corvina_py.ParseError as error:
            lineno = getattr(getattr(error, 'detail', None), 'lineno', None)
        assert captured.err == f'{bad}:' + message.format(n=lineno) + '\n'
        # The other file is converted all the same.
        assert [r['file'] for r in json_lines(captured.out)] == [good]

    def test_missing_file(self, tmp_path, capsys):
        missing = str(tmp_path / 'missing.txt')
        assert main([missing]) == 1
        assert capsys.readouterr().err == \
            f'{missing}: No such file or directory; check the name and the folder\n'

    def test_dropped_document_warns_and_strict_fails(self, tmp_path, capsys):
        path = write(tmp_path, 'a.txt', statement(document('1,5')))
        lineno = corvina_py.parse(Path(path).read_bytes()).warnings[0][0]
        message = ('document left out: Сумма=1,5: not a number; amounts are digits with a '
                   'point before the kopecks, as 1250.50 (no comma, no spaces)')
        assert main(['-f', 'csv', path]) == 0
        assert capsys.readouterr().err == f'{path}:{lineno}: warning: {message}\n'
        assert main(['-f', 'csv', '--strict', path]) == 1
        assert capsys.readouterr().err == f'{path}:{lineno}: error: {message}\n'

    @pytest.mark.parametrize('argv', [['-f', 'json'], ['-f', 'csv'], ['-f', 'summary']])
    def test_strict_writes_nothing_of_a_failing_file(self, tmp_path, argv):
        bad = write(tmp_path, 'bad.txt', statement(document('7.77'), document('1,5')))
        good = write(tmp_path, 'good.txt', statement(document('2.22')))
        out = tmp_path / 'out'
        assert main([*argv, '--strict', '-o', str(out), bad, good]) == 1
        written = out.read_text(encoding='utf-8')
        assert '2.22' in written and '7.77' not in written

    # byte-order mark, text after it, the mark named in the hint
    BOM_CASES = [
        (codecs.BOM_UTF8, statement(document('1')).encode(), 'UTF-8'),
        (codecs.BOM_UTF16_BE, 'hello\n'.encode('utf-16-be'), 'UTF-16'),
        (codecs.BOM_UTF32_LE, statement(document('1')).encode('utf-32-le'), 'UTF-32'),
    ]

    @pytest.mark.parametrize(('mark', 'data', 'encoding'), BOM_CASES,
                             ids=[case[2] for case in BOM_CASES])
    def test_refused_file_with_byte_order_mark_gets_a_hint(self, tmp_path, capsys, mark, data,
                                                           encoding):
        path = write(tmp_path, 'a.txt', mark + data)
        assert main([path]) == 1
        assert capsys.readouterr().err == (
            f'{path}: Input is not a 1C statement (the file starts with a {encoding} byte-order '
            'mark; save it as Windows-1251, or as UTF-8 without a byte-order mark)\n')

    def test_refusal_ends_with_the_parsers_notes(self, tmp_path, capsys):
        path = write(tmp_path, 'a.txt', statement().replace('РасчСчет=', 'РасчСчет = ', 1))
        assert main([path]) == 1
        assert capsys.readouterr().err == (
            f"{path}:8: Missing field 'РасчСчет' in context 'account'; add the missing line to "
            "the section. Line 5 writes the key РасчСчет with blanks around '=': keys are read "
            'as written, blanks included, so write РасчСчет=value without them.\n')

    def test_dask_reader_reports_the_notes_too(self, tmp_path, capsys):
        pytest.importorskip('pyarrow')
        pytest.importorskip('pandas')
        from corvina_convert.dask import read_documents
        path = write(tmp_path, 'a.txt', statement().replace('РасчСчет=', 'РасчСчет = ', 1))
        assert len(read_documents(path)) == 0
        assert capsys.readouterr().err == (
            f"{path}:8: Missing field 'РасчСчет' in context 'account'. Line 5 writes the key "
            "РасчСчет with blanks around '=': keys are read as written, blanks included, so "
            'write РасчСчет=value without them.\n')

    @pytest.mark.parametrize('argv', [
        ['-o', '{input}'], ['-f', 'csv', '-o', '{input}'], ['--jobs', '2', '-o', '{input}'],
        ['-o', '{link}'], ['-f', 'csv', '--intervals', '{link}'],
        ['-f', 'csv', '-o', '{output}', '--intervals', '{output}'],
    ])
    def test_output_that_is_an_input_is_refused(self, tmp_path, argv):
        text = statement(document('1'))
        path = write(tmp_path, 'a.txt', text)
        other = write(tmp_path, 'b.txt', text)
        os.link(path, tmp_path / 'link.txt')
        names = {'input': path, 'link': str(tmp_path / 'link.txt'), 'output': other}
        with pytest.raises(SystemExit) as caught:
            main([arg.format(**names) for arg in argv] + [path])
        assert caught.value.code == 2
        assert Path(path).read_text(encoding='utf-8') == text

    def test_unwritable_output(self, tmp_path, capsys):
        path = write(tmp_path, 'a.txt', statement(document('1')))
        target = tmp_path / 'no' / 'such' / 'dir.json'
        assert main([path, '-o', str(target)]) == 1
        assert capsys.readouterr().err == \
            f'{target}: No such file or directory; check the name and the folder\n'


class TestFileNames:
    # Bytes that are not UTF-8, a newline and an escape: allowed in a Linux file name.
    RAW = b'bad\xff\n\x1b.txt'
    IN_DATA = 'bad\\xff\n\x1b.txt'      # readable, and data formats escape the rest
    IN_LINES = 'bad\\xff\\n\\x1b.txt'  # one line of text on standard error and in summaries

    @pytest.mark.parametrize('argv', [['-f', 'json'], ['-f', 'csv', '--file-column'],
                                      ['-f', 'summary']])
    def test_any_name_is_written_readably_in_every_format(self, tmp_path, capsys, argv):
        path = os.path.join(tmp_path, os.fsdecode(self.RAW))
        write(tmp_path, os.fsdecode(self.RAW), statement(document('1'), document('1,5')))
        after = write(tmp_path, 'after.txt', statement(document('2')))
        assert main([*argv, path, after]) == 0
        captured = capsys.readouterr()
        where, message = captured.err.split(': warning: ')
        assert where.rsplit(':', 1)[0] == f'{tmp_path}/{self.IN_LINES}'
        assert message.startswith('document left out') and message.count('\n') == 1
        outputs = {
            'json': lambda: [r['file'] for r in json_lines(captured.out)],
            'csv': lambda: [row[0] for row in read_csv_text(captured.out)[1:]],
            'summary': lambda: [line.split(': ')[0] for line in captured.out.splitlines()
                                if not line.startswith(' ')],
        }
        expected = self.IN_LINES if argv[1] == 'summary' else self.IN_DATA
        assert outputs[argv[1]]() == [f'{tmp_path}/{expected}', after]


def console_script() -> list[str]:
    found = shutil.which('corvina-convert', path=str(Path(sys.executable).parent))
    return [found] if found else [sys.executable, '-m', 'corvina_convert']


class TestCommand:
    def run(self, *args: str, stdin: bytes = b'') -> subprocess.CompletedProcess[bytes]:
        return subprocess.run([*console_script(), *args], input=stdin, capture_output=True,
                              timeout=120, check=False)

    def test_standard_input_in_cp1251(self):
        data = statement(document('12.30')).encode('cp1251')
        done = self.run('-f', 'csv', '-', stdin=data)
        assert done.returncode == 0, done.stderr
        header, row = csv.reader(io.StringIO(done.stdout.decode('utf-8')))
        assert dict(zip(header, row))['amount'] == '12.30'
        assert dict(zip(header, row))['purpose'] == 'Оплата по счёту № 118'

    def test_module_entry_point(self):
        done = subprocess.run([sys.executable, '-m', 'corvina_convert', '-f', 'summary', '-'],
                              input=statement(document('1')).encode(), capture_output=True,
                              timeout=120, check=False)
        assert done.returncode == 0, done.stderr
        assert done.stdout.decode().startswith('<stdin>: utf-8, 1 account, 1 document')

    def test_parallel_jobs_keep_order_and_report_failures(self, tmp_path):
        paths = []
        for n in range(6):
            text = statement(document(f'{n}.01', number=str(n)))
            paths.append(write(tmp_path, f'{n}.txt', text if n != 3 else b''))
        done = self.run('--jobs', '3', *paths)
        assert done.returncode == 1
        assert done.stderr.decode() == \
            f'{paths[3]}: Input is empty; the file holds nothing: export the statement again\n'
        records = json_lines(done.stdout.decode('utf-8'))
        assert [r['documents'][0]['amount'] for r in records] == [
            '0.01', '1.01', '2.01', '4.01', '5.01']

    @pytest.mark.parametrize('format', ['json', 'summary', 'exchange'])
    def test_closed_standard_output(self, tmp_path, format):
        path = write(tmp_path, 'a.txt', statement(document('1')))
        done = subprocess.run(['sh', '-c', 'exec "$@" >&-', 'sh', *console_script(), '-f',
                               format, path], capture_output=True, timeout=120, check=False)
        assert (done.returncode, done.stderr) == (1, b'corvina-convert: standard output is '
                                                     b'closed\n')

    def test_output_is_utf8_whatever_the_locale(self, tmp_path):
        path = write(tmp_path, 'a.txt', statement(document('1')))
        done = subprocess.run([*console_script(), path], capture_output=True, timeout=120,
                              check=False, env={'LC_ALL': 'C', 'PYTHONIOENCODING': 'ascii'})
        assert done.returncode == 0, done.stderr
        assert 'Оплата' in done.stdout.decode('utf-8')


class FakePool:
    """Stands in for the worker pool: runs each call as it is submitted, counts the calls, and
    lets one result raise what a real pool could (an interrupt, a worker that died)."""

    def __init__(self, max_workers: int, fail_at: int | None = None,
                 failure: BaseException | None = None) -> None:
        self.max_workers = max_workers
        self.submitted = 0
        self.fail_at, self.failure = fail_at, failure

    def __enter__(self) -> FakePool:
        return self

    def __exit__(self, *exception: object) -> None:
        pass

    def submit(self, function, *args) -> concurrent.futures.Future:
        future: concurrent.futures.Future = concurrent.futures.Future()
        if self.submitted == self.fail_at:
            future.set_exception(self.failure)
        else:
            future.set_result(function(*args))
        self.submitted += 1
        return future


def use_pool(monkeypatch, **failure) -> list[FakePool]:
    pools: list[FakePool] = []

    def make(max_workers: int, **options: object) -> FakePool:
        pools.append(FakePool(max_workers, **failure))
        return pools[-1]
    monkeypatch.setattr(concurrent.futures, 'ProcessPoolExecutor', make)
    return pools


# Every format, each with an output option that all of them take.
FORMATS = [['-f', 'json'], ['-f', 'csv', '--file-column'], ['-f', 'summary'],
           pytest.param(['-f', 'parquet'], marks=NEEDS_PYARROW),
           pytest.param(['-f', 'arrow'], marks=NEEDS_PYARROW)]


class TestOutputs:
    OLD = b'what was there before'

    @pytest.fixture
    def old(self, tmp_path) -> Path:
        out = tmp_path / 'out'
        out.write_bytes(self.OLD)
        return out

    @pytest.mark.parametrize('argv', FORMATS)
    def test_run_that_converts_nothing_leaves_the_output(self, tmp_path, capsys, old, argv):
        empty = write(tmp_path, 'empty.txt', '')
        assert main([*argv, '-o', str(old), empty]) == 1
        assert old.read_bytes() == self.OLD
        assert sorted(os.listdir(tmp_path)) == ['empty.txt', 'out']
        new = tmp_path / 'new'
        assert main([*argv, '-o', str(new), empty]) == 1
        assert not new.exists()

    # what the third file's result raises, the exit status or the exception main lets through
    STOPS = [(KeyboardInterrupt(), KeyboardInterrupt),
             (concurrent.futures.process.BrokenProcessPool('gone'), 1)]

    @pytest.mark.parametrize(('failure', 'outcome'), STOPS)
    @pytest.mark.parametrize('argv', FORMATS)
    def test_stopped_run_leaves_the_output(self, tmp_path, capsys, monkeypatch, old, argv,
                                           failure, outcome):
        paths = [write(tmp_path, f'{n}.txt', statement(document(f'{n}.5'))) for n in range(4)]
        use_pool(monkeypatch, fail_at=2, failure=failure)
        # The workers' private folder goes here, so that its removal can be seen.
        temporary = tmp_path / 'tmp'
        temporary.mkdir()
        monkeypatch.setattr(tempfile, 'tempdir', str(temporary))
        argv = [*argv, '--jobs', '2', '-o', str(old), *paths]
        if isinstance(outcome, int):
            assert main(argv) == outcome
            assert capsys.readouterr().err == (
                'corvina-convert: a worker process ended abruptly; the conversion stopped and '
                'no output file was replaced (a worker that ends so has often run out of memory: '
                'run again with fewer --jobs)\n')
        else:
            with pytest.raises(outcome):
                main(argv)
        assert old.read_bytes() == self.OLD
        assert sorted(os.listdir(tmp_path)) == ['0.txt', '1.txt', '2.txt', '3.txt', 'out', 'tmp']
        assert os.listdir(temporary) == []

    def test_replaced_file_keeps_its_mode_and_links(self, tmp_path):
        path = write(tmp_path, 'a.txt', statement(document('1')))
        kept = tmp_path / 'kept.json'
        kept.write_text('old')
        kept.chmod(0o604)
        (tmp_path / 'link.json').symlink_to('kept.json')
        mask = os.umask(0o027)
        try:
            assert main([path, '-o', str(tmp_path / 'link.json')]) == 0
            assert main([path, '-o', str(tmp_path / 'new.json')]) == 0
        finally:
            os.umask(mask)
        assert (tmp_path / 'link.json').is_symlink()
        assert json_lines(kept.read_text(encoding='utf-8'))[0]['file'] == path
        assert stat.S_IMODE(kept.stat().st_mode) == 0o604
        assert stat.S_IMODE((tmp_path / 'new.json').stat().st_mode) == 0o640

    @pytest.mark.parametrize('argv', FORMATS)
    def test_failed_write_removes_nothing_and_names_the_output(self, tmp_path, capsys, argv):
        if not os.path.exists('/dev/full'):
            pytest.skip('no /dev/full to fail the writes')
        path = write(tmp_path, 'a.txt', statement(document('1')))
        link = tmp_path / 'full\n\x1b.out'  # a link to a device that refuses every write
        link.symlink_to('/dev/full')
        assert main([*argv, '-o', str(link), path]) == 1
        assert capsys.readouterr().err == \
            f'{tmp_path}/full\\n\\x1b.out: No space left on device; free some space and run again\n'
        assert link.is_symlink()

    @pytest.mark.parametrize('format', ['parquet', 'arrow'])
    def test_table_that_cannot_be_joined_names_the_output_on_one_line(self, tmp_path, capsys,
                                                                       format):
        pytest.importorskip('pyarrow')
        # 29 integer digits at the other file's 28 decimals need more than 38 digits.
        paths = [write(tmp_path, 'a.txt', statement(document('79228162514264337593543950335'))),
                 write(tmp_path, 'b.txt', statement(document('0.0000000000000000000000000001')))]
        out = tmp_path / 'out\n\x1b[2J'
        assert main(['-f', format, '-o', str(out), *paths]) == 1
        err = capsys.readouterr().err
        assert err.startswith(f'{tmp_path}/out\\n\\x1b[2J: ') and err.count('\n') == 1
        assert sorted(os.listdir(tmp_path)) == ['a.txt', 'b.txt']

    @pytest.mark.parametrize('argv', FORMATS)
    def test_output_into_a_pipe(self, tmp_path, argv):
        # A link in our own folder: when a failed write removes its output path, it is this
        # one, not the system's /dev/stdout.
        link = tmp_path / 'stdout'
        link.symlink_to('/dev/stdout')
        paths = [write(tmp_path, f'{n}.txt', statement(document(f'{n}.5'))) for n in range(2)]
        done = subprocess.run([*console_script(), *argv, '--jobs', '2', '-o', str(link), *paths],
                              capture_output=True, timeout=120, check=False)
        assert done.returncode == 0, done.stderr
        assert link.is_symlink()
        subprocess.run([*console_script(), *argv, '-o', str(tmp_path / 'file'), *paths],
                       check=True, timeout=120)
        assert done.stdout == (tmp_path / 'file').read_bytes()

    @pytest.mark.parametrize('argv', [
        ['-f', 'csv', '-o', 'new.csv', '--intervals', 'new.csv', 'a.txt'],
        ['-f', 'csv', '-o', 'new.csv', '--intervals', './new.csv', 'a.txt'],
        ['-f', 'csv', '-o', 'new.csv', '--intervals', '{tmp}/sub/../new.csv', 'a.txt'],
        pytest.param(['-f', 'parquet', '-o', 'new', '--intervals', './new', 'a.txt'],
                     marks=NEEDS_PYARROW),
        ['-o', 'missing.txt', './missing.txt'],
    ])
    def test_outputs_naming_one_new_file_are_refused(self, tmp_path, capsys, monkeypatch,
                                                     argv):
        write(tmp_path, 'a.txt', statement(document('1')))
        (tmp_path / 'sub').mkdir()
        monkeypatch.chdir(tmp_path)
        with pytest.raises(SystemExit) as caught:
            main([arg.format(tmp=tmp_path) for arg in argv])
        assert caught.value.code == 2
        assert capsys.readouterr().err.endswith(
            ' is an input or another output: refusing to overwrite it (see --help)\n')
        assert sorted(os.listdir(tmp_path)) == ['a.txt', 'sub']


class TestJobs:
    def test_files_in_flight_stay_few(self, monkeypatch):
        pools = use_pool(monkeypatch)
        monkeypatch.setattr(sys, 'stdin', io.TextIOWrapper(io.BytesIO(b'')))
        paths = [f'missing-{n}.txt' for n in range(20)]
        paths.insert(5, '-')
        names = []
        for outcome in corvina_convert.convert_all(paths, 3, corvina_convert.summary_pieces):
            names.append(outcome.name)
            # Each result is taken at most two per worker after its submission.
            assert pools[0].submitted - (len(names) - ('<stdin>' in names)) <= 6
        assert names == [name if name != '-' else '<stdin>' for name in paths]

    # With no temporary folder to write to, the workers send their bytes back by the pool.
    @pytest.mark.parametrize('temporary', ['usable', 'missing'])
    @pytest.mark.parametrize('argv', FORMATS)
    def test_workers_write_what_a_serial_run_writes(self, tmp_path, monkeypatch, argv,
                                                    temporary):
        if temporary == 'missing':
            monkeypatch.setattr(tempfile, 'tempdir', str(tmp_path / 'missing'))
        paths = [write(tmp_path, f'{n}.txt', statement(*(document(f'{n}.{k}5', number=str(k))
                                                         for k in range(n + 1))))
                 for n in range(5)]
        paths[1] = write(tmp_path, '1.txt', statement(document('1,5'), document('0.001')))
        paths[3] = write(tmp_path, '3.txt', '')
        outputs = {}
        for jobs in ('1', '2'):
            extra = ['--intervals', str(tmp_path / f'intervals-{jobs}')] \
                if argv[1] in ('csv', 'parquet', 'arrow') else []
            assert main([*argv, *extra, '--jobs', jobs, '-o', str(tmp_path / f'out-{jobs}'),
                         *paths]) == 1
            outputs[jobs] = [(tmp_path / f'{kind}-{jobs}').read_bytes()
                             for kind in ('out', 'intervals') if kind == 'out' or extra]
        assert outputs['1'] == outputs['2']


def test_version(capsys):
    with pytest.raises(SystemExit) as caught:
        main(['--version'])
    assert caught.value.code == 0
    assert capsys.readouterr().out == \
        f"corvina-convert {importlib.metadata.version('corvina_py')}\n"


def test_converter_lives_beside_the_module():
    assert not hasattr(corvina_py, 'corvina_convert')
    assert len(corvina_py.__all__) == 18
    assert corvina_convert.__name__ == 'corvina_convert'


def converted_files(out: str) -> list[str]:
    return [record['file'] for record in json_lines(out)]


class TestInputs:
    # Files made in the run's folder; a folder of statements sorts apart from its look-alikes.
    FILES = ['b.txt', 'A.TXT', 'notes.csv', '.hidden.txt', 'sub/c.txt', 'sub/deep/d.Txt',
             'sub-x/e.txt', '.git/f.txt']
    # arguments (relative to the folder), --recursive, files converted in order
    CASES = [
        (['.'], False, ['A.TXT', 'b.txt']),
        (['.'], True, ['A.TXT', 'b.txt', 'sub/c.txt', 'sub/deep/d.Txt', 'sub-x/e.txt']),
        (['sub'], False, ['sub/c.txt']),
        (['*.txt'], False, ['A.TXT', 'b.txt']),
        (['sub*/*.txt'], False, ['sub/c.txt', 'sub-x/e.txt']),
        (['**/*.txt'], False, ['A.TXT', 'b.txt', 'sub/c.txt', 'sub/deep/d.Txt', 'sub-x/e.txt']),
        (['sub/*.txt'], True, ['sub/c.txt', 'sub/deep/d.Txt']),
        (['b.txt', 'sub', 'A.TXT'], False, ['b.txt', 'sub/c.txt', 'A.TXT']),
        (['notes.csv'], False, ['notes.csv']),  # a file named as itself is always an input
    ]

    @pytest.fixture
    def folder(self, tmp_path, monkeypatch):
        for name in self.FILES:
            (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
            write(tmp_path, name, statement(document('1')))
        monkeypatch.chdir(tmp_path)
        return tmp_path

    @pytest.mark.parametrize(('arguments', 'recursive', 'expected'), CASES)
    def test_folders_and_patterns_in_path_order(self, folder, capsys, arguments, recursive,
                                                expected):
        assert main([*arguments, *(['--recursive'] if recursive else [])]) == 0
        found = [os.path.relpath(name, folder) for name in converted_files(
            capsys.readouterr().out)]
        assert found == expected

    @pytest.mark.parametrize(('argument', 'message'), [
        ('*.json', '*.json: no file matches this pattern'),
        ('sub/deep', 'sub/deep: no statement files (*.txt) in this folder; --recursive '
         'descends into its subfolders'),
    ])
    def test_nothing_to_convert_is_a_command_line_error(self, folder, capsys, argument,
                                                         message):
        (folder / 'sub' / 'deep' / 'd.Txt').rename(folder / 'sub' / 'deep' / 'd.bak')
        with pytest.raises(SystemExit) as caught:
            main([argument])
        assert caught.value.code == 2
        assert capsys.readouterr().err.endswith(f'error: {message} (see --help)\n')


class Terminal(io.StringIO):
    def isatty(self) -> bool:
        return True


class TestProgress:
    @pytest.fixture
    def files(self, tmp_path):
        return [write(tmp_path, f'{n}.txt', statement(document('1,5' if n == 1 else '1')))
                for n in range(3)]

    @pytest.mark.parametrize('bar', ['line', 'tqdm'])
    @pytest.mark.parametrize('argv', [['-f', 'csv'], ['-f', 'parquet']])
    def test_long_batch_on_a_terminal(self, tmp_path, files, monkeypatch, bar, argv):
        pytest.importorskip('tqdm' if bar == 'tqdm' else 'csv')
        if argv[1] == 'parquet':
            pytest.importorskip('pyarrow')
        if bar == 'line':
            monkeypatch.setattr(corvina_convert.progress, 'make_bar',
                                corvina_convert.progress.LineBar)
        # Set here: pytest puts its own standard error back between a fixture and the test.
        terminal = Terminal()
        monkeypatch.setattr(sys, 'stderr', terminal)
        assert main([*argv, '-o', str(tmp_path / 'out'), *files]) == 0
        shown = terminal.getvalue()
        assert '3/3 files' in shown and ('MB/s' in shown or 'B/s' in shown)
        # The warning is one whole line of its own, not torn by the bar.
        warning = f'{files[1]}:{corvina_py.parse(Path(files[1]).read_bytes()).warnings[0][0]}: '
        assert any(line.endswith(warning + 'warning: document left out: Сумма=1,5: not a number; '
                                 'amounts are digits with a point before the kopecks, as '
                                 '1250.50 (no comma, no spaces)')
                   for line in shown.replace('\r', '\n').splitlines())

    def test_line_bar_says_files_rate_and_time_left(self, files, monkeypatch):
        err = Terminal()
        bar = corvina_convert.progress.LineBar(err, 2, 4_000_000)
        bar.start = 0.0
        monkeypatch.setattr(corvina_convert.progress.time, 'monotonic', lambda: 1.0)
        bar.advance(1_000_000)
        assert err.getvalue() == '\r1/2 files, 1.0 MB/s, 0:03 left'
        bar.close()
        assert err.getvalue().endswith('left\r' + ' ' * 30 + '\r')

    # argv besides the files, whether stderr is a terminal, how many files
    QUIET = [([], False, 3), (['--quiet'], True, 3), ([], True, 1)]

    @pytest.mark.parametrize(('argv', 'tty', 'count'), QUIET)
    def test_no_bar_writes_what_it_always_wrote(self, tmp_path, files, monkeypatch, argv, tty,
                                                count):
        err = Terminal() if tty else io.StringIO()
        monkeypatch.setattr(sys, 'stderr', err)
        monkeypatch.setattr(corvina_convert.progress, 'make_bar', None)  # never called
        assert main([*argv, '-o', str(tmp_path / 'out'), *files[:count]]) == 0
        assert all(line.count(': warning: ') == 1 for line in err.getvalue().splitlines())
        assert err.getvalue().count('\n') == (count > 1)


class TestExcel:
    def test_bom_semicolons_and_crlf(self, tmp_path):
        path = write(tmp_path, 'a.txt', statement(document('98500.00'), document('1.5')))
        plain, excel = tmp_path / 'plain.csv', tmp_path / 'excel.csv'
        intervals = tmp_path / 'intervals.csv'
        assert main(['-f', 'csv', '-o', str(plain), path]) == 0
        assert main(['-f', 'csv', '--excel', '-o', str(excel), '--intervals', str(intervals),
                     path]) == 0
        data = excel.read_bytes()
        assert data.startswith(codecs.BOM_UTF8 + b'"doc_number";"doc_type";')
        assert data.count(b'\r\n') == 3 and data.count(b'\n') == 3
        assert intervals.read_bytes().startswith(codecs.BOM_UTF8 + b'"account";')
        with open(excel, encoding='utf-8-sig', newline='') as stream:
            rows = list(csv.reader(stream, delimiter=';', quoting=csv.QUOTE_NOTNULL))
        assert rows == read_csv(plain)

    def test_extra_columns_of_several_inputs(self, tmp_path):
        # The extra keys' columns are settled after every input is read: the late header and
        # the rows padded then must keep the mark and the separator.
        paths = [write(tmp_path, 'a.txt', statement(document('1.00', extra=('Код=1',)))),
                 write(tmp_path, 'b.txt', statement(document('2.00', extra=('ОКАТО=45',))))]
        plain, excel = tmp_path / 'plain.csv', tmp_path / 'excel.csv'
        assert main(['-f', 'csv', '-o', str(plain), *paths]) == 0
        assert main(['-f', 'csv', '--excel', '-o', str(excel), *paths]) == 0
        data = excel.read_bytes()
        assert data.startswith(codecs.BOM_UTF8 + b'"doc_number";') and data.count(codecs.BOM_UTF8) == 1
        with open(excel, encoding='utf-8-sig', newline='') as stream:
            rows = list(csv.reader(stream, delimiter=';', quoting=csv.QUOTE_NOTNULL))
        assert rows == read_csv(plain)
        assert rows[0][-2:] == ['Код', 'ОКАТО'] and rows[1][-2:] == ['1', None]

    @pytest.mark.parametrize('format', ['json', 'summary', 'parquet'])
    def test_only_for_csv(self, capsys, format):
        with pytest.raises(SystemExit) as caught:
            main(['-f', format, '--excel', 'a.txt'])
        assert caught.value.code == 2
        assert capsys.readouterr().err.endswith(
            'error: --excel needs --format csv (see --help)\n')


class TestExtraKeys:
    """Extra keys in CSV: a column each while they are few, past the limit the rest of each
    document's in one column of JSON objects, so the output stays linear in the input."""

    LIMIT = corvina_convert.EXTRA_COLUMNS
    # Each input a list of documents, each given by its extra keys.
    LAYOUTS = {
        'few keys in two inputs': [[{'Код': '1'}, {'ОКАТО': '2', 'Код': ''}], [{'КБК': '3'}]],
        'a key of its own per document': [[{f'Код{i}': str(i)} for i in range(100)]],
        'later inputs in other orders': [
            [{f'K{i}': f'a{i}'} for i in range(LIMIT + 6)],
            [{f'K{LIMIT + 4}': 'b', 'K1': 'b', 'Новый': 'n'}],
            [{'K0': 'c'}],
            [{f'K{i}': f'd{i}' for i in reversed(range(LIMIT + 6))}],
            [{'Код': '1'}],
        ],
    }

    @staticmethod
    def run(tmp_path, layout, *options):
        paths = [write(tmp_path, f'{n}.txt', statement(*(
            document('1', extra=tuple(f'{key}={value}' for key, value in extra.items()))
            for extra in documents))) for n, documents in enumerate(layout)]
        out = tmp_path / 'out.csv'
        assert main(['-f', 'csv', '-o', str(out), *options, *paths]) == 0
        return read_csv(out)

    @staticmethod
    def extras(rows) -> tuple[list[str], list[dict[str, str]]]:
        """The columns after the fields, and each row's extra keys read back from them."""
        header, *rows = rows
        fixed = len(DOCUMENT_FIELDS) - 1
        keys = header[fixed:]
        found = []
        for row in rows:
            assert len(row) == len(header)
            extra = {key: cell for key, cell in zip(keys, row[fixed:]) if cell is not None}
            if len(keys) == TestExtraKeys.LIMIT + 1:
                extra.update(json.loads(extra.pop('extra', '{}')))
            found.append(extra)
        return keys, found

    @pytest.mark.parametrize('name', LAYOUTS)
    def test_every_value_in_its_place(self, tmp_path, capsys, name):
        layout = self.LAYOUTS[name]
        expected = [extra for documents in layout for extra in documents]
        keys = list(dict.fromkeys(key for extra in expected for key in extra))
        columns, found = self.extras(self.run(tmp_path, layout))
        assert found == expected
        if len(keys) <= self.LIMIT:
            assert columns == keys and capsys.readouterr().err == ''
        else:
            assert columns == [*keys[:self.LIMIT], 'extra']
            assert capsys.readouterr().err == (
                f'corvina-convert: the documents have {len(keys)} extra keys: the first '
                f'{self.LIMIT} have a column each, the others are in the column "extra" as one '
                'JSON object per row (--extra-columns gives each key a column)\n')
        columns, found = self.extras(self.run(tmp_path, layout, '--extra-columns'))
        assert columns == keys and found == expected

    def test_output_linear_in_the_input(self, tmp_path):
        text = statement(*(document('1', extra=(f'Код{i}={i}',)) for i in range(2000)))
        path = write(tmp_path, 'many.txt', text)
        out = tmp_path / 'many.csv'
        assert main(['-f', 'csv', '-o', str(out), path]) == 0
        assert out.stat().st_size < 2 * len(text.encode())


def dos_statement() -> tuple[bytes, corvina_py.Statement]:
    """A real statement made into what a DOS program writes, and the statement it holds."""
    from conftest import SAMPLES
    sample = SAMPLES / 'sample-01.txt'
    if not sample.is_file():
        pytest.skip('the real samples are not beside the project')
    data = sample.read_bytes()
    text = data.decode(corvina_py.parse(data).encoding).replace('Кодировка=Windows',
                                                                  'Кодировка=DOS')
    assert 'Кодировка=DOS' in text
    return text.encode('cp866'), corvina_py.parse(text)


class TestDos:
    def test_refused_with_a_hint(self, tmp_path, capsys):
        path = write(tmp_path, 'dos.txt', dos_statement()[0])
        assert main([path]) == 1
        assert capsys.readouterr().err == (
            f'{path}: Input is not a 1C statement (its header says Кодировка=DOS: the file is '
            'in the DOS code page; convert it with --encoding cp866)\n')

    @pytest.mark.parametrize('jobs', ['1', '2'])
    def test_encoding_cp866_reads_it(self, tmp_path, capsys, jobs):
        data, expected = dos_statement()
        paths = [write(tmp_path, f'dos{n}.txt', data) for n in range(2)]
        assert main(['--encoding', 'cp866', '--jobs', jobs, *paths]) == 0
        records = json_lines(capsys.readouterr().out)
        assert [r['encoding'] for r in records] == ['cp1251', 'cp1251']
        assert records[0]['header']['Кодировка'] == 'DOS'
        assert records[1]['documents'] == corvina_convert.statement_to_dict(expected)['documents']

    def test_character_without_a_windows_form(self, tmp_path, capsys):
        # Box drawing is in the DOS code page and not in Windows-1251.
        text = statement(document('1')).replace('№ 118', '№ 118 ─')
        path = write(tmp_path, 'dos.txt', text.encode('cp866'))
        lineno = text[:text.index('─')].count('\n') + 1
        assert main(['--encoding', 'cp866', path]) == 1
        assert capsys.readouterr().err == (
            f"{path}:{lineno}: the character '─' (from cp866) has no Windows-1251 form; "
            'replace it in the file\n')


class TestMessages:
    # a change to the document, the warning after "warning: "
    DROPPED = [
        (('Дата=01.03.2024', 'Дата=31.02.2024'), 'document left out: Дата=31.02.2024: there is '
         'no 31 February; dates are written DD.MM.YYYY, as 05.03.2024'),
        (('Дата=01.03.2024', 'Дата=01.03.2024г'), 'document left out: Дата=01.03.2024г: a date '
         'has text after its year; dates are written DD.MM.YYYY, as 05.03.2024'),
        (('Дата=01.03.2024', 'Дата=01-03-2024'), 'document left out: Дата=01-03-2024: a date '
         'holds characters other than digits and points; dates are written DD.MM.YYYY, as '
         '05.03.2024'),
        (('Номер=1\n', ''), 'document left out: it has no Номер line; add it, or export the '
         'statement again'),
        (('Сумма=5', 'Сумма=1 000.00'), 'document left out: Сумма=1 000.00: not a number; '
         'amounts are digits with a point before the kopecks, as 1250.50 (no comma, no '
         'spaces)'),
    ]

    @pytest.mark.parametrize(('change', 'message'), DROPPED)
    def test_dropped_document_says_what_to_fix(self, tmp_path, capsys, change, message):
        text = statement(document('5')).replace(*change)
        path = write(tmp_path, 'a.txt', text)
        [(lineno, _)] = corvina_py.parse(text).warnings
        assert main([path]) == 0
        assert capsys.readouterr().err == f'{path}:{lineno}: warning: {message}\n'

    @pytest.mark.parametrize(('argv', 'message'), [
        (['--jobs', 'x'], "argument -j/--jobs: 'x' is not a whole number"),
        (['--indent', '2.5'], "argument --indent: '2.5' is not a whole number"),
    ])
    def test_command_line_numbers(self, capsys, argv, message):
        with pytest.raises(SystemExit):
            main([*argv, 'a.txt'])
        assert capsys.readouterr().err.endswith(f'error: {message} (see --help)\n')

    @pytest.mark.parametrize('format', ['parquet', 'arrow'])
    def test_tables_that_cannot_be_joined_are_explained(self, tmp_path, capsys, format):
        pytest.importorskip('pyarrow')
        paths = [write(tmp_path, 'a.txt', statement(document('79228162514264337593543950335'))),
                 write(tmp_path, 'b.txt', statement(document('0.0000000000000000000000000001')))]
        assert main(['-f', format, '-o', str(tmp_path / 'out'), *paths]) == 1
        assert capsys.readouterr().err.startswith(
            f"{tmp_path / 'out'}: the inputs' amounts do not fit one column: with the most "
            'decimals any input has, some amount needs more than 38 digits; convert those '
            'files separately (pyarrow: ')


def guide_section(page: str, title: str) -> str:
    text = (Path(__file__).resolve().parents[2] / 'docs' / page).read_text(encoding='utf-8')
    start = text.index(f'\n## {title}\n')
    return text[start:text.index('\n## ', start + 1)]


class TestHelp:
    def test_formats_and_their_options_as_the_guide_lists_them(self, capsys):
        # The guide's list: "- `name` ...: ... Options: `--a`, `--b N`." one bullet a format.
        section = guide_section('converter.md', 'Formats')
        listed = {}
        for bullet in section.split('\n- `')[1:]:
            name, _, body = bullet.partition('`')
            body = body.split('\n\n')[0]
            options = re.split(r'Options:\s', body, maxsplit=1)[-1] if 'Options:' in body else ''
            listed[name] = tuple(re.findall(r'`(--[a-z-]+)', options))
        # --help's list: "  name     what it writes; options: --a, --b", wrapped.
        with pytest.raises(SystemExit):
            main(['--help'])
        formats = capsys.readouterr().out.partition('formats (-f):\n')[2].partition('\n\n')[0]
        helped = {}
        for row in re.split(r'\n(?=  \S)', formats):
            name, _, text = ' '.join(row.split()).partition(' ')
            options = text.partition('; options: ')[2]
            helped[name] = tuple(options.split(', ')) if options else ()
        assert listed == helped
        assert {'json', 'csv', 'summary', 'parquet', 'arrow'} <= set(helped)
