"""Statement files read in one call: a file as a Statement, and files, folders and patterns as
three Arrow tables (documents, intervals and every problem met), with the same document seen in
overlapping statements kept once when asked.

The module reads Windows-1251 and UTF-8 text and refuses anything else, byte-order marks
included, so that what it parses is never a guess. Files reach users otherwise: 1C still writes
DOS statements in code page 866 and says so in their header, and Windows editors put a UTF-8
byte-order mark before the first line. Here the file is known to be a statement file, so both
are read, and the mark that was taken off is said, never silently dropped.
"""

from __future__ import annotations

import codecs
import concurrent.futures
import decimal
import errno
import importlib
import importlib.util
import io
import logging
import os
import re
from collections.abc import Iterable, Sequence
from dataclasses import dataclass, field
from typing import Any

import corvina_py
from corvina_convert import cli, inputs, messages
from corvina_convert.i18n import n_

# A note is not a failure: it goes to the package's logger, which shows nothing unless the
# application asks for it, and to the problems table of read_tables.
log = logging.getLogger('corvina_convert')

MISSING_PYARROW = ("read_tables needs pyarrow, which is not installed; install it with "
                   "`pip install 'corvina_py[arrow]'`")
BOM_NOTE = 'a UTF-8 byte-order mark before the first line was taken off'

# The DOS statement's header line, spelled in code page 866: the same words in Windows-1251 or
# UTF-8 bytes are a statement in that encoding, whatever it says. Only the header is searched,
# up to the first section, so a payment's purpose that quotes the line changes nothing, and a
# file that is not a statement costs a few kilobytes at most.
DOS_LINE = re.compile(rb'^' + re.escape('Кодировка=DOS'.encode('cp866')) + rb'[ \t]*\r?$',
                      re.MULTILINE)
SECTION_START = re.compile(rb'^' + re.escape('Секция'.encode('cp866')), re.MULTILINE)

# The fields that make two documents the same payment, whichever statement lists them: a
# payment order appears in the statements of both its accounts, and in every statement whose
# period covers its date.
DUPLICATE_KEY = ('doc_type', 'doc_number', 'doc_date', 'amount', 'counterparty_account',
                 'payee_account')


def is_dos(data: bytes) -> bool:
    head = data[:messages.HEADER_BYTES]
    section = SECTION_START.search(head)
    return DOS_LINE.search(head, 0, len(head) if section is None else section.start()) \
        is not None


def parser_bytes(data: bytes) -> tuple[bytes, str | None]:
    """The bytes the parser reads, and a note when they are not the file's own."""
    if data.startswith(codecs.BOM_UTF8):
        return data[len(codecs.BOM_UTF8):], BOM_NOTE
    if is_dos(data):
        # Every byte has a meaning in cp866 and every character a UTF-8 form: this never
        # fails, where Windows-1251 has no place for the pseudographics of the DOS page.
        return data.decode('cp866').encode('utf-8'), None
    return data, None


def read(path: str | os.PathLike[str]) -> corvina_py.Statement:
    """The statement in the file: a DOS statement (its header says Кодировка=DOS) read as code
    page 866, a UTF-8 byte-order mark taken off and logged. A ParseError carries a note naming
    the file and the line."""
    with open(path, 'rb') as stream:
        data = stream.read()
    data, note = parser_bytes(data)
    name = os.fspath(path)
    if note is not None:
        log.info('%s: %s', name, note)
    try:
        return corvina_py.parse(data)
    except corvina_py.ParseError as error:
        lineno = getattr(getattr(error, 'detail', None), 'lineno', None)
        error.add_note(f'in {name}' if lineno is None else f'in {name}, line {lineno}')
        raise


@dataclass
class Loaded:
    """One input of read_tables: its tables, or None when it gave none, and its problems."""

    name: str
    documents: Any = None
    intervals: Any = None
    problems: list[tuple[str, int | None, str, str]] = field(default_factory=list)

    def problem(self, lineno: int | None, kind: str, message: str) -> None:
        self.problems.append((self.name, lineno, kind, message))


def load(path: str, tables: bool = True) -> Loaded:
    """Reads, parses and tabulates one input. It runs on a worker thread: the parse and the
    tables are built with the interpreter lock released, and nothing here is shared."""
    loaded = Loaded(cli.STDIN_NAME if path == inputs.STDIN
                    else cli.readable_name(path))
    try:
        data = inputs.read_bytes(path)
    except OSError as error:
        loaded.problem(None, 'error', messages.os_error(error))
        return loaded
    data, note = parser_bytes(data)
    if note is not None:
        loaded.problem(None, 'note', note)
    statement = cli.parse_or_refuse(loaded.name, data)
    if isinstance(statement, cli.Outcome):
        loaded.problem(statement.error_line, 'error', statement.error or '')
        return loaded
    for lineno, message in statement.warnings:
        loaded.problem(lineno, 'warning', messages.dropped_document(message))
    if tables:
        pyarrow = pyarrow_module()
        try:
            loaded.documents = pyarrow.table(statement.documents_table())
            loaded.intervals = pyarrow.table(statement.intervals_table())
        except ValueError as error:
            loaded.documents = loaded.intervals = None
            loaded.problem(None, 'error', f'{error}; none of its documents or intervals are '
                           'in the tables')
    return loaded


def pyarrow_module() -> Any:
    if importlib.util.find_spec('pyarrow') is None:
        raise ModuleNotFoundError(MISSING_PYARROW, name='pyarrow')
    importlib.import_module('pyarrow.compute')  # a submodule the package does not load
    return importlib.import_module('pyarrow')


@dataclass(frozen=True)
class Tables:
    """What read_tables found: pyarrow Tables of the documents and of the accounts' intervals,
    each led by the `file` it came from, and one row per problem (file, line, kind, message)."""

    documents: Any
    intervals: Any
    problems: Any
    duplicates_dropped: int = 0


def read_tables(paths: str | os.PathLike[str] | Iterable[str | os.PathLike[str]], *,
                recursive: bool = False, jobs: int | None = None,
                dedupe: bool = False) -> Tables:
    """Every statement that the paths name (files, folders and patterns, expanded and ordered
    as corvina-convert does) in three tables. Each amount column has one scale for all files,
    the widest any of them needs, at 38 digits or, when some amount needs more there, at 76;
    no value is rounded. A file that cannot be read or parsed, every document left out, and
    every note is a row of `problems`; its `kind` is "error", "warning", "note" or, with
    dedupe, "duplicate". `jobs` files are read at once on threads (None: one per core)."""
    pyarrow = pyarrow_module()
    from corvina_convert import tables  # needs pyarrow, now known to be there
    if isinstance(paths, (str, os.PathLike)):
        paths = [paths]
    try:
        files = list(inputs.expand([os.fspath(path) for path in paths], recursive))
    except inputs.NoMatch as error:
        raise FileNotFoundError(errno.ENOENT, error.message, error.name) from None
    if files.count(inputs.STDIN) > 1:
        raise ValueError("standard input ('-') can be given only once")
    if jobs is None:
        jobs = os.process_cpu_count() or 1
    elif jobs < 1:
        raise ValueError(f'jobs must be at least 1, not {jobs}')
    workers = min(jobs, len(files))
    if workers <= 1:
        loaded = list(map(load, files))
    else:
        with concurrent.futures.ThreadPoolExecutor(max_workers=workers) as pool:
            loaded = list(pool.map(load, files))

    joined = []
    for kind in ('documents', 'intervals'):
        named = [(item.name, getattr(item, kind)) for item in loaded
                 if getattr(item, kind) is not None]
        if not named:
            empty = corvina_py.parse(NO_DOCUMENTS)
            named = [('', pyarrow.table(getattr(empty, f'{kind}_table')()).slice(0, 0))]
        joined.append(tables.join_tables(named, file_column=True, beyond_38_digits=True))
    documents, intervals = joined
    problems = problems_table([row for item in loaded for row in item.problems],
                              documents.schema.field('lineno').type)
    if not dedupe:
        return Tables(documents, intervals, problems)
    documents, duplicates, rows = drop_duplicates(documents)
    # Each copy's row goes among the other problems of its input, in line order: the input by
    # its place in the list, since two inputs may have one name.
    int64 = pyarrow.int64()
    sources = pyarrow.chunked_array(
        [pyarrow.repeat(pyarrow.scalar(index, int64), item.documents.num_rows)
         for index, item in enumerate(loaded) if item.documents is not None], int64)
    problems = problems.append_column('input', pyarrow.array(
        [index for index, item in enumerate(loaded) for _ in item.problems], int64))
    both = pyarrow.concat_tables([problems, duplicates.append_column('input', sources.take(rows))])
    # Line 0 puts a problem of the whole file first, before any line (and asks nothing of
    # pyarrow's way of placing nulls, which its versions spell differently).
    keys = pyarrow.table({'input': both.column('input'),
                          'line': pyarrow.compute.fill_null(both.column('line'), 0)})
    order = pyarrow.compute.sort_indices(keys, sort_keys=[('input', 'ascending'),
                                                          ('line', 'ascending')])
    problems = both.take(order).drop_columns(['input'])
    return Tables(documents, intervals, problems, duplicates.num_rows)


# A statement without documents or intervals: its tables have the columns and types of every
# statement's, and stand in when no input gave any.
NO_DOCUMENTS = ('1CClientBankExchange\nСекцияРасчСчет\nДатаНачала=01.01.2024\nРасчСчет=0\n'
                'НачальныйОстаток=0\nКонецРасчСчет\nКонецФайла\n')


def problems_table(rows: Sequence[tuple[str, int | None, str, str]], line_type: Any) -> Any:
    pyarrow = pyarrow_module()
    columns = list(zip(*rows)) or [(), (), (), ()]
    types = (pyarrow.string(), line_type, pyarrow.string(), pyarrow.string())
    return pyarrow.table([pyarrow.array(values, type) for values, type in zip(columns, types)],
                         names=['file', 'line', 'kind', 'message'])


def drop_duplicates(documents: Any) -> tuple[Any, Any, Any]:
    """The documents without the later copies of each, a problems row per copy left out, and
    the copies' rows in the table given.

    The amounts of a joined table share one scale, so comparing the column compares values:
    348000 and 348000.00 are the same amount.
    """
    pyarrow = pyarrow_module()
    compute = pyarrow.compute
    rows = compute.subtract(compute.cumulative_sum(
        pyarrow.repeat(pyarrow.scalar(1, pyarrow.int64()), documents.num_rows)), 1)
    keyed = documents.select(DUPLICATE_KEY).append_column('row', rows)
    groups = keyed.group_by(list(DUPLICATE_KEY)).aggregate([('row', 'min'), ('row', 'list')])
    copies = groups.column('row_list').combine_chunks()
    repeated = compute.greater(compute.list_value_length(copies), 1)
    copies = copies.filter(repeated)
    # The first row of a group by its number, not by its place in the list, which grouping on
    # several threads does not keep in table order.
    of_copies = compute.list_flatten(copies)
    first = groups.column('row_min').combine_chunks().filter(repeated).take(
        compute.list_parent_indices(copies))
    later = compute.not_equal(of_copies, first)
    dropped, kept = of_copies.filter(later), first.filter(later)
    order = compute.sort_indices(dropped)
    dropped, kept = dropped.take(order), kept.take(order)
    files, lines = documents.column('file'), documents.column('lineno')
    message = compute.binary_join_element_wise(
        'a copy of the document at ', files.take(kept), ':',
        compute.cast(lines.take(kept), pyarrow.string()), ', which is kept; this copy is left out',
        '')
    duplicates = pyarrow.table([files.take(dropped), lines.take(dropped),
                                pyarrow.repeat(pyarrow.scalar('duplicate'), len(dropped)),
                                message], names=['file', 'line', 'kind', 'message'])
    keep = compute.invert(compute.is_in(rows, value_set=dropped))
    return documents.filter(keep), duplicates, dropped


class SeenRows:
    """The converter's CSV pieces with every later copy of a document left out, across all
    inputs; the amount is compared by value, as the tables compare it."""

    def __init__(self, columns: Sequence[str | None], delimiter: str) -> None:
        self.places = [columns.index(name) for name in DUPLICATE_KEY]
        self.amount = DUPLICATE_KEY.index('amount')
        self.delimiter = delimiter
        self.seen: set[tuple[object, ...]] = set()
        self.dropped = 0

    def filter(self, data: bytes) -> bytes:
        # The piece opens with the row of its extra keys, which passes as it is.
        first_line = data.index(b'\n') + 1
        out = io.StringIO(newline='')
        writer = cli.csv_writer(out, self.delimiter)
        for row in cli.read_csv_rows(data[first_line:], self.delimiter):
            key: list[object] = [row[place] for place in self.places]
            key[self.amount] = decimal.Decimal(str(key[self.amount]))
            found = tuple(key)
            if found in self.seen:
                self.dropped += 1
                continue
            self.seen.add(found)
            writer.writerow(row)
        return data[:first_line] + out.getvalue().encode()


def dropped_message(count: int) -> str:
    return 'corvina-convert: ' + n_(
        '--dedupe left out {n} copy of documents already written (the first of each is kept)',
        '--dedupe left out {n} copies of documents already written (the first of each is kept)',
        count).format(n=count)

