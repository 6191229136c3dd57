"""The corvina-convert command line: statements to JSON, CSV, a short summary, Parquet, Arrow
or back to the exchange format.

    corvina-convert [-f FORMAT] [-o OUT] [options] FILE|FOLDER|PATTERN... | -

Amounts stay the exact decimal texts the parser produced: no value ever passes through a
float, and the summary adds amounts with decimal.Decimal in a context that cannot round.
"""

from __future__ import annotations

import argparse
import codecs
import collections
import concurrent.futures
import contextlib
import csv
import decimal
import errno
import functools
import io
import itertools
import json
import operator
import os
import re
import shutil
import stat
import sys
import tempfile
import textwrap
import types
from collections.abc import Callable, Generator, Iterable, Iterator, Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any, BinaryIO, NoReturn, TextIO

import corvina_py
from corvina_convert import culprits, i18n, inputs, messages, progress
from corvina_convert.exchange import dropped_lines, dropped_message, dumps
from corvina_convert import reading
from corvina_convert.i18n import _, n_


def _attributes(cls: type) -> tuple[str, ...]:
    """The properties of a result class, in the order the class declares them."""
    return tuple(name for name, value in vars(cls).items()
                 if isinstance(value, types.GetSetDescriptorType))


# The column orders: the module's own, so a field added to the parser appears here too. A
# document's attributes end in `lineno` and `extra` (its keys that name no field, a dict).
DOCUMENT_FIELDS = _attributes(corvina_py.Document)
# In CSV, `extra` becomes one column per key, after the others.
CSV_DOCUMENT_FIELDS = tuple(name for name in DOCUMENT_FIELDS if name != 'extra')
INTERVAL_FIELDS = _attributes(corvina_py.Interval)
STDIN = inputs.STDIN
STDIN_NAME = '<stdin>'


def statement_to_dict(statement: corvina_py.Statement) -> dict[str, Any]:
    """The statement as plain dicts, lists and texts: picklable and ready for json.dumps.

    Absent optional fields stay None, so an empty text and a missing key remain different.
    """
    return {
        'encoding': statement.encoding,
        'header': dict(statement.header),
        'accounts': {
            number: [{name: getattr(interval, name) for name in INTERVAL_FIELDS}
                     for interval in account.intervals]
            for number, account in statement.accounts.items()
        },
        'documents': [{name: getattr(document, name) for name in DOCUMENT_FIELDS}
                      for document in statement.documents],
        'warnings': [{'lineno': lineno, 'message': message}
                     for lineno, message in statement.warnings],
    }


@dataclass
class Outcome:
    """What became of one input: its formatted output, or the one error that stopped it.

    `pieces` holds one finished piece per output file (the bytes to append to it), or None
    when the input was not converted. A worker process writes its pieces to files and sends
    back their names (Spilled), so the parent only copies files into its outputs: a parsed
    statement is costly to pickle, and even its bytes cost the parent more to read through
    the pool's pipe than a file costs to copy.
    """

    name: str
    pieces: tuple[bytes | Spilled, ...] | None = None
    warnings: list[tuple[int, str]] = field(default_factory=list)
    error_line: int | None = None
    error: str | None = None
    # Per warning, the key and value of the document that it is about, when they were found.
    culprits: list[tuple[str, str] | None] = field(default_factory=list)


@dataclass(frozen=True)
class Spilled:
    """A piece that a worker wrote to a file of the run's private folder."""

    path: str


def spill(outcome: Outcome, folder: str) -> Outcome:
    """The outcome with its pieces written to new files in the folder, which the parent then
    copies and removes (and removes with the folder, whatever stops the run)."""
    if outcome.pieces is None:
        return outcome
    spilled: list[bytes | Spilled] = []
    for piece in outcome.pieces:
        if isinstance(piece, Spilled) or not piece:
            spilled.append(piece)
            continue
        try:
            descriptor, path = tempfile.mkstemp(dir=folder)
        except OSError:
            spilled.append(piece)  # no room there: the bytes go back through the pool
            continue
        try:
            with open(descriptor, 'wb') as stream:
                stream.write(piece)
        except OSError:
            os.unlink(path)
            spilled.append(piece)
            continue
        spilled.append(Spilled(path))
    return Outcome(outcome.name, tuple(spilled), outcome.warnings, culprits=outcome.culprits)


def convert_and_spill(path: str, format: Formatter, folder: str,
                      encoding: str | None = None) -> Outcome:
    """What a worker process runs for one file."""
    return spill(convert_file(path, format, encoding), folder)


class Unconvertible(Exception):
    """A parsed statement that the chosen format cannot hold; the input fails with this text."""


# Turns one parsed statement, with its input's name, into the pieces of an Outcome. It runs in
# the worker processes, so it must be picklable: a module-level function or a partial of one.
Formatter = Callable[[str, corvina_py.Statement], tuple[bytes, ...]]


def readable_name(path: str) -> str:
    """The file name as text that any UTF-8 output can hold.

    Linux allows any bytes in a name, and Python keeps those that are not UTF-8 as lone
    surrogates, which no UTF-8 writer accepts; they become backslash escapes (b'\\xff' is
    written as the four characters \\xff), so the name stays readable and its bytes known.
    """
    return os.fsencode(path).decode('utf-8', 'backslashreplace')


# Line breaks (splitlines() breaks on all of these) and the other control characters.
CONTROL_CHARACTERS = re.compile('[\x00-\x1f\x7f-\x9f\u2028\u2029]')


def one_line(text: str) -> str:
    """The text with control characters escaped, so that a file name or a line quoted from a
    statement can neither split a `file:line: message` line nor drive the terminal."""
    return CONTROL_CHARACTERS.sub(
        lambda match: match.group().encode('unicode_escape').decode('ascii'), text)


def parse_or_refuse(name: str, data: bytes) -> corvina_py.Statement | Outcome:
    """The parsed statement, or the Outcome that reports why the file was refused."""
    try:
        return corvina_py.parse(data)
    except corvina_py.ParseError as error:
        # Only the module's SyntaxError carries a detail, and it may lack one if attaching it
        # failed; the other parse errors are about the file as a whole and have no line.
        detail = getattr(error, 'detail', None)
        return Outcome(name, error_line=getattr(detail, 'lineno', None),
                       error=messages.parse_error(error, data))


def transcode(name: str, data: bytes, encoding: str) -> bytes | Outcome:
    """The input in Windows-1251, which the parser reads, from a code page it does not (DOS
    statements come in cp866). Line breaks and ASCII stay as they are, byte for byte."""
    try:
        return data.decode(encoding).encode('cp1251')
    except UnicodeError as error:
        lineno, message = messages.transcoding_error(error, data, encoding)
        return Outcome(name, error_line=lineno, error=message)


def convert_data(name: str, data: bytes, format: Formatter, encoding: str | None = None) -> Outcome:
    if encoding is not None:
        transcoded = transcode(name, data, encoding)
        if isinstance(transcoded, Outcome):
            return transcoded
        data = transcoded
    statement = parse_or_refuse(name, data)
    if isinstance(statement, Outcome):
        return statement
    try:
        pieces = format(name, statement)
    except Unconvertible as error:
        return Outcome(name, error=str(error))
    found: list[tuple[str, str] | None] = []
    if statement.warnings:
        # Found here, where the input's bytes still are: the parent only gets the outcome.
        found = list(culprits.document_culprits(data, statement.warnings, statement.encoding))
    return Outcome(name, pieces, statement.warnings, culprits=found)


def convert_file(path: str, format: Formatter, encoding: str | None = None) -> Outcome:
    """Reads and converts one file; runs in a worker process, so it returns plain data only."""
    name = readable_name(path)
    try:
        with open(path, 'rb') as stream:
            data = stream.read()
    except OSError as error:
        return Outcome(name, error=messages.os_error(error))
    return convert_data(name, data, format, encoding)


def convert_all(paths: Sequence[str], jobs: int, format: Formatter,
                encoding: str | None = None) -> Iterator[Outcome]:
    """Yields one outcome per path, in the order given, whatever order the workers finish in.

    At most two files per worker are in flight: submitting every file at once would let the
    finished outcomes pile up behind a slow one, and memory grow with the number of files.
    """
    def convert_here(path: str) -> Outcome:
        if path != STDIN:
            return convert_file(path, format, encoding)
        try:
            data = sys.stdin.buffer.read()
        except OSError as error:
            return Outcome(STDIN_NAME, error=messages.os_error(error))
        return convert_data(STDIN_NAME, data, format, encoding)

    files = sum(path != STDIN for path in paths)
    if jobs <= 1 or files <= 1:
        yield from map(convert_here, paths)
        return
    workers = min(jobs, files)
    with contextlib.ExitStack() as stack:
        # Removed last, after the pool has stopped: no worker writes into it any more.
        try:
            folder = stack.enter_context(tempfile.TemporaryDirectory(
                prefix='corvina-convert-', ignore_cleanup_errors=True))
            convert: Callable[[str], Outcome] = functools.partial(
                convert_and_spill, format=format, folder=folder, encoding=encoding)
        except OSError:  # no temporary directory to write to: the bytes come back by the pool
            convert = functools.partial(convert_file, format=format, encoding=encoding)
        # Workers started afresh (spawn, forkserver) do not inherit the language chosen here.
        pool = stack.enter_context(concurrent.futures.ProcessPoolExecutor(
            max_workers=workers, initializer=i18n.use, initargs=(i18n.chosen(),)))
        yield from convert_in(pool, workers, paths, convert_here, convert)


def convert_in(pool: concurrent.futures.Executor, workers: int, paths: Sequence[str],
               convert_here: Callable[[str], Outcome],
               convert: Callable[[str], Outcome]) -> Iterator[Outcome]:
    """The outcomes of the paths in order, the files converted by the pool."""
    # Standard input belongs to this process: it is read here, in its turn, while the workers
    # convert the files after it.
    pending: collections.deque[tuple[str, concurrent.futures.Future[Outcome] | None]] = \
        collections.deque()
    in_flight = 0

    def settle() -> Outcome:
        nonlocal in_flight
        path, future = pending.popleft()
        if future is None:
            return convert_here(path)
        in_flight -= 1
        return future.result()

    try:
        for path in paths:
            while in_flight >= 2 * workers:
                yield settle()
            if path == STDIN:
                pending.append((path, None))
            else:
                pending.append((path, pool.submit(convert, path)))
                in_flight += 1
        while pending:
            yield settle()
    finally:
        # Stopped early (an output failed, the reader left, an interrupt): what has not
        # started need not run.
        for _path, future in pending:
            if future is not None:
                future.cancel()


# --- Formats -------------------------------------------------------------------------------

def json_pieces(name: str, statement: corvina_py.Statement, indent: int | None) -> tuple[bytes]:
    # One object per statement, each starting on a line of its own: a stream that jq and
    # line-oriented tools read without loading every statement at once.
    text = json.dumps({'file': name, **statement_to_dict(statement)}, ensure_ascii=False,
                      indent=indent)
    text += '\n'  # in place: the only reference, so the text is not copied
    return (text.encode(),)


# What a Russian-locale Excel opens as columns of Cyrillic text: the comma is that locale's
# decimal separator, so its list separator is `;`, and without a byte-order mark it reads the
# bytes as Windows-1251. Rows end in CRLF in both dialects (the csv module's default).
EXCEL_DELIMITER = ';'


def csv_writer(out: io.StringIO, delimiter: str = ',') -> Any:
    # QUOTE_NOTNULL writes None as a bare empty cell and every text quoted, so an absent
    # optional field and a present but empty one survive the trip through CSV.
    return csv.writer(out, quoting=csv.QUOTE_NOTNULL, delimiter=delimiter)


def csv_rows(rows: Iterable[Sequence[str | None]], delimiter: str = ',') -> bytes:
    out = io.StringIO(newline='')
    csv_writer(out, delimiter).writerows(rows)
    return out.getvalue().encode()


def csv_header(file_column: bool, intervals: bool, delimiter: str = ',') -> tuple[bytes, ...]:
    """The header rows of the documents file (without its extra keys, which are known only once
    every input is read) and, when asked for, of the intervals file."""
    prefix = ('file',) if file_column else ()
    headers = [(*prefix, *CSV_DOCUMENT_FIELDS)]
    if intervals:
        headers.append((*prefix, 'account', *INTERVAL_FIELDS))
    return tuple(csv_rows([header], delimiter) for header in headers)


_document_fields = operator.attrgetter(*CSV_DOCUMENT_FIELDS)
_interval_fields = operator.attrgetter(*INTERVAL_FIELDS)


# The extra keys that get a column each by default. Past them a row would hold a cell for
# every key of every document, and documents that each carry keys of their own would make an
# output of documents times keys; the rest go to one column of JSON objects instead.
EXTRA_COLUMNS = 64
EXTRA_COLUMN = 'extra'


def csv_pieces(name: str, statement: corvina_py.Statement, file_column: bool,
               intervals: bool, delimiter: str = ',',
               columns: int | None = EXTRA_COLUMNS) -> tuple[bytes, ...]:
    """The rows of the statement's documents and, when asked for, of its accounts' intervals.

    The documents' piece opens with a row of the statement's extra keys in order of first
    appearance, and each document's row ends in its values for the first `columns` of them (all
    for None), a bare empty cell where it has none; past those keys, in one more cell, the
    JSON object of its values for the others, a bare empty cell when it has none of them.
    ExtraColumns puts the keys of every input in one order.
    """
    prefix = (name,) if file_column else ()
    keys: dict[str, int] = {}
    extras = []
    for document in statement.documents:
        extra = document.extra
        extras.append(extra)
        for key in extra:
            keys.setdefault(key, len(keys))
    if columns is None or len(keys) <= columns:
        rows: Iterable[Sequence[str | None]] = (
            (*prefix, *_document_fields(document), *(extra.get(key) for key in keys))
            for document, extra in zip(statement.documents, extras))
    else:
        wide = list(keys)[:columns]
        rows = ((*prefix, *_document_fields(document), *(extra.get(key) for key in wide),
                 extra_object({key: value for key, value in extra.items()
                               if keys[key] >= columns}))
                for document, extra in zip(statement.documents, extras))
    pieces = [csv_rows([list(keys)], delimiter) + csv_rows(rows, delimiter)]
    if intervals:
        pieces.append(csv_rows(((*prefix, number, *_interval_fields(interval))
                                for number, account in statement.accounts.items()
                                for interval in account.intervals), delimiter))
    return tuple(pieces)


def extra_object(extra: dict[str, str]) -> str | None:
    return json.dumps(extra, ensure_ascii=False) if extra else None


class ExtraColumns:
    """The documents' CSV rows of every input, with one column per extra key of any of them
    (of the first `limit` keys, and one column of JSON objects for the others, when more).

    The header can only be written once every input has given its keys, so the rows wait in a
    spool file, each input's in the columns known when it came; the shorter rows get their empty
    cells when the spool is copied out.
    """

    def __init__(self, header: bytes, delimiter: str, limit: int | None = EXTRA_COLUMNS) -> None:
        # An Excel file's byte-order mark leads the header, not its first column's name.
        self.mark = codecs.BOM_UTF8 if header.startswith(codecs.BOM_UTF8) else b''
        self.delimiter = delimiter
        [self.columns] = read_csv_rows(header[len(self.mark):], delimiter)
        self.fixed = len(self.columns)
        self.limit = limit
        self.keys: dict[str, int] = {}
        self.spool: BinaryIO
        try:
            self.spool = tempfile.TemporaryFile()
        except OSError:  # no temporary folder to write to: the rows wait in memory
            self.spool = io.BytesIO()
        # start, end, extra columns written, whether a JSON object's cell follows them
        self.segments: list[tuple[int, int, int, bool]] = []

    def close(self) -> None:
        self.spool.close()

    def add(self, piece: bytes | Spilled) -> None:
        data = piece_bytes(piece)
        first_line = data.index(b'\n') + 1
        # Keys are written quoted, so none reads back as None.
        local = [key or '' for key in next(read_csv_rows(data[:first_line], self.delimiter))]
        for key in local:
            self.keys.setdefault(key, len(self.keys))
        limit = len(self.keys) if self.limit is None else self.limit
        start = self.spool.tell()
        if len(local) <= limit and local == list(itertools.islice(self.keys, len(local))):
            # Its keys lead, in the same order (one bank, one habit): its rows stay as written.
            self.spool.write(memoryview(data)[first_line:])
            written, spilled = len(local), False
        else:
            written, spilled = min(len(self.keys), limit), len(self.keys) > limit
            self.spool.write(csv_rows(self.placed(data[first_line:], local, written, spilled),
                                      self.delimiter))
        self.segments.append((start, self.spool.tell(), written, spilled))

    def placed(self, data: bytes, local: list[str], written: int,
               spilled: bool) -> Iterator[list[str | None]]:
        """An input's rows with each extra value in the run's column for its key, or in the
        row's JSON object when its key has none."""
        fixed, keys = self.fixed, self.keys
        wide = min(len(local), len(keys) if self.limit is None else self.limit)
        places = [keys[key] for key in local[:wide]]
        for row in read_csv_rows(data, self.delimiter):
            cells: list[str | None] = [*row[:fixed], *[None] * written]
            rest: dict[str, str] = {}
            for key, place, cell in zip(local, places, row[fixed:fixed + wide]):
                if place < written:
                    cells[fixed + place] = cell
                elif cell is not None:
                    rest[key] = cell
            if len(row) > fixed + wide and row[fixed + wide] is not None:
                for key, value in json.loads(row[fixed + wide]).items():  # type: ignore[arg-type]
                    if keys[key] < written:
                        cells[fixed + keys[key]] = value
                    else:
                        rest[key] = value
            if spilled:
                cells.append(extra_object(rest))
            yield cells

    def spilled(self) -> bool:
        """Whether the keys past the limit went to the JSON objects' column."""
        return self.limit is not None and len(self.keys) > self.limit

    def copy_to(self, output: Output) -> None:
        """Writes the header, with every key, then every input's rows."""
        spilled = self.spilled()
        keys = list(self.keys)[:self.limit] if spilled else list(self.keys)
        output.write(self.mark + csv_rows([[*self.columns, *keys, *[EXTRA_COLUMN] * spilled]],
                                          self.delimiter))
        for start, end, written, has_object in self.segments:
            self.spool.seek(start)
            data = self.spool.read(end - start)
            if written < len(keys) or has_object != spilled:
                # Rows that end before the last key's column, or without the object's cell.
                padding = [None] * (len(keys) - written + (spilled and not has_object))
                data = csv_rows(([*row, *padding] if not has_object else
                                 [*row[:-1], *padding, row[-1]]
                                 for row in read_csv_rows(data, self.delimiter)), self.delimiter)
            output.write(data)


def piece_bytes(piece: bytes | Spilled) -> bytes:
    """The bytes of a piece; a spilled piece's file is removed once read."""
    if isinstance(piece, Spilled):
        with open(piece.path, 'rb') as source:
            os.unlink(piece.path)
            return source.read()
    return piece


def read_csv_rows(data: bytes, delimiter: str = ',') -> Iterator[list[str | None]]:
    """Rows written by csv_writer, read back with a bare empty cell as None."""
    rows = csv.reader(io.StringIO(data.decode(), newline=''), quoting=csv.QUOTE_NOTNULL,
                      delimiter=delimiter)
    return (list[str | None](row) for row in rows)


def summary_pieces(name: str, statement: corvina_py.Statement) -> tuple[bytes]:
    return (''.join(line + '\n' for line in summarize(name, statement)).encode(),)


# Amounts carry up to 28 decimals and 29 digits, so a sum may need more digits than the default
# context keeps; this one never rounds, and traps Inexact in case it ever would.
EXACT = decimal.Context(prec=decimal.MAX_PREC, traps=[decimal.Inexact, decimal.InvalidOperation])


@dataclass
class Tally:
    count: int = 0
    total: decimal.Decimal = field(default_factory=lambda: decimal.Decimal(0))

    def add(self, amount: str) -> None:
        self.count += 1
        self.total = EXACT.add(self.total, decimal.Decimal(amount))

    def render(self) -> str:
        return f"{n_('{n} document', '{n} documents', self.count).format(n=self.count)}, " \
               f'{plain(self.total)}'


def plain(amount: decimal.Decimal) -> str:
    # 'f' keeps plain notation: str() would write a total of 0.0000001 as 1E-7.
    return format(amount, 'f')


def stated_total(intervals: Sequence[corvina_py.Interval], name: str) -> decimal.Decimal | None:
    """The sum of one optional amount over the account's intervals; None when any lacks it,
    since a part of the period would then be missing from it."""
    total = decimal.Decimal(0)
    for interval in intervals:
        amount = getattr(interval, name)
        if amount is None:
            return None
        total = EXACT.add(total, decimal.Decimal(amount))
    return total


def turnover_line(label: str, documents: Tally, stated: decimal.Decimal | None) -> str:
    """The documents of one direction against the statement's own total for it."""
    line = f'    {label}: {documents.render()}'
    if stated is None:
        return line
    difference = EXACT.subtract(stated, documents.total)
    check = _('ok') if difference == 0 else \
        _('off by {amount}').format(amount=plain(difference))
    return line + '; ' + _('the statement says {amount}: {check}').format(
        amount=plain(stated), check=check)


def balance_line(account: corvina_py.Account, incoming: Tally, outgoing: Tally) -> str:
    """opening + in - out = closing, with the statement's totals where it gives them and the
    documents' otherwise: a difference means a period or a document is missing."""
    intervals = account.intervals
    opening = decimal.Decimal(intervals[0].start_amount)
    closing = intervals[-1].end_amount
    if closing is None:
        return '    ' + _('balance: the statement gives no closing balance')
    paid_in = stated_total(intervals, 'total_income')
    paid_out = stated_total(intervals, 'total_expense')
    paid_in = incoming.total if paid_in is None else paid_in
    paid_out = outgoing.total if paid_out is None else paid_out
    computed = EXACT.subtract(EXACT.add(opening, paid_in), paid_out)
    difference = EXACT.subtract(decimal.Decimal(closing), computed)
    check = _('ok') if difference == 0 else _('closing {closing}, off by {amount}').format(
        closing=closing, amount=plain(difference))
    return '    ' + _('balance: {opening} + {paid_in} - {paid_out} = {computed}: {check}').format(
        opening=intervals[0].start_amount, paid_in=plain(paid_in), paid_out=plain(paid_out),
        computed=plain(computed), check=check)


def summarize(name: str, statement: corvina_py.Statement) -> list[str]:
    """Per account: the opening and closing balances, the documents paid in (payee account)
    and out (payer account) against the statement's totals, and whether the balance adds up.

    Incoming and outgoing are never added together: their sum means nothing to anyone.
    """
    documents = statement.documents
    accounts = statement.accounts
    counts = (n_('{n} account', '{n} accounts', len(accounts)).format(n=len(accounts)),
              n_('{n} document', '{n} documents', len(documents)).format(n=len(documents)),
              n_('{n} warning', '{n} warnings', len(statement.warnings)).format(
                  n=len(statement.warnings)))
    lines = [f"{one_line(name)}: {statement.encoding}, {', '.join(counts)}"]
    incoming = {number: Tally() for number in accounts}
    outgoing = {number: Tally() for number in accounts}
    unmatched = Tally()
    paid_in = paid_out = 0
    for document in documents:
        amount = document.amount
        matched = False
        if document.payee_account in incoming:
            incoming[document.payee_account].add(amount)
            paid_in += 1
            matched = True
        if document.counterparty_account in outgoing:
            outgoing[document.counterparty_account].add(amount)
            paid_out += 1
            matched = True
        if not matched:
            unmatched.add(amount)
    for number, account in accounts.items():
        intervals = account.intervals
        closing = intervals[-1].end_amount
        head = n_('{n} interval', '{n} intervals', len(intervals)).format(n=len(intervals))
        head += ', ' + _('opening {amount}').format(amount=intervals[0].start_amount)
        if closing is not None:
            head += ', ' + _('closing {amount}').format(amount=closing)
        lines += [f'  {one_line(number)}: {head}',
                  turnover_line(_('in'), incoming[number],
                                stated_total(intervals, 'total_income')),
                  turnover_line(_('out'), outgoing[number],
                                stated_total(intervals, 'total_expense')),
                  balance_line(account, incoming[number], outgoing[number])]
    if unmatched.count:
        label = _('no listed account') if accounts else \
            _('direction unknown (the statement lists no accounts)')
        lines.append(f'  {label}: {unmatched.render()}')
    lines.append('  ' + _('all documents: {count}; {paid_in} in, {paid_out} out, {other} with '
                          'no listed account').format(
        count=len(documents), paid_in=paid_in, paid_out=paid_out, other=unmatched.count))
    return lines


# --- Outputs -------------------------------------------------------------------------------

class OutputError(Exception):
    """An output that could not be written: `name` is the output as the user gave it."""

    def __init__(self, name: str, message: str) -> None:
        super().__init__(name, message)
        self.name = name
        self.message = message

    @classmethod
    def of(cls, name: str, error: OSError) -> OutputError:
        return cls(name, messages.os_error(error))


def is_standard_output(path: str) -> bool:
    """Whether the path names the file our standard output already is (/dev/stdout, say)."""
    try:
        return os.path.samestat(os.stat(path), os.fstat(sys.stdout.fileno()))
    except (OSError, ValueError, AttributeError):
        return False  # not there, or no standard output with a descriptor (io.StringIO)


def current_umask() -> int:
    mask = os.umask(0o022)
    os.umask(mask)
    return mask


class Output:
    """One output of a run, written only with what the run produced.

    A regular file, existing or new, is written to a temporary file beside it that commit()
    renames over it: until then the old file stays whole, whatever stops the run (an input that
    fails, an interrupt, a lost worker), and a run that commits nothing leaves it as it was.
    Standard output, a pipe or a device is written as the bytes come, without seeking; it is
    never removed, truncated or replaced. Use it as a context manager: leaving it without
    commit() removes the temporary file and nothing else.
    """

    def __init__(self, path: str | None) -> None:
        self.name = 'output' if path is None or path == STDIN else readable_name(path)
        self.temp: str | None = None  # ours to remove, until it is renamed over the target
        self.target = ''
        self.owned = False  # whether the stream is ours to close
        if path is None or path == STDIN or is_standard_output(path):
            if sys.stdout is None:  # started with its descriptor closed (`>&-`)
                raise OutputError('corvina-convert', _('standard output is closed'))
            sys.stdout.flush()
            self.stream: BinaryIO = sys.stdout.buffer
            return
        try:
            try:
                status: os.stat_result | None = os.stat(path)
            except FileNotFoundError:
                status = None
            if status is not None and not stat.S_ISREG(status.st_mode):
                self.stream = open(path, 'wb')
                self.owned = True
                return
            self.open_temporary(path, status)
        except OSError as error:
            self.discard()
            raise OutputError.of(self.name, error) from error

    def open_temporary(self, path: str, status: os.stat_result | None) -> None:
        # Beside the file a link leads to, so that the rename keeps the link and stays within
        # one file system.
        self.target = os.path.realpath(path)
        folder, base = os.path.split(self.target)
        # Short enough for the longest allowed name to leave room for the suffixes.
        prefix = '.' + os.fsdecode(os.fsencode(base)[:128]) + '.'
        descriptor, self.temp = tempfile.mkstemp(prefix=prefix, suffix='.tmp', dir=folder)
        self.stream = os.fdopen(descriptor, 'wb')
        self.owned = True
        if status is None:
            mode = 0o666 & ~current_umask()  # what open() would have created
        else:
            mode = stat.S_IMODE(status.st_mode)
            if (status.st_uid, status.st_gid) != (os.getuid(), os.getgid()):
                with contextlib.suppress(OSError):  # only root may give a file away
                    os.fchown(descriptor, status.st_uid, status.st_gid)
        os.fchmod(descriptor, mode)

    def write(self, piece: bytes | Spilled) -> None:
        """Appends the bytes, or the content of a spilled piece's file, which is then removed."""
        try:
            if isinstance(piece, Spilled):
                with open(piece.path, 'rb') as source:
                    os.unlink(piece.path)
                    self.copy(source)
            else:
                self.stream.write(piece)
        except BrokenPipeError:
            raise  # the reader left: not an output error worth a message
        except OSError as error:
            raise OutputError.of(self.name, error) from error

    def copy(self, source: BinaryIO) -> None:
        # In the kernel where it can (sendfile takes any output since Linux 2.6.33), without
        # the bytes ever passing through this process.
        self.stream.flush()
        try:
            target = self.stream.fileno()
        except (OSError, ValueError):  # a stream without a descriptor, as in tests
            target = -1
        size = os.fstat(source.fileno()).st_size
        offset = 0
        while target >= 0 and offset < size:
            try:
                sent = os.sendfile(target, source.fileno(), offset, size - offset)
            except OSError as error:
                if offset or error.errno not in (errno.EINVAL, errno.ENOSYS, errno.EOPNOTSUPP):
                    raise
                break  # not for this pair of files: copy through a buffer
            if sent == 0:
                break
            offset += sent
        if offset < size:
            source.seek(offset)
            shutil.copyfileobj(source, self.stream)

    def commit(self) -> None:
        """Makes what was written the output's content."""
        try:
            if not self.owned:
                self.stream.flush()
                return
            self.stream.close()
            if self.temp is not None:
                os.replace(self.temp, self.target)
                self.temp = None
        except BrokenPipeError:
            raise
        except OSError as error:
            raise OutputError.of(self.name, error) from error

    def discard(self) -> None:
        if self.owned:
            with contextlib.suppress(OSError):
                self.stream.close()
        if self.temp is not None:
            with contextlib.suppress(FileNotFoundError):
                os.unlink(self.temp)
            self.temp = None

    def __enter__(self) -> Output:
        return self

    def __exit__(self, *exception: object) -> None:
        self.discard()


# --- Command line --------------------------------------------------------------------------

def installed_version() -> str:
    from importlib import metadata  # on demand: it costs every other run a few milliseconds
    try:
        return metadata.version('corvina_py')
    except metadata.PackageNotFoundError:
        return 'unknown (not installed)'


class VersionAction(argparse.Action):
    """--version, looking the version up only when it is asked for."""

    def __init__(self, option_strings: Sequence[str], dest: str, **kwargs: Any) -> None:
        super().__init__(option_strings, dest=argparse.SUPPRESS, default=argparse.SUPPRESS,
                         nargs=0, help='print the installed version and exit')

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace,
                 values: Any, option_string: str | None = None) -> None:
        print(f'{parser.prog} {installed_version()}')
        parser.exit()


@dataclass(frozen=True)
class Format:
    """One output format: what it writes, and the options that apply to it alone."""

    summary: str
    options: tuple[str, ...] = ()
    needs: str = ''


# The formats and their own options, in the order --help lists them. The options that every
# format takes (-o, --strict, --jobs, --encoding, --recursive, --quiet) are not named here.
# An option that a format does not list is refused with it, and --help is made from this table.
FORMATS: dict[str, Format] = {
    'json': Format('one object per statement, one per line (the default)', ('--indent',)),
    'csv': Format('one row per document', ('--file-column', '--intervals', '--excel',
                                           '--extra-columns', '--dedupe')),
    'summary': Format('counts and exact totals per account'),
    'parquet': Format('one typed table of all documents in a Parquet file',
                      ('--file-column', '--intervals', '--dedupe'), needs='pyarrow'),
    'arrow': Format('one typed table of all documents in an Arrow IPC file',
                    ('--file-column', '--intervals', '--dedupe'), needs='pyarrow'),
    'exchange': Format('each statement written back in the exchange format, to standard '
                       'output or one file per input in the folder -o DIR',
                       ('--encoding-out', '--from-json', '--allow-dropped')),
}
HELP_WIDTH = 79


def formats_with(option: str) -> tuple[str, ...]:
    return tuple(name for name, format in FORMATS.items() if option in format.options)


def formats_text() -> str:
    rows = []
    for name, format in FORMATS.items():
        needs = f' (needs {format.needs}: the corvina_py[arrow] extra)' if format.needs else ''
        options = f"; options: {', '.join(format.options)}" if format.options else ''
        rows.append(textwrap.fill(f'{name:<9}{format.summary}{needs}{options}', HELP_WIDTH,
                                  initial_indent='  ', subsequent_indent=' ' * 11))
    return '\n'.join(rows)


def count(text: str) -> int:
    """A whole number of the command line: argparse's own message would name a Python type."""
    try:
        return int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(
            _('{text} is not a whole number').format(text=repr(text))) from None


def positive_int(text: str) -> int:
    value = count(text)
    if value < 1:
        raise argparse.ArgumentTypeError(
            _('must be at least 1, not {value}').format(value=value))
    return value


def format_option_help(option: str, text: str) -> str:
    """An option's help, naming the formats it applies to from the table."""
    return f"{text} (-f {', '.join(formats_with(option))})"


def paragraphs(*texts: str) -> str:
    return '\n\n'.join(textwrap.fill(text, HELP_WIDTH) for text in texts)


# argparse's own complaints, which it words in English whatever the locale, matched to be
# said in the user's language; the last pattern only translates the prefix around a message
# that is already ours.
ARGPARSE_MESSAGES = tuple((re.compile(pattern, re.DOTALL), text) for pattern, text in (
    (r'the following arguments are required: (?P<names>.*)',
     'the following arguments are required: {names}'),
    (r'unrecognized arguments: (?P<names>.*)', 'unrecognized arguments: {names}'),
    (r'argument (?P<argument>\S+): invalid choice: (?P<value>.*) \(choose from (?P<choices>.*)\)',
     'argument {argument}: invalid choice: {value} (choose from {choices})'),
    (r'argument (?P<argument>\S+): expected one argument',
     'argument {argument}: expected one argument'),
    (r'argument (?P<argument>\S+): ignored explicit argument (?P<value>.*)',
     'argument {argument}: ignored explicit argument {value}'),
    (r'argument (?P<argument>\S+): (?P<message>.*)', 'argument {argument}: {message}'),
))


def translated_usage_error(message: str) -> str:
    for pattern, text in ARGPARSE_MESSAGES:
        found = pattern.fullmatch(message)
        if found is not None:
            return _(text).format(**found.groupdict())
    return message


class ArgumentParser(argparse.ArgumentParser):
    """A mistake in the command line costs one line, not the whole usage: the usage of this
    many options buries the one line that says what was wrong."""

    def error(self, message: str) -> NoReturn:
        text = _('{prog}: error: {message} (see --help)').format(
            prog=self.prog, message=translated_usage_error(message))
        self.exit(2, one_line(text) + '\n')


def build_parser() -> argparse.ArgumentParser:
    parser = ArgumentParser(
        prog='corvina-convert',
        formatter_class=argparse.RawDescriptionHelpFormatter,
        description='Convert 1CClientBankExchange statements to JSON, CSV, a summary, Parquet '
        'or Arrow.\n\nformats (-f):\n' + formats_text(),
        epilog=paragraphs(
            'A folder argument converts the statement files in it: the files named *.txt in '
            'any case (.TXT too), hidden ones left out; --recursive descends into its '
            "subfolders. A quoted pattern ('statements/*.txt', 'archive/**/*.txt') is "
            'expanded by the converter itself, the same way on every system, matching names in '
            'any case. The files of a folder or pattern are converted in path order.',
            'An output file is written beside its target and renamed over it once the run is '
            'done, and only if some input was converted: a failed or interrupted run leaves it '
            'as it was. Standard output, pipes and devices are written as the output comes; '
            'for parquet and arrow there, the file is built in memory first.',
            'Progress (files done, MB/s, time left) is shown on standard error when it is a '
            'terminal and the batch holds more than one file or more than 64 MB.',
            "corvina-convert check FILE... checks that statements add up and that their "
            "requisites hold instead of converting them (see 'corvina-convert check --help'). "
            'Where a file or folder named check lies in the current folder, a first argument '
            "check still names it, as before; 'python -m corvina_convert.checks FILE...' "
            'checks there.'))
    parser.add_argument('--version', action=VersionAction)
    parser.add_argument('files', nargs='+', metavar='FILE',
                        help="statement files, folders or quoted patterns; '-' reads standard "
                        'input')
    parser.add_argument('-f', '--format', choices=tuple(FORMATS), default='json',
                        help='the output format, as listed above (default json)')
    parser.add_argument('-o', '--output', metavar='OUT',
                        help='write here instead of standard output')
    parser.add_argument('--intervals', metavar='OUT', help=format_option_help(
        '--intervals', "also write the accounts' intervals to OUT"))
    parser.add_argument('--file-column', action='store_true', help=format_option_help(
        '--file-column', 'start every row with the input file name'))
    parser.add_argument('--excel', action='store_true', help=format_option_help(
        '--excel', 'CSV as a Russian-locale Excel opens it: UTF-8 with a byte-order mark, '
        "';' between fields, CRLF line ends"))
    parser.add_argument('--dedupe', action='store_true', help=format_option_help(
        '--dedupe', 'write each document once when overlapping statements list it again '
        '(the same kind, number, date, amount and accounts): the first copy is kept'))
    parser.add_argument('--indent', type=count, metavar='N', help=format_option_help(
        '--indent', 'indent nested objects by N spaces'))
    parser.add_argument('--encoding-out', choices=('cp1251', 'utf-8'), help=format_option_help(
        '--encoding-out', 'the encoding written (default cp1251)'))
    parser.add_argument('--from-json', action='store_true', help=format_option_help(
        '--from-json', "the inputs are this program's JSON output"))
    parser.add_argument('--allow-dropped', action='store_true', help=format_option_help(
        '--allow-dropped', 'write a statement without the documents its parse dropped, '
        'instead of failing it'))
    parser.add_argument('--extra-columns', action='store_true', help=format_option_help(
        '--extra-columns', 'give every extra key of the documents a column of its own, '
        f'however many there are (by default past {EXTRA_COLUMNS} keys the rest go to one '
        'column of JSON objects, "extra")'))
    parser.add_argument('--strict', action='store_true',
                        help='treat dropped documents (warnings) as errors')
    parser.add_argument('-j', '--jobs', type=positive_int, default=1, metavar='N',
                        help='convert files in N worker processes (default 1)')
    parser.add_argument('--encoding', choices=('cp866',),
                        help='read the inputs as the DOS code page 866 (a header saying '
                        'Кодировка=DOS) and turn them into Windows-1251 before parsing')
    parser.add_argument('-r', '--recursive', action='store_true',
                        help='descend into the subfolders of a folder argument')
    parser.add_argument('-q', '--quiet', action='store_true',
                        help='show no progress, even on a terminal')
    parser.add_argument('--lang', choices=i18n.LANGUAGES,
                        help='the language of messages and of the summary (default: the '
                        'locale\'s, from LANGUAGE, LC_ALL, LC_MESSAGES or LANG; Russian for '
                        'ru_*, English otherwise)')
    return parser


def given_options(args: argparse.Namespace) -> Iterator[str]:
    """The format-specific options that the command line gives."""
    for option in dict.fromkeys(option for format in FORMATS.values()
                                for option in format.options):
        value = getattr(args, option.lstrip('-').replace('-', '_'))
        if value is not None and value is not False:
            yield option


def report(outcomes: Iterable[Outcome], strict: bool, err: TextIO,
           failed: list[str]) -> Generator[Outcome]:
    """Prints each problem as it passes by and remembers which inputs failed.

    Under strict, a statement with dropped documents has failed: it goes on without its
    pieces, so that no writer puts any of it into the output.
    """
    def say(where: str, message: str) -> None:
        print(one_line(f'{where}: {message}'), file=err)

    for outcome in outcomes:
        if outcome.error is not None:
            where = outcome.name if outcome.error_line is None \
                else f'{outcome.name}:{outcome.error_line}'
            say(where, outcome.error)
            failed.append(outcome.name)
        elif outcome.pieces is not None:
            # A document that cannot be built is left out of every output: say so.
            found = outcome.culprits or [None] * len(outcome.warnings)
            for (lineno, message), culprit in zip(outcome.warnings, found):
                say(f'{outcome.name}:{lineno}', f"{_('error') if strict else _('warning')}: "
                    f'{messages.dropped_document(message, culprit)}')
            if strict and outcome.warnings:
                failed.append(outcome.name)
                outcome = Outcome(outcome.name, warnings=outcome.warnings)
        yield outcome


def overwritten_input(outputs: Iterable[str | None], inputs: Iterable[str]) -> str | None:
    """The first output that is already one of the inputs (or another output), if any.

    Files are compared, not names: a link or another spelling of the path is caught too. So
    are resolved paths, for an output that does not exist yet: two outputs naming one new file
    would silently leave only the second, and an output that creates a missing input would
    then be read as that input.
    """
    def identity(path: str) -> tuple[os.stat_result | None, str | None] | None:
        try:
            status = os.fstat(sys.stdin.fileno()) if path == STDIN else os.stat(path)
        except (OSError, ValueError, AttributeError):
            status = None  # not there yet, or no standard input to speak of
        # Only a regular file loses its content when written over (/dev/null does not).
        if status is not None and not stat.S_ISREG(status.st_mode):
            return None
        try:
            resolved = None if path == STDIN else os.path.realpath(path)
        except (OSError, ValueError):
            resolved = None
        return status, resolved

    def same(one: tuple[os.stat_result | None, str | None],
             other: tuple[os.stat_result | None, str | None]) -> bool:
        if one[0] is not None and other[0] is not None and os.path.samestat(one[0], other[0]):
            return True
        return one[1] is not None and one[1] == other[1]

    seen = [found for found in map(identity, inputs) if found is not None]
    for output in outputs:
        if output is None or output == STDIN:
            continue
        found = identity(output)
        if found is None:
            continue
        if any(same(found, other) for other in seen):
            return output
        seen.append(found)
    return None


def extra_columns(args: argparse.Namespace) -> int | None:
    """How many extra keys get a column of their own in CSV; None for all."""
    return None if args.extra_columns else EXTRA_COLUMNS


def text_format(args: argparse.Namespace) -> tuple[Formatter, tuple[bytes, ...]]:
    """The formatter of a json, csv or summary run, and what each output starts with."""
    intervals = args.intervals is not None
    if args.format == 'json':
        return functools.partial(json_pieces, indent=args.indent), (b'',)
    if args.format == 'csv':
        delimiter = EXCEL_DELIMITER if args.excel else ','
        headers = csv_header(args.file_column, intervals, delimiter)
        if args.excel:
            headers = tuple(codecs.BOM_UTF8 + header for header in headers)
        return (functools.partial(csv_pieces, file_column=args.file_column, intervals=intervals,
                                  delimiter=delimiter, columns=extra_columns(args)), headers)
    return summary_pieces, (b'',)


def outcomes_of(args: argparse.Namespace, format: Formatter,
                failed: list[str]) -> Generator[Outcome]:
    """The run's outcomes in input order, reported as they pass and counted by the progress
    bar when there is one."""
    converted = convert_all(args.files, args.jobs, format, args.encoding)
    outcomes, err = progress.tracked(converted, progress.input_sizes(args.files, STDIN),
                                     sys.stderr, args.quiet)
    try:
        yield from report(outcomes, args.strict, err, failed)
    finally:
        # Whatever stops the run, the bar is gone before its error is printed.
        close = getattr(outcomes, 'close', None)
        if close is not None:
            close()


def write_outputs(args: argparse.Namespace, failed: list[str]) -> None:
    format, headers = text_format(args)
    targets = [args.output] if args.intervals is None else [args.output, args.intervals]
    with contextlib.ExitStack() as stack:
        outputs = [stack.enter_context(Output(target)) for target in targets]
        extra: ExtraColumns | None = None
        seen: reading.SeenRows | None = None
        if args.format == 'csv':
            extra = ExtraColumns(headers[0], EXCEL_DELIMITER if args.excel else ',',
                                 extra_columns(args))
            stack.callback(extra.close)
            if args.dedupe:
                seen = reading.SeenRows(extra.columns, extra.delimiter)
        # Closed before the outputs are discarded: no worker is left writing to a pipe that
        # nobody reads, and the pool is shut down before the error is reported.
        outcomes = stack.enter_context(contextlib.closing(outcomes_of(args, format, failed)))
        for index, (output, header) in enumerate(zip(outputs, headers)):
            if extra is None or index > 0:
                output.write(header)
        converted = False
        for outcome in outcomes:
            if outcome.pieces is not None:
                converted = True
                for index, (output, piece) in enumerate(zip(outputs, outcome.pieces)):
                    if extra is not None and index == 0:
                        extra.add(piece if seen is None else seen.filter(piece_bytes(piece)))
                    else:
                        output.write(piece)
        if extra is not None:
            extra.copy_to(outputs[0])
        if seen is not None:
            print(reading.dropped_message(seen.dropped), file=sys.stderr)
        if converted:
            for output in outputs:
                output.commit()
    if extra is not None and extra.spilled():
        print('corvina-convert: ' + _(
            'the documents have {keys} extra keys: the first {columns} have a column each, the '
            'others are in the column "{column}" as one JSON object per row (--extra-columns '
            'gives each key a column)').format(keys=len(extra.keys), columns=EXTRA_COLUMNS,
                                               column=EXTRA_COLUMN), file=sys.stderr)


# --- -f exchange ----------------------------------------------------------------------------

def exchange_pieces(name: str, statement: corvina_py.Statement, encoding: str,
                    allow_dropped: bool = False) -> tuple[bytes]:
    """The converter's formatter: the statement written back, or the input fails."""
    try:
        return (written(statement, encoding, allow_dropped),)
    except (ValueError, TypeError) as error:
        raise Unconvertible(str(error)) from error


def written(statement: corvina_py.Statement | Mapping[str, Any], encoding: str,
            allow_dropped: bool) -> bytes:
    """dumps() as the converter calls it: a refusal of dropped documents names its option."""
    if not allow_dropped:
        lines = dropped_lines(statement)
        if lines:
            raise ValueError(dropped_message(lines, 'give --allow-dropped to write it without '
                                                    'them'))
    return dumps(statement, encoding=encoding, dropped='ignore')


def output_name(name: str) -> str:
    """The file an input's statement is written to in the output folder: the input's own
    name, or stdin.txt for standard input."""
    base = os.path.basename(name)
    return 'stdin.txt' if name in (STDIN, STDIN_NAME) or base in ('', '.', '..') else base


class NotJson(ValueError):
    """Input that is not the converter's JSON output, from `lineno` on."""

    def __init__(self, lineno: int, message: str) -> None:
        super().__init__(message)
        self.lineno = lineno


def json_statements(name: str, data: bytes) -> Iterator[tuple[int, dict[str, Any]]]:
    """(line it starts on, object) of each statement of the converter's JSON output: one
    after another, each on its own line or, written with --indent, over several. What comes
    before a NotJson is sound."""
    try:
        text = data.decode('utf-8')
    except UnicodeDecodeError as error:
        raise NotJson(data.count(b'\n', 0, error.start) + 1, str(error)) from None
    decoder = json.JSONDecoder()
    at = 0
    lineno, counted = 1, 0
    while True:
        while at < len(text) and text[at].isspace():
            at += 1
        if at == len(text):
            return
        lineno += text.count('\n', counted, at)
        counted = at
        try:
            found, at = decoder.raw_decode(text, at)
        except json.JSONDecodeError as error:
            raise NotJson(error.lineno, error.msg) from None
        except ValueError as error:  # a number of more digits than Python converts
            raise NotJson(lineno, str(error)) from None
        except RecursionError:  # the decoder recurses once per level of nesting
            raise NotJson(lineno, 'nested too deeply for a statement') from None
        if not isinstance(found, dict):
            raise NotJson(lineno, f'a {type(found).__name__} where a statement object was '
                                  'expected')
        found.setdefault('file', name)
        if not isinstance(found['file'], str):
            raise NotJson(lineno, f'the statement\'s "file" is {type(found["file"]).__name__}, '
                                  'not a text')
        yield lineno, found


def read_json_inputs(files: Sequence[str], err: TextIO,
                     failed: list[str]) -> list[tuple[str, str, dict[str, Any]]]:
    """(file named in the object, where it starts as "input:line", statement object) for every
    statement of every input; an input that goes wrong keeps the statements before."""
    found: list[tuple[str, str, dict[str, Any]]] = []
    for path in files:
        name = STDIN_NAME if path == STDIN else readable_name(path)
        try:
            data = inputs.read_bytes(path)
            for lineno, item in json_statements(name, data):
                found.append((item['file'], f'{name}:{lineno}', item))
        except OSError as error:
            print(one_line(f'{name}: {error.strerror or error}'), file=err)
            failed.append(name)
        except NotJson as error:
            print(one_line(f"{name}:{error.lineno}: not corvina-convert's JSON output: {error}"),
                  file=err)
            failed.append(name)
    return found


def write_exchange_outputs(args: argparse.Namespace, parser: argparse.ArgumentParser,
                           failed: list[str]) -> None:
    """Writes each input statement back, to its own file in the folder -o DIR or, for one
    statement, to standard output."""
    encoding = args.encoding_out
    folder = None if args.output in (None, STDIN) else args.output
    if folder is not None and os.path.exists(folder) and not os.path.isdir(folder):
        parser.error(_('--format exchange writes one file per input into a folder: {name} is '
                       'not one').format(name=one_line(readable_name(folder))))

    # The inputs' paths under the folders they were found in; a JSON input's statements are
    # named by the file each came from, which is no path found here.
    relative_names: dict[str, str] = {} if args.from_json else \
        getattr(args, 'relative_names', {})

    def target_of(name: str) -> str | None:
        if folder is None:
            return None
        relative = relative_names.get(name)
        return os.path.join(folder, output_name(name) if relative is None else relative)

    def output_of(name: str) -> Output:
        # The folder, and a subfolder, is made for the first file written into it: a run that
        # writes nothing leaves no empty folder behind.
        target = target_of(name)
        if target is not None:
            try:
                os.makedirs(os.path.dirname(target), exist_ok=True)
            except OSError as error:
                raise OutputError.of(readable_name(target), error) from error
        return Output(target)

    def check_targets(names: Sequence[str]) -> None:
        if folder is None and len(names) > 1:
            parser.error(_('--format exchange writes more than one statement only into a '
                           'folder: give it with -o DIR'))
        clobbered = overwritten_input((target_of(readable_name(name)) for name in names),
                                      args.files)
        if clobbered is not None:
            parser.error(_('{name} is an input or another output: refusing to overwrite '
                           'it').format(name=one_line(readable_name(clobbered))))

    if args.from_json:
        statements = read_json_inputs(args.files, sys.stderr, failed)
        check_targets([name for name, _, _ in statements])
        for name, where, item in statements:
            try:
                data = written(item, encoding, args.allow_dropped)
            except (ValueError, TypeError) as error:
                print(one_line(f'{where}: {error}'), file=sys.stderr)
                failed.append(name)
                continue
            with output_of(name) as output:
                output.write(data)
                output.commit()
        return
    check_targets(list(args.files))
    formatter = functools.partial(exchange_pieces, encoding=encoding,
                                  allow_dropped=args.allow_dropped)
    with contextlib.closing(outcomes_of(args, formatter, failed)) as outcomes:
        for outcome in outcomes:
            if outcome.pieces is None:
                continue
            with output_of(outcome.name) as output:
                for piece in outcome.pieces:
                    output.write(piece)
                output.commit()


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the converter; returns 0, 1 when any input failed, 2 for a wrong command line."""
    i18n.use(i18n.language_in(argv))
    arguments = sys.argv[1:] if argv is None else list(argv)
    # `check` first is the command, unless a file or folder of that name is here: then it is
    # converted, as it was before the command existed.
    if arguments[:1] == ['check'] and not os.path.lexists('check'):
        from corvina_convert import checks
        return checks.main(arguments[1:])
    parser = build_parser()
    args = parser.parse_args(argv)
    # An option the chosen format would ignore is a mistake in the command line.
    for option in given_options(args):
        formats = formats_with(option)
        if args.format not in formats:
            parser.error(_('{option} needs --format {formats}').format(
                option=option, formats=f"{', '.join(formats[:-1])}"
                f"{_(' or ') if len(formats) > 1 else ''}{formats[-1]}"))
    if args.from_json and args.encoding is not None:
        parser.error(_('--encoding reads statement files, not the JSON of --from-json: give one '
                       'of them'))
    try:
        found = list(inputs.expand_relative(args.files, args.recursive))
        args.files = [path for path, _relative in found]
        # Where -f exchange -o DIR puts each input: same-named files of different folders
        # land in subfolders as they were found, not over each other.
        args.relative_names = {readable_name(path): relative for path, relative in found
                               if path != STDIN}
    except inputs.NoMatch as error:
        parser.error(one_line(f'{readable_name(error.name)}: {error.message}'))
    if args.files.count(STDIN) > 1:
        parser.error(_("standard input ('-') can be given only once"))
    clobbered = overwritten_input((args.output, args.intervals), args.files)
    if clobbered is not None:
        parser.error(_('{name} is an input or another output: refusing to overwrite it').format(
            name=one_line(readable_name(clobbered))))

    failed: list[str] = []
    try:
        if args.format in ('parquet', 'arrow'):
            from corvina_convert import tables  # imports pyarrow only when it is asked for
            if tables.write_outputs(args, parser, failed):
                return 1
        elif args.format == 'exchange':
            args.encoding_out = args.encoding_out or 'cp1251'
            write_exchange_outputs(args, parser, failed)
        else:
            write_outputs(args, failed)
    except OutputError as error:
        print(one_line(f'{error.name}: {error.message}'), file=sys.stderr)
        return 1
    except concurrent.futures.BrokenExecutor:
        print(_('corvina-convert: a worker process ended abruptly; the conversion stopped and '
                'no output file was replaced (a worker that ends so has often run out of '
                'memory: run again with fewer --jobs)'), file=sys.stderr)
        return 1
    return 1 if failed else 0


def run() -> None:
    """The console script's entry point."""
    try:
        sys.exit(main())
    except BrokenPipeError:
        # The reader went away (as `| head` does); the rest is nobody's business.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        sys.exit(1)

