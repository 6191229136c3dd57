"""Converts 1CClientBankExchange statements to JSON, CSV or a short summary.

    corvina-convert [--format json|csv|summary] [-o OUT] [--intervals OUT] [-j N] FILE... | -

Amounts stay the exact decimal texts the parser produced: no value ever passes through a
float, and the summary adds amounts with decimal.Decimal in a context that cannot round.
"""

from __future__ import annotations

import argparse
import codecs
import concurrent.futures
import csv
import dataclasses
import decimal
import io
import json
import os
import re
import stat
import sys
import types
from collections.abc import Callable, Iterable, Iterator, Sequence
from contextlib import contextmanager
from dataclasses import dataclass, field
from typing import Any, TextIO

import corvina_py


def _attributes(cls: type) -> tuple[str, ...]:
    """The properties of a result class, in the order the class declares them."""
    return tuple(name for name, value in vars(cls).items()
                 if isinstance(value, types.GetSetDescriptorType))


# The CSV column orders: the module's own, so a field added to the parser appears here too.
DOCUMENT_FIELDS = _attributes(corvina_py.Document)
INTERVAL_FIELDS = _attributes(corvina_py.Interval)
STDIN = '-'
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
    """What became of one input: a converted statement or the one error that stopped it."""

    name: str
    statement: dict[str, Any] | None = None
    error_line: int | None = None
    error: str | None = None


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


# UTF-32 first: its little-endian mark starts with the UTF-16 one.
BYTE_ORDER_MARKS = (
    (codecs.BOM_UTF32_LE, 'UTF-32'), (codecs.BOM_UTF32_BE, 'UTF-32'),
    (codecs.BOM_UTF16_LE, 'UTF-16'), (codecs.BOM_UTF16_BE, 'UTF-16'), (codecs.BOM_UTF8, 'UTF-8'),
)


def refusal_hint(data: bytes) -> str:
    """Why a refused file may still be a statement: editors on Windows like to start a file
    with a byte-order mark, and then its first line is no longer the statement's marker."""
    for mark, encoding in BYTE_ORDER_MARKS:
        if data.startswith(mark):
            return (f' (the file starts with a {encoding} byte-order mark; save it as '
                    'Windows-1251, or as UTF-8 without a byte-order mark)')
    return ''


def parse_or_refuse(name: str, data: bytes) -> corvina_py.Statement | Outcome:
    """The parsed statement, or the Outcome that reports why the file was refused."""
    try:
        return corvina_py.parse(data)
    except corvina_py.NotStatementError as error:
        return Outcome(name, error=str(error) + refusal_hint(data))
    except corvina_py.ParseError as error:
        # Only the module's SyntaxError carries a detail, and it may lack one if attaching it
        # failed; the other parse errors are about the file as a whole and have no line.
        detail = getattr(error, 'detail', None)
        return Outcome(name, error_line=getattr(detail, 'lineno', None), error=str(error))


def convert_data(name: str, data: bytes) -> Outcome:
    statement = parse_or_refuse(name, data)
    if isinstance(statement, Outcome):
        return statement
    return Outcome(name, statement=statement_to_dict(statement))


def convert_file(path: str,
                 convert: Callable[[str, bytes], Outcome] = convert_data) -> Outcome:
    """Reads and converts one file; runs in a worker process, so it returns plain data only."""
    name = readable_name(path)
    try:
        with open(path, 'rb') as stream:
            data = stream.read()
    except OSError as error:
        return Outcome(name, error=error.strerror or str(error))
    return convert(name, data)


def convert_all(paths: Sequence[str], jobs: int) -> Iterator[Outcome]:
    """Yields one outcome per path, in the order given, whatever order the workers finish in."""
    def convert_one(path: str) -> Outcome:
        if path == STDIN:
            return convert_data(STDIN_NAME, sys.stdin.buffer.read())
        return convert_file(path)

    files = [path for path in paths if path != STDIN]
    if jobs <= 1 or len(files) <= 1:
        yield from map(convert_one, paths)
        return
    with concurrent.futures.ProcessPoolExecutor(max_workers=min(jobs, len(files))) as pool:
        # Standard input belongs to this process: it is read here while the workers run.
        futures = {path: pool.submit(convert_file, path) for path in files}
        for path in paths:
            yield convert_one(path) if path == STDIN else futures[path].result()


# --- Writers -------------------------------------------------------------------------------

def write_json(outcomes: Iterable[Outcome], out: TextIO, indent: int | None) -> None:
    # One object per statement, each starting on a line of its own: a stream that jq and
    # line-oriented tools read without loading every statement at once.
    for outcome in outcomes:
        if outcome.statement is None:
            continue
        record = {'file': outcome.name, **outcome.statement}
        out.write(json.dumps(record, ensure_ascii=False, indent=indent))
        out.write('\n')


def csv_writer(out: TextIO) -> Any:
    # QUOTE_NOTNULL writes None as a bare empty cell and every text quoted, so an absent
    # optional field and a present but empty one survive the trip through CSV.
    return csv.writer(out, quoting=csv.QUOTE_NOTNULL)


def write_documents_csv(outcomes: Iterable[Outcome], out: TextIO, file_column: bool) -> None:
    writer = csv_writer(out)
    writer.writerow((['file'] if file_column else []) + list(DOCUMENT_FIELDS))
    for outcome in outcomes:
        if outcome.statement is None:
            continue
        for document in outcome.statement['documents']:
            prefix = [outcome.name] if file_column else []
            writer.writerow(prefix + [document[name] for name in DOCUMENT_FIELDS])


def write_intervals_csv(outcomes: Iterable[Outcome], out: TextIO, file_column: bool) -> None:
    writer = csv_writer(out)
    writer.writerow((['file'] if file_column else []) + ['account'] + list(INTERVAL_FIELDS))
    for outcome in outcomes:
        if outcome.statement is None:
            continue
        for number, intervals in outcome.statement['accounts'].items():
            for interval in intervals:
                prefix = [outcome.name] if file_column else []
                writer.writerow(prefix + [number] + [interval[name] for name in INTERVAL_FIELDS])


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
        # 'f' keeps plain notation: str() would write a total of 0.0000001 as 1E-7.
        return f"{self.count} {'document' if self.count == 1 else 'documents'}, " \
               f"{format(self.total, 'f')}"


def summarize(name: str, statement: dict[str, Any]) -> list[str]:
    """Per account: documents paid in (payee account) and out (payer account) with totals."""
    documents = statement['documents']
    accounts = statement['accounts']
    lines = [f"{one_line(name)}: {statement['encoding']}, {plural(len(accounts), 'account')}, "
             f"{plural(len(documents), 'document')}, "
             f"{plural(len(statement['warnings']), 'warning')}"]
    incoming = {number: Tally() for number in accounts}
    outgoing = {number: Tally() for number in accounts}
    unmatched, everything = Tally(), Tally()
    for document in documents:
        amount = document['amount']
        everything.add(amount)
        matched = False
        if document['payee_account'] in incoming:
            incoming[document['payee_account']].add(amount)
            matched = True
        if document['counterparty_account'] in outgoing:
            outgoing[document['counterparty_account']].add(amount)
            matched = True
        if not matched:
            unmatched.add(amount)
    for number, intervals in accounts.items():
        lines.append(f'  {number}: {plural(len(intervals), "interval")}; '
                     f'in {incoming[number].render()}; out {outgoing[number].render()}')
    if accounts and unmatched.count:
        lines.append(f'  no listed account: {unmatched.render()}')
    lines.append(f'  all documents: {everything.render()}')
    return lines


def plural(count: int, noun: str) -> str:
    return f'{count} {noun}' if count == 1 else f'{count} {noun}s'


# --- Command line --------------------------------------------------------------------------

@contextmanager
def open_output(path: str | None) -> Iterator[TextIO]:
    """A UTF-8 text stream to the path, or to standard output when the path is None or '-'.

    Data formats are always UTF-8, whatever the locale says standard output should be.
    """
    if path is None or path == STDIN:
        sys.stdout.flush()
        stream = io.TextIOWrapper(sys.stdout.buffer, encoding='utf-8', newline='',
                                  write_through=True)
        try:
            yield stream
            stream.flush()
        finally:
            stream.detach()  # leave sys.stdout open for the caller
    else:
        with open(path, 'w', encoding='utf-8', newline='') as stream:
            yield stream


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog='corvina-convert',
        description='Convert 1CClientBankExchange statements to JSON, CSV or a summary.')
    parser.add_argument('files', nargs='+', metavar='FILE',
                        help="statement files; '-' reads standard input")
    parser.add_argument('-f', '--format', choices=('json', 'csv', 'summary', 'parquet', 'arrow'),
                        default='json',
                        help='json: one object per statement (default); csv: one row per '
                        'document; summary: counts and exact totals per account; parquet, '
                        'arrow: one typed table of all documents in a Parquet or Arrow IPC '
                        'file (needs pyarrow: the corvina_py[arrow] extra)')
    parser.add_argument('-o', '--output', metavar='OUT',
                        help='write here instead of standard output')
    parser.add_argument('--intervals', metavar='OUT',
                        help='with --format csv: also write the accounts\' intervals to OUT')
    parser.add_argument('--file-column', action='store_true',
                        help='with --format csv: start every row with the input file name')
    parser.add_argument('--indent', type=int, metavar='N',
                        help='with --format json: indent nested objects by N spaces')
    parser.add_argument('--strict', action='store_true',
                        help='treat dropped documents (warnings) as errors')
    parser.add_argument('-j', '--jobs', type=positive_int, default=1, metavar='N',
                        help='convert files in N worker processes (default 1)')
    return parser


def positive_int(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f'must be at least 1, not {value}')
    return value


def report(outcomes: Iterable[Outcome], strict: bool, err: TextIO,
           failed: list[str]) -> Iterator[Outcome]:
    """Prints each problem as it passes by and remembers which inputs failed.

    Under strict, a statement with dropped documents has failed: it goes on without its
    statement, so that no writer puts any of it into the output.
    """
    def say(where: str, message: str) -> None:
        print(one_line(f'{where}: {message}'), file=err)

    for outcome in outcomes:
        if outcome.error is not None:
            where = outcome.name if outcome.error_line is None \
                else f'{outcome.name}:{outcome.error_line}'
            say(where, outcome.error)
            failed.append(outcome.name)
        elif outcome.statement is not None:
            # A document that cannot be built is left out of every output: say so.
            for warning in outcome.statement['warnings']:
                kind = 'error' if strict else 'warning'
                say(f"{outcome.name}:{warning['lineno']}", f"{kind}: {warning['message']}")
            if strict and outcome.statement['warnings']:
                failed.append(outcome.name)
                outcome = dataclasses.replace(outcome, statement=None)
        yield outcome


def overwritten_input(outputs: Iterable[str | None], inputs: Iterable[str]) -> str | None:
    """The first output that is already one of the inputs (or another output), if any.

    Files are compared, not names: a link or another spelling of the path is caught too.
    Opening an output truncates it before the inputs are read, which would destroy the input.
    """
    def identity(path: str) -> os.stat_result | None:
        try:
            status = os.fstat(sys.stdin.fileno()) if path == STDIN else os.stat(path)
        except (OSError, ValueError, AttributeError):
            return None  # not there yet, or no standard input to speak of
        # Only a regular file loses its content when opened for writing (/dev/null does not).
        return status if stat.S_ISREG(status.st_mode) else None

    seen = [status for status in map(identity, inputs) if status is not None]
    for output in outputs:
        if output is None or output == STDIN:
            continue
        status = identity(output)
        if status is not None and any(os.path.samestat(status, other) for other in seen):
            return output
        if status is not None:
            seen.append(status)
    return None


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the converter; returns 0, 1 when any input failed, 2 for a wrong command line."""
    parser = build_parser()
    args = parser.parse_args(argv)
    # An option the chosen format would ignore is a mistake in the command line.
    tabular = ('csv', 'parquet', 'arrow')
    for given, option, formats in ((args.intervals is not None, '--intervals', tabular),
                                   (args.file_column, '--file-column', tabular),
                                   (args.indent is not None, '--indent', ('json',))):
        if given and args.format not in formats:
            parser.error(f"{option} needs --format {', '.join(formats[:-1])}"
                         f"{' or ' if len(formats) > 1 else ''}{formats[-1]}")
    if args.files.count(STDIN) > 1:
        parser.error("standard input ('-') can be given only once")
    clobbered = overwritten_input((args.output, args.intervals), args.files)
    if clobbered is not None:
        parser.error(f'{one_line(readable_name(clobbered))} is an input or another output: '
                     'refusing to overwrite it')

    if args.format in ('parquet', 'arrow'):
        from corvina_convert import tables  # imports pyarrow only when it is asked for
        return tables.main(args, parser)

    failed: list[str] = []
    outcomes = report(convert_all(args.files, args.jobs), args.strict, sys.stderr, failed)
    writers: dict[str, Callable[[Iterable[Outcome], TextIO], None]] = {
        'json': lambda items, out: write_json(items, out, args.indent),
        'csv': lambda items, out: write_documents_csv(items, out, args.file_column),
        'summary': lambda items, out: out.writelines(
            line + '\n' for item in items if item.statement is not None
            for line in summarize(item.name, item.statement)),
    }
    try:
        if args.intervals is not None:
            # Both CSV files come from the same outcomes, so keep them for the second pass.
            kept = list(outcomes)
            with open_output(args.output) as out:
                writers['csv'](kept, out)
            with open_output(args.intervals) as out:
                write_intervals_csv(kept, out, args.file_column)
        else:
            with open_output(args.output) as out:
                writers[args.format](outcomes, out)
    except BrokenPipeError:
        raise  # the reader left: not an output error worth a message
    except OSError as error:
        target = readable_name(error.filename) if error.filename is not None else 'output'
        print(one_line(f'{target}: {error.strerror or error}'), file=sys.stderr)
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


if __name__ == '__main__':
    run()
