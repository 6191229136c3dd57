"""The columnar formats of corvina-convert: Parquet and Arrow IPC files, through pyarrow.

Each statement becomes a table in C++ (Statement.documents_table()), without a Python object
per value; the tables of all inputs are then joined into one file. pyarrow is an optional
dependency, installed with the `arrow` extra.
"""

from __future__ import annotations

import argparse
import concurrent.futures
import functools
import importlib.util
import sys
from collections.abc import Iterator, Sequence
from typing import Any

from corvina_convert import STDIN, Outcome, convert_file, parse_or_refuse, report

FORMATS = ('parquet', 'arrow')
MISSING_PYARROW = ("--format {format} needs pyarrow, which is not installed; install it with "
                   "`pip install 'corvina_py[arrow]'`")


def have_pyarrow() -> bool:
    return importlib.util.find_spec('pyarrow') is not None


def pyarrow_module(name: str = 'pyarrow') -> Any:
    # Imported on use: the other formats must work without pyarrow installed.
    return importlib.import_module(name)


def convert_table_data(name: str, data: bytes, intervals: bool) -> Outcome:
    pyarrow = pyarrow_module()
    statement = parse_or_refuse(name, data)
    if isinstance(statement, Outcome):
        return statement
    try:
        tables = {'documents': pyarrow.table(statement.documents_table())}
        if intervals:
            tables['intervals'] = pyarrow.table(statement.intervals_table())
    except ValueError as error:  # a value with no place in its column: never written wrong
        return Outcome(name, error=str(error))
    # The warnings in the shape report() reads; the tables travel between processes as pickles.
    return Outcome(name, statement={
        'encoding': statement.encoding,
        'warnings': [{'lineno': lineno, 'message': message}
                     for lineno, message in statement.warnings],
        'tables': tables,
    })


def convert_table_file(path: str, intervals: bool) -> Outcome:
    return convert_file(path, functools.partial(convert_table_data, intervals=intervals))


def convert_all_tables(paths: Sequence[str], jobs: int, intervals: bool) -> Iterator[Outcome]:
    """One outcome per path, in the order given."""
    def convert_one(path: str) -> Outcome:
        if path == STDIN:
            return convert_table_data('<stdin>', sys.stdin.buffer.read(), intervals)
        return convert_table_file(path, intervals)

    files = [path for path in paths if path != STDIN]
    if jobs <= 1 or len(files) <= 1:
        yield from map(convert_one, paths)
        return
    convert = functools.partial(convert_table_file, intervals=intervals)
    with concurrent.futures.ProcessPoolExecutor(max_workers=min(jobs, len(files))) as pool:
        futures = {path: pool.submit(convert, path) for path in files}
        for path in paths:
            yield convert_one(path) if path == STDIN else futures[path].result()


def join_tables(named: list[tuple[str, Any]], file_column: bool) -> Any:
    """The tables of all inputs as one, each amount column at the largest scale among them.

    Each statement's amounts have the scale its own values need (at least 2); widening a
    column to another statement's scale is exact, and a value that would need more than 38
    digits there fails the cast (pyarrow.ArrowInvalid) rather than being rounded.
    """
    pyarrow = pyarrow_module()
    tables = [table for _, table in named]
    fields = []
    for index, field in enumerate(tables[0].schema):
        if pyarrow.types.is_decimal(field.type):
            scale = max(table.schema.field(index).type.scale for table in tables)
            field = field.with_type(pyarrow.decimal128(38, scale))
        fields.append(field)
    schema = pyarrow.schema(fields)
    tables = [table.cast(schema) for table in tables]
    if file_column:
        tables = [table.add_column(0, 'file', pyarrow.array([name] * table.num_rows,
                                                            pyarrow.string()))
                  for (name, _), table in zip(named, tables)]
    return pyarrow.concat_tables(tables)


def write_table(table: Any, path: str, format: str) -> None:
    if format == 'parquet':
        pyarrow_module('pyarrow.parquet').write_table(table, path)
        return
    pyarrow = pyarrow_module()
    with pyarrow.OSFile(path, 'wb') as sink, pyarrow.ipc.new_file(sink, table.schema) as writer:
        writer.write_table(table)


def main(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    """Writes --output (and --intervals) as a Parquet or Arrow IPC file; 1 when an input or
    the output failed. No file is written when no input could be converted."""
    if not have_pyarrow():
        parser.error(MISSING_PYARROW.format(format=args.format))
    if args.output is None or args.output == STDIN:
        parser.error(f'--format {args.format} writes a file: give it with -o OUT')
    pyarrow = pyarrow_module()

    failed: list[str] = []
    outcomes = report(convert_all_tables(args.files, args.jobs, args.intervals is not None),
                      args.strict, sys.stderr, failed)
    converted = [(outcome.name, outcome.statement['tables']) for outcome in outcomes
                 if outcome.statement is not None]
    targets = [('documents', args.output)]
    if args.intervals is not None:
        targets.append(('intervals', args.intervals))
    for kind, path in targets if converted else []:
        named = [(name, tables[kind]) for name, tables in converted]
        try:
            write_table(join_tables(named, args.file_column), path, args.format)
        except pyarrow.ArrowInvalid as error:
            print(f'{path}: {error}', file=sys.stderr)
            return 1
        except OSError as error:
            print(f'{path}: {error.strerror or error}', file=sys.stderr)
            return 1
    return 1 if failed else 0
