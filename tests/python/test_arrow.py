"""Statement tables through the Arrow PyCapsule interface, as pyarrow, polars, DuckDB and pandas
consume them."""

from __future__ import annotations

import ctypes
import decimal
import gc
import importlib.util
import os
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import pytest
from conftest import load_generator, many_sections

import corvina_py

pa = pytest.importorskip('pyarrow')

ROOT = Path(__file__).resolve().parents[2]
SAMPLES = Path(os.environ.get('CORVINA_SAMPLES_DIR', ROOT.parent / 'shared' / 'samples'))
DOCUMENT_FIELDS = [name for name, value in vars(corvina_py.Document).items()
                   if isinstance(value, type(corvina_py.Document.amount))]
INTERVAL_FIELDS = [name for name, value in vars(corvina_py.Interval).items()
                   if isinstance(value, type(corvina_py.Interval.date_start))]


ACCOUNT = ['СекцияРасчСчет', 'ДатаНачала=01.03.2024', 'РасчСчет=40702810938000012345',
           'НачальныйОстаток={start}', 'КонецРасчСчет']


def document(amount: str = '100.50', *extra: str) -> list[str]:
    return ['СекцияДокумент=Платежное поручение', 'Номер=17', 'Дата=05.03.2024',
            f'Сумма={amount}', 'НазначениеПлатежа=Оплата', 'ПлательщикИНН=7701234567',
            'ПлательщикБИК=044525225', 'ПлательщикБанк1=ПАО СБЕРБАНК',
            'ПлательщикСчет=40702810938000012345', 'ПолучательИНН=5009876543',
            'ПолучательСчет=40702810100000054321', 'ПолучательБИК=044525593',
            'ПолучательБанк1=АО "АЛЬФА-БАНК"', *extra, 'КонецДокумента']


def statement_text(*documents: list[str], start: str = '1250.15') -> str:
    lines = ['1CClientBankExchange', *[line.format(start=start) for line in ACCOUNT]]
    for one in documents:
        lines += one
    return '\n'.join([*lines, 'КонецФайла']) + '\n'


def statement(*documents: list[str], start: str = '1250.15') -> corvina_py.Statement:
    return corvina_py.parse(statement_text(*documents, start=start))


def column_texts(table, name: str) -> list[str | None]:
    """A column in the attributes' terms: dates as ISO texts, amounts as Decimal."""
    values = table.column(name).to_pylist()
    if pa.types.is_date32(table.schema.field(name).type):
        return [None if v is None else v.isoformat() for v in values]
    return values


def attribute_values(records, name: str) -> list:
    values = [getattr(record, name) for record in records]
    if name == 'extra':  # a map column reads as (key, value) pairs in the document's order
        return [list(v.items()) for v in values]
    if name.endswith('amount') or name in ('total_income', 'total_expense'):
        return [None if v is None else decimal.Decimal(v) for v in values]
    return values


def assert_tables_match(parsed: corvina_py.Statement) -> None:
    documents = pa.table(parsed.documents_table())
    assert documents.column_names == DOCUMENT_FIELDS
    for name in DOCUMENT_FIELDS:
        assert column_texts(documents, name) == attribute_values(parsed.documents, name), name
    intervals = pa.table(parsed.intervals_table())
    assert intervals.column_names == ['account', *INTERVAL_FIELDS]
    rows = [(number, interval) for number, account in parsed.accounts.items()
            for interval in account.intervals]
    assert intervals.column('account').to_pylist() == [number for number, _ in rows]
    for name in INTERVAL_FIELDS:
        assert column_texts(intervals, name) == \
            attribute_values([interval for _, interval in rows], name), name


def sample_names() -> list[str]:
    return sorted(path.name for path in SAMPLES.glob('*.txt')) if SAMPLES.is_dir() else []


class TestValues:
    @pytest.mark.skipif(not sample_names(), reason='sample statements not available')
    @pytest.mark.parametrize('name', sample_names())
    def test_samples(self, name):
        try:
            parsed = corvina_py.parse((SAMPLES / name).read_bytes())
        except corvina_py.ParseError:
            pytest.skip('not a statement the parser accepts')
        assert_tables_match(parsed)

    @pytest.mark.parametrize('encoding', ['cp1251', 'utf-8'])
    def test_generated(self, encoding):
        text = load_generator().generate(300_000, 7, encoding)
        parsed = corvina_py.parse(text.encode(encoding))
        assert len(parsed.documents) > 100
        assert_tables_match(parsed)

    def test_absent_and_empty_texts_and_dates(self):
        parsed = statement(document('1', 'Плательщик1=', 'ДатаСписано='),
                           document('2', 'ПлательщикКПП=123', 'ДатаСписано=06.03.2024'))
        table = pa.table(parsed.documents_table())
        assert table.column('counterparty_1').to_pylist() == ['', None]
        assert table.column('counterparty_kpp').to_pylist() == [None, '123']
        assert column_texts(table, 'outcome_date') == [None, '2024-03-06']
        assert table.column('counterparty_1').null_count == 1
        assert not table.schema.field('doc_number').nullable
        assert table.schema.field('counterparty_1').nullable

    def test_list_order_and_changes_are_followed(self):
        parsed = statement(document('1'), document('2'), document('3'))
        parsed.documents.reverse()
        del parsed.documents[0]
        table = pa.table(parsed.documents_table())
        assert [str(v) for v in table.column('amount').to_pylist()] == ['2.00', '1.00']

    def test_empty_statement(self):
        parsed = statement()
        documents = pa.table(parsed.documents_table())
        assert (documents.num_rows, documents.column_names) == (0, DOCUMENT_FIELDS)
        assert documents.schema.field('amount').type == pa.decimal128(38, 2)
        parsed.accounts.clear()
        intervals = pa.table(parsed.intervals_table())
        assert (intervals.num_rows, intervals.num_columns) == (0, 7)


class TestScale:
    # amounts in the column -> its type's scale
    CASES = [
        (['700', '1.5'], 2),
        (['0.001', '5'], 3),
        (['-12.3456789'], 7),
        (['79228162514264337593543950335', '0.123456789'], 9),
    ]

    @pytest.mark.parametrize(('amounts', 'scale'), CASES)
    def test_largest_scale_but_at_least_two(self, amounts, scale):
        parsed = statement(*(document(amount) for amount in amounts), start=amounts[-1])
        table = pa.table(parsed.documents_table())
        assert table.schema.field('amount').type == pa.decimal128(38, scale)
        assert table.column('amount').to_pylist() == [decimal.Decimal(a) for a in amounts]
        intervals = pa.table(parsed.intervals_table())
        assert intervals.schema.field('start_amount').type == \
            pa.decimal128(38, max(2, -decimal.Decimal(amounts[-1]).as_tuple().exponent))


class TestErrors:
    BIG = '79228162514264337593543950335'  # 29 digits: 38 at scale 9, 39 at scale 10

    def test_amount_beyond_38_digits(self):
        parsed = statement(document('1'), document(self.BIG), document('0.0000000001'))
        with pytest.raises(ValueError) as caught:
            parsed.documents_table()
        assert str(caught.value) == \
            f"column 'amount', row 1: {self.BIG} at scale 10: more than 38 digits"

    def test_interval_amount_beyond_38_digits(self):
        sections = [*ACCOUNT, *ACCOUNT]
        sections[1] = 'ДатаНачала=02.03.2024'  # sorted after the second section's 01.03
        parsed = corvina_py.parse('\n'.join(['1CClientBankExchange', *sections, 'КонецФайла'])
                                  .format(start=self.BIG).replace(self.BIG, '-0.0000000001', 1)
                                  + '\n')
        with pytest.raises(ValueError) as caught:
            parsed.intervals_table()
        assert str(caught.value) == \
            f"column 'start_amount', row 0: {self.BIG} at scale 10: more than 38 digits"

    def test_foreign_items(self):
        parsed = statement(document())
        parsed.documents.append(5)
        with pytest.raises(TypeError) as caught:
            parsed.documents_table()
        assert str(caught.value) == 'documents[1] is int, not Document'
        parsed.accounts['x'] = parsed.documents[0]
        with pytest.raises(TypeError) as caught:
            parsed.intervals_table()
        assert str(caught.value) == "accounts['x'] is Document, not Account"


USABLE_CORES = len(os.sched_getaffinity(0)) if hasattr(os, 'sched_getaffinity') \
    else os.cpu_count() or 1


def set_threads(monkeypatch, threads: str | None) -> None:
    """Tables (and parses) of any size on `threads` threads; None leaves the count to the cores."""
    monkeypatch.setenv('CORVINA_CHUNK_THRESHOLD', '1')
    if threads is None:
        monkeypatch.delenv('CORVINA_THREADS', raising=False)
    else:
        monkeypatch.setenv('CORVINA_THREADS', threads)


def table_outcome(make_table):
    """The tables a call gives as pyarrow tables, or the text of its ValueError."""
    try:
        return pa.table(make_table())
    except ValueError as error:
        return str(error)


class TestThreads:
    """Tables built on several threads hold what the one-thread tables hold, and each thread's
    rows are a batch of their own."""
    TEXT = many_sections(400)
    # A late document of a larger scale: the first thread's batch must use it too.
    LATE_SCALE = TEXT.replace('Сумма=398.98', 'Сумма=398.9801')
    # That scale makes an early amount too wide: the same failure on any thread count.
    TOO_WIDE = LATE_SCALE.replace('Сумма=398.9801', 'Сумма=0.0000000001') \
        .replace('Сумма=3.03', 'Сумма=79228162514264337593543950335')
    CASES = [('clean', TEXT), ('late scale', LATE_SCALE), ('too wide', TOO_WIDE)]

    @pytest.mark.parametrize('threads', [None, '2', '16'])
    @pytest.mark.parametrize('encoding', ['utf-8', 'cp1251'])
    @pytest.mark.parametrize(('name', 'text'), CASES, ids=[name for name, _ in CASES])
    def test_same_as_one_thread(self, monkeypatch, name, text, encoding, threads):
        data = text.encode(encoding)
        set_threads(monkeypatch, '1')
        parsed = corvina_py.parse(data)
        expected = [table_outcome(parsed.documents_table), table_outcome(parsed.intervals_table)]
        set_threads(monkeypatch, threads)
        parsed = corvina_py.parse(data)
        got = [table_outcome(parsed.documents_table), table_outcome(parsed.intervals_table)]
        for one, on_threads in zip(expected, got):
            if isinstance(one, str):
                assert on_threads == one
            else:
                assert on_threads.schema == one.schema
                assert on_threads.equals(one)

    @pytest.mark.parametrize('threads', ['1', '2', '16'])
    def test_a_batch_per_thread(self, monkeypatch, threads):
        set_threads(monkeypatch, threads)
        parsed = corvina_py.parse(self.LATE_SCALE)
        batches = pa.table(parsed.documents_table()).to_batches()
        parts = min(int(threads), USABLE_CORES)
        rows = len(parsed.documents)
        assert [len(batch) for batch in batches] == \
            [rows * (i + 1) // parts - rows * i // parts for i in range(parts)]
        assert all(batch.schema.field('amount').type == pa.decimal128(38, 4) for batch in batches)
        assert batches[0].column('amount')[0].as_py() == decimal.Decimal('1.01')

    def test_tables_while_other_threads_read_documents(self):
        # Until someone reads a statement's documents, its table is built from the parse's own
        # list without the lock, while other threads may make and drop the objects of the same
        # documents: both must see them as parsed.
        text = many_sections(3000)
        expected = pa.table(corvina_py.parse(text).documents_table())
        amounts = [str(v) for v in expected.column('amount').to_pylist()]
        for _ in range(5):
            parsed = corvina_py.parse(text)
            calls = [lambda: pa.table(parsed.documents_table()),
                     lambda: [d.amount for d in parsed.documents]] * 4
            with ThreadPoolExecutor(4) as pool:
                results = list(pool.map(lambda call: call(), calls))
            assert all(table.equals(expected) for table in results[::2])
            assert all(read == amounts for read in results[1::2])

    def test_small_statements_stay_on_one_thread(self, monkeypatch):
        monkeypatch.delenv('CORVINA_CHUNK_THRESHOLD', raising=False)
        monkeypatch.setenv('CORVINA_THREADS', '2')
        parsed = corvina_py.parse(self.TEXT)
        assert len(pa.table(parsed.documents_table()).column('amount').chunks) == 1


def capsule_is(capsule, name: bytes) -> bool:
    is_valid = ctypes.pythonapi.PyCapsule_IsValid
    is_valid.argtypes = [ctypes.py_object, ctypes.c_char_p]
    return bool(is_valid(capsule, name))


class TestCapsules:
    def test_names_and_requested_schema(self):
        table = statement(document()).documents_table()
        assert capsule_is(table.__arrow_c_schema__(), b'arrow_schema')
        assert capsule_is(table.__arrow_c_stream__(), b'arrow_array_stream')
        requested = pa.schema([('doc_number', pa.string())]).__arrow_c_schema__()
        assert capsule_is(table.__arrow_c_stream__(requested), b'arrow_array_stream')
        assert capsule_is(table.__arrow_c_stream__(requested_schema=None), b'arrow_array_stream')
        with pytest.raises(TypeError):
            table.__arrow_c_stream__(None, None)
        assert pa.schema(table).names == DOCUMENT_FIELDS

    def test_data_outlives_statement_and_table(self):
        parsed = statement(document('1', 'Получатель=' + 'ж' * 5000), document('2'))
        expected = [d.payee for d in parsed.documents]
        table = parsed.documents_table()
        del parsed
        gc.collect()
        stream = table.__arrow_c_stream__()
        del table
        gc.collect()
        imported = pa.RecordBatchReader._import_from_c_capsule(stream).read_all()
        del stream
        gc.collect()
        assert imported.column('payee').to_pylist() == expected

    # AddressSanitizer keeps freed memory in quarantine, so the resident size grows there anyway.
    @pytest.mark.skipif('asan' in os.environ.get('LD_PRELOAD', ''),
                        reason='resident size is not a leak measure under AddressSanitizer')
    def test_no_leak_over_many_exports(self):
        parsed = statement(*(document(str(i), 'Получатель=' + 'ж' * 4000) for i in range(8)))
        table = parsed.documents_table()

        def export():
            pa.table(parsed.documents_table())
            table.__arrow_c_stream__()  # never consumed: the capsule releases it
            table.__arrow_c_schema__()

        def resident() -> int:
            with open('/proc/self/statm') as statm:
                return int(statm.read().split()[1]) * os.sysconf('SC_PAGE_SIZE')

        for _ in range(200):
            export()
        gc.collect()
        before = resident()
        for _ in range(2000):  # a leaked table would cost over 64 KiB each time
            export()
        gc.collect()
        assert resident() - before < 16 << 20


class TestConsumers:
    def test_polars(self):
        polars = pytest.importorskip('polars')
        frame = polars.DataFrame(statement(document('1.5'), document('2')).documents_table())
        assert frame['amount'].to_list() == [decimal.Decimal('1.50'), decimal.Decimal('2.00')]
        assert frame.columns == DOCUMENT_FIELDS

    def test_duckdb(self):
        duckdb = pytest.importorskip('duckdb')
        documents = statement(document('1.5'), document('2')).documents_table()  # noqa: F841
        assert duckdb.sql('select sum(amount), count(*) from documents').fetchall() == \
            [(decimal.Decimal('3.50'), 2)]

    def test_pandas(self):
        pandas = pytest.importorskip('pandas')
        frame = pa.table(statement(document('1.5')).documents_table()).to_pandas(
            types_mapper=pandas.ArrowDtype)
        assert frame['amount'].iloc[0] == decimal.Decimal('1.50')
        assert frame['payee'].isna().iloc[0]


class TestConvert:
    @pytest.fixture
    def files(self, tmp_path):
        first = tmp_path / 'a.txt'
        first.write_text(statement_text(document('1.5'), document('2')), encoding='utf-8')
        second = tmp_path / 'b.txt'
        second.write_bytes(statement_text(document('0.125')).encode('cp1251'))
        return [str(first), str(second)]

    @pytest.mark.parametrize('format', ['parquet', 'arrow'])
    def test_files_become_one_table(self, tmp_path, files, format):
        from corvina_convert import main
        out, intervals = tmp_path / 'out', tmp_path / 'intervals'
        assert main(['-f', format, '-o', str(out), '--intervals', str(intervals),
                     '--file-column', *files]) == 0
        if format == 'parquet':
            import pyarrow.parquet
            table = pyarrow.parquet.read_table(out)
            intervals_table = pyarrow.parquet.read_table(intervals)
        else:
            table = pa.ipc.open_file(out).read_all()
            intervals_table = pa.ipc.open_file(intervals).read_all()
        assert table.column_names == ['file', *DOCUMENT_FIELDS]
        assert table.column('file').to_pylist() == [files[0], files[0], files[1]]
        # The scale of the widest statement, values unchanged.
        assert table.schema.field('amount').type == pa.decimal128(38, 3)
        assert [str(v) for v in table.column('amount').to_pylist()] == ['1.500', '2.000', '0.125']
        assert intervals_table.column_names == ['file', 'account', *INTERVAL_FIELDS]
        assert intervals_table.num_rows == 2

    @pytest.mark.parametrize('format', ['parquet', 'arrow'])
    def test_same_bytes_on_any_threads(self, tmp_path, monkeypatch, format):
        from corvina_convert import main
        files = []
        for name, encoding in (('a.txt', 'utf-8'), ('b.txt', 'cp1251')):
            (tmp_path / name).write_bytes(many_sections(300).encode(encoding))
            files.append(str(tmp_path / name))
        written = []
        for threads in ('1', '2'):
            set_threads(monkeypatch, threads)
            out, intervals = tmp_path / f'out{threads}', tmp_path / f'intervals{threads}'
            assert main(['-f', format, '-o', str(out), '--intervals', str(intervals),
                         '--file-column', *files]) == 0
            written.append((out.read_bytes(), intervals.read_bytes()))
        assert written[0] == written[1]

    def test_output_file_required(self, files, capsys):
        from corvina_convert import main
        with pytest.raises(SystemExit) as caught:
            main(['-f', 'parquet', *files])
        assert caught.value.code == 2
        assert '--format parquet writes a file: give it with -o OUT' in capsys.readouterr().err

    def test_missing_pyarrow_names_the_extra(self, tmp_path, files, capsys, monkeypatch):
        from corvina_convert import main, tables
        monkeypatch.setattr(tables, 'have_pyarrow', lambda: False)
        with pytest.raises(SystemExit):
            main(['-f', 'arrow', '-o', str(tmp_path / 'out'), *files])
        assert ("--format arrow needs pyarrow, which is not installed; install it with "
                "`pip install 'corvina_py[arrow]'`") in capsys.readouterr().err


class TestDaskFrame:
    def test_folder_as_one_frame(self, tmp_path, capsys):
        pytest.importorskip('dask.dataframe')
        spec = importlib.util.spec_from_file_location('parallel_folder',
                                                      ROOT / 'examples' / 'parallel_folder.py')
        example = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(example)
        (tmp_path / 'a.txt').write_text(statement_text(document('1.5'), document('2')),
                                        encoding='utf-8')
        (tmp_path / 'b.txt').write_bytes(statement_text(document('0.25')).encode('cp1251'))
        (tmp_path / 'c.txt').write_text('1CClientBankExchange\nмусор\n', encoding='utf-8')
        frame = example.documents_frame(str(tmp_path))
        assert frame.npartitions == 3
        computed = frame.compute(scheduler='sync')
        assert list(computed.columns) == ['file', *DOCUMENT_FIELDS]
        assert [str(v) for v in computed['amount']] == ['1.50', '2.00', '0.25']
        assert list(computed['file']) == [str(tmp_path / 'a.txt')] * 2 + [str(tmp_path / 'b.txt')]
        assert capsys.readouterr().err == f"{tmp_path / 'c.txt'}:2: Unrecognized line: 'мусор'\n"
