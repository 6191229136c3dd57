"""Statement files read in one call: read(), read_tables() with its problems and its one amount
scale, duplicates across overlapping statements, --dedupe, and the Dask frames."""

from __future__ import annotations

import codecs
import decimal
import importlib.util
import logging
from pathlib import Path

import pytest
from conftest import SAMPLES, document_lines, statement_of_lines

import corvina_py
from corvina_convert import main, read, read_tables, reading

pyarrow = pytest.importorskip('pyarrow')

# The same payment order as the statements of two overlapping periods list it, the amount
# written with and without its kopecks.
PAYMENT = document_lines('Номер=7', 'Сумма=348000')
SAME_PAYMENT = document_lines('Номер=7', 'Сумма=348000.00')
OTHER_PAYEE = document_lines('Номер=7', 'Сумма=348000', 'ПолучательСчет=40702810000000000009')
LEFT_OUT = document_lines('Сумма=12,50')  # a comma: the document becomes a warning


def write(folder: Path, name: str, data: str | bytes, encoding: str = 'cp1251') -> Path:
    path = folder / name
    path.write_bytes(data.encode(encoding) if isinstance(data, str) else data)
    return path


def amounts(table) -> list[decimal.Decimal]:
    return table.column('amount').to_pylist()


class TestRead:
    # name, bytes of the file: each reads as the Windows-1251 statement does.
    TEXT = statement_of_lines(document_lines())
    DOS = TEXT.replace('ВерсияФормата=1.03\n', 'ВерсияФормата=1.03\nКодировка=DOS\n')

    @pytest.mark.parametrize(('name', 'data'), [
        ('cp1251', TEXT.encode('cp1251')),
        ('utf-8 with a byte-order mark', codecs.BOM_UTF8 + TEXT.encode('utf-8')),
        ('DOS', DOS.encode('cp866')),
        ('DOS, CR LF', DOS.replace('\n', '\r\n').encode('cp866')),
    ])
    def test_file_reads_as_its_text(self, tmp_path, name, data):
        expected = corvina_py.parse(self.TEXT)
        assert read(write(tmp_path, 'a.txt', data)).documents == expected.documents

    def test_dos_pseudographics_survive(self, tmp_path):
        # Box-drawing characters have no Windows-1251 form: a detour through it would fail.
        text = self.DOS.replace('НазначениеПлатежа=Оплата', 'НазначениеПлатежа=╔═╗ Оплата')
        assert text != self.DOS
        statement = read(write(tmp_path, 'dos.txt', text, 'cp866'))
        assert statement.documents[0].purpose == '╔═╗ Оплата'
        assert statement.header['Кодировка'] == 'DOS'

    def test_dos_line_counts_only_in_the_header(self, tmp_path):
        # The line inside a document is that document's key, not the file's encoding.
        text = statement_of_lines(document_lines('Кодировка=DOS', 'Плательщик=Ромашка'))
        statement = read(write(tmp_path, 'a.txt', text, 'cp1251'))
        assert statement.documents[0].counterparty == 'Ромашка'

    def test_byte_order_mark_is_logged(self, tmp_path, caplog):
        path = write(tmp_path, 'a.txt', codecs.BOM_UTF8 + self.TEXT.encode())
        with caplog.at_level(logging.INFO, logger='corvina_convert'):
            read(path)
        assert caplog.messages == [f'{path}: {reading.BOM_NOTE}']

    def test_parse_error_notes_file_and_line(self, tmp_path):
        path = write(tmp_path, 'a.txt', '1CClientBankExchange\nмусор\n')
        with pytest.raises(corvina_py.SyntaxError) as caught:
            read(path)
        assert caught.value.__notes__ == [f'in {path}, line 2']


class TestReadTables:
    def test_inputs_order_and_file_column_as_the_converter(self, tmp_path):
        folder = tmp_path / 'in'
        folder.mkdir()
        write(folder, 'b.TXT', statement_of_lines(document_lines('Номер=2')))
        write(folder, 'a.txt', statement_of_lines(document_lines('Номер=1')))
        first = write(tmp_path, 'z.txt', statement_of_lines(document_lines('Номер=0')))
        tables = read_tables([first, folder])
        assert tables.documents.column('file').to_pylist() == [
            str(first), str(folder / 'a.txt'), str(folder / 'b.TXT')]
        assert tables.documents.column('doc_number').to_pylist() == ['0', '1', '2']
        assert tables.intervals.column_names[0] == 'file'

    def test_every_problem_is_a_row(self, tmp_path):
        files = [
            write(tmp_path, '1.txt', statement_of_lines(PAYMENT, LEFT_OUT)),
            write(tmp_path, '2.txt', '1CClientBankExchange\nмусор\n'),
            tmp_path / 'missing.txt',
            write(tmp_path, '4.txt', codecs.BOM_UTF8 + statement_of_lines(PAYMENT).encode()),
        ]
        tables = read_tables(files)
        rows = [(Path(file).name, line, kind) for file, line, kind in zip(
            *(tables.problems.column(name).to_pylist() for name in ('file', 'line', 'kind')))]
        assert rows == [('1.txt', 33, 'warning'), ('2.txt', 2, 'error'),
                        ('missing.txt', None, 'error'), ('4.txt', None, 'note')]
        assert tables.documents.column('file').to_pylist() == [str(files[0]), str(files[3])]

    # amounts of two files: one column for both, at the scale the widest needs, never rounded.
    @pytest.mark.parametrize(('first', 'second', 'type'), [
        ('1.5', '0.12345', pyarrow.decimal128(38, 5)),
        # 29 digits and 28 places: 57 digits, past what 38 hold.
        ('79228162514264337593543950335', '0.' + '0' * 27 + '1', pyarrow.decimal256(76, 28)),
    ])
    def test_one_scale_for_all_files(self, tmp_path, first, second, type):
        files = [write(tmp_path, f'{index}.txt', statement_of_lines(document_lines(
            f'Сумма={amount}'))) for index, amount in enumerate((first, second))]
        documents = read_tables(files).documents
        assert documents.schema.field('amount').type == type
        assert amounts(documents) == [decimal.Decimal(first), decimal.Decimal(second)]

    def test_statement_past_38_digits_is_an_error_row(self, tmp_path):
        path = write(tmp_path, 'a.txt', statement_of_lines(
            document_lines('Сумма=79228162514264337593543950335'),
            document_lines('Сумма=0.' + '0' * 27 + '1')))
        tables = read_tables(path)
        assert tables.documents.num_rows == 0
        assert tables.problems.column('kind').to_pylist() == ['error']

    def test_nothing_read_gives_empty_tables_of_every_column(self, tmp_path):
        tables = read_tables(tmp_path / 'missing.txt')
        expected = read_tables(write(tmp_path, 'a.txt', statement_of_lines(PAYMENT)))
        assert tables.documents.schema == expected.documents.schema
        assert tables.intervals.schema == expected.intervals.schema
        assert tables.documents.num_rows == tables.intervals.num_rows == 0

    def test_threads_give_the_serial_tables(self, tmp_path):
        files = [write(tmp_path, f'{index:02}.txt', statement_of_lines(
            *(document_lines(f'Номер={index}', f'Сумма={index}.{row}') for row in range(5)),
            LEFT_OUT)) for index in range(12)]
        serial, threaded = read_tables(files, jobs=1), read_tables(files, jobs=4)
        for name in ('documents', 'intervals', 'problems'):
            assert getattr(threaded, name).equals(getattr(serial, name))

    @pytest.mark.parametrize(('call', 'error', 'message'), [
        (lambda folder: read_tables(folder), FileNotFoundError,
         "[Errno 2] no statement files (*.txt) in this folder; --recursive descends into its "
         "subfolders: '{folder}'"),
        (lambda folder: read_tables(['-', '-']), ValueError,
         "standard input ('-') can be given only once"),
        (lambda folder: read_tables([], jobs=0), ValueError, 'jobs must be at least 1, not 0'),
    ])
    def test_refused_calls(self, tmp_path, call, error, message):
        with pytest.raises(error) as caught:
            call(tmp_path)
        assert str(caught.value) == message.format(folder=tmp_path)

    def test_missing_pyarrow_names_the_extra(self, monkeypatch):
        real = importlib.util.find_spec
        monkeypatch.setattr(importlib.util, 'find_spec',
                            lambda name, *rest: None if name == 'pyarrow' else real(name, *rest))
        with pytest.raises(ModuleNotFoundError) as caught:
            read_tables([])
        assert str(caught.value) == reading.MISSING_PYARROW


class TestDedupe:
    def test_first_copy_kept_and_each_later_copy_a_row(self, tmp_path):
        march = write(tmp_path, 'march.txt', statement_of_lines(
            PAYMENT, document_lines('Номер=8')))
        overlap = write(tmp_path, 'overlap.txt', statement_of_lines(
            document_lines('Номер=9'), SAME_PAYMENT, OTHER_PAYEE, PAYMENT))
        tables = read_tables([march, overlap], dedupe=True)
        documents = tables.documents
        assert list(zip(documents.column('file').to_pylist(),
                        documents.column('doc_number').to_pylist(),
                        documents.column('lineno').to_pylist())) == [
            (str(march), '7', 3), (str(march), '8', 19),
            (str(overlap), '9', 3), (str(overlap), '7', 34)]
        assert tables.duplicates_dropped == 2
        assert tables.problems.to_pylist() == [
            {'file': str(overlap), 'line': line, 'kind': 'duplicate',
             'message': f'a copy of the document at {march}:3, which is kept; this copy is '
             'left out'} for line in (18, 51)]

    def test_copies_listed_with_their_input_problems(self, tmp_path):
        path = write(tmp_path, 'a.txt', statement_of_lines(PAYMENT, LEFT_OUT))
        problems = read_tables([path, path], dedupe=True).problems
        assert list(zip(problems.column('line').to_pylist(),
                        problems.column('kind').to_pylist())) == [
            (33, 'warning'), (3, 'duplicate'), (33, 'warning')]

    @pytest.mark.skipif(not SAMPLES.is_dir(), reason='the sample statements are not here')
    def test_samples_read_twice_add_nothing(self):
        once = read_tables(SAMPLES, dedupe=True)
        twice = read_tables([SAMPLES, SAMPLES], dedupe=True)
        assert twice.documents.equals(once.documents)
        all_rows = read_tables(SAMPLES).documents.num_rows
        assert twice.duplicates_dropped == 2 * all_rows - once.documents.num_rows

    # format, jobs: with workers, the CSV pieces come back spilled to files.
    @pytest.mark.parametrize(('format', 'jobs'), [
        ('csv', '1'), ('csv', '2'), ('parquet', '1'), ('arrow', '1')])
    def test_converter_writes_each_document_once(self, tmp_path, capsys, format, jobs):
        files = [write(tmp_path, 'a.txt', statement_of_lines(PAYMENT, document_lines('Номер=8'))),
                 write(tmp_path, 'b.txt', statement_of_lines(SAME_PAYMENT, OTHER_PAYEE))]
        out = tmp_path / f'out.{format}'
        assert main(['-f', format, '--dedupe', '-j', jobs, '-o', str(out),
                     *map(str, files)]) == 0
        if format == 'csv':
            rows = out.read_text().splitlines()[1:]
            numbers = [row.split(',')[0].strip('"') for row in rows]
        else:
            table = (pytest.importorskip('pyarrow.parquet').read_table(out) if format == 'parquet'
                     else pyarrow.ipc.open_file(out).read_all())
            numbers = table.column('doc_number').to_pylist()
        assert numbers == ['7', '8', '7']
        assert capsys.readouterr().err == reading.dropped_message(1) + '\n'


@pytest.mark.skipif(not SAMPLES.is_dir(), reason='the sample statements are not here')
class TestSamples:
    def outcomes(self) -> dict[str, corvina_py.Statement | None]:
        found: dict[str, corvina_py.Statement | None] = {}
        for path in sorted(SAMPLES.glob('*.txt')):
            try:
                found[str(path)] = corvina_py.parse(path.read_bytes())
            except corvina_py.ParseError:
                found[str(path)] = None
        return found

    def test_every_document_a_row_and_every_loss_a_problem(self):
        tables = read_tables(SAMPLES)
        files = tables.documents.column('file').to_pylist()
        problems = tables.problems.column('file').to_pylist()
        for path, statement in self.outcomes().items():
            documents = 0 if statement is None else len(statement.documents)
            lost = 1 if statement is None else len(statement.warnings)
            assert (files.count(path), problems.count(path)) == (documents, lost), path

    def test_byte_order_mark_taken_off(self, tmp_path):
        for path, statement in self.outcomes().items():
            if statement is not None and statement.encoding == 'utf-8':
                copy = write(tmp_path, 'copy.txt', codecs.BOM_UTF8 + Path(path).read_bytes())
                assert read(copy).documents == statement.documents, path


DASK_MISSING = pytest.mark.skipif(importlib.util.find_spec('dask') is None
                                  or importlib.util.find_spec('pandas') is None,
                                  reason='dask[dataframe] and pandas are not installed')


@pytest.mark.dask
@DASK_MISSING
class TestDaskFrames:
    @pytest.fixture
    def folder(self, tmp_path) -> Path:
        write(tmp_path, 'a.txt', statement_of_lines(PAYMENT, LEFT_OUT))
        write(tmp_path, 'b.txt', statement_of_lines(document_lines('Сумма=0.125')))
        return tmp_path

    def test_declared_scale_too_narrow_names_the_file(self, folder):
        from corvina_convert.dask import ScaleError, documents_frame
        with pytest.raises(ScaleError) as caught:
            documents_frame(str(folder)).compute(scheduler='sync')
        assert str(caught.value) == (
            f"{folder / 'b.txt'}: its amounts need 3 decimal places, more than the frame's "
            'scale=2; make the frame with scale=3 or more, or scale=None to find the widest '
            'among the files')

    def test_scale_none_widens_to_the_widest(self, folder, capsys):
        from corvina_convert.dask import documents_frame
        frame = documents_frame(str(folder), scale=None)
        assert capsys.readouterr().err == ''  # the scale is found without a word
        computed = frame.compute(scheduler='sync')
        assert [decimal.Decimal(str(value)) for value in computed['amount']] == [
            decimal.Decimal('348000'), decimal.Decimal('0.125')]
        # The document left out is said on standard error once, not dropped silently.
        [said] = capsys.readouterr().err.splitlines()
        assert said.startswith(f"{folder / 'a.txt'}:33: warning: document left out")

    def test_problems_frame_has_the_warnings(self, folder):
        from corvina_convert.dask import problems_frame
        frame = problems_frame(str(folder)).compute(scheduler='sync')
        assert list(frame.columns) == ['file', 'line', 'kind', 'message']
        assert list(zip(frame['file'], frame['line'], frame['kind'])) == [
            (str(folder / 'a.txt'), 33, 'warning')]

