"""The columnar formats of corvina-convert: Parquet and Arrow IPC files, through pyarrow.

Each statement becomes a table in C++ (Statement.documents_table()), without a Python object
per value; the tables of all inputs are then joined into one file. pyarrow is an optional
dependency, installed with the `arrow` extra.
"""

from __future__ import annotations

import argparse
import contextlib
import functools
import importlib.util
import os
import sys
from typing import Any

import corvina_py
from corvina_convert import messages, reading
from corvina_convert.cli import (STDIN, Output, OutputError, Spilled, Unconvertible, one_line,
                                 outcomes_of)
from corvina_convert.i18n import _

FORMATS = ('parquet', 'arrow')
MISSING_PYARROW = ("--format {format} needs pyarrow, which is not installed; install it with "
                   "`pip install 'corvina_py[arrow]'`")


def have_pyarrow() -> bool:
    return importlib.util.find_spec('pyarrow') is not None


def pyarrow_module(name: str = 'pyarrow') -> Any:
    # Imported on use: the other formats must work without pyarrow installed.
    return importlib.import_module(name)


def ipc_bytes(table: Any) -> bytes:
    pyarrow = pyarrow_module()
    sink = pyarrow.BufferOutputStream()
    with pyarrow.ipc.new_stream(sink, table.schema) as writer:
        writer.write_table(table)
    return bytes(sink.getvalue().to_pybytes())


def load_table(piece: Any) -> Any:
    """The table of a piece: the table itself from this process, an Arrow IPC stream from a
    worker, read in place (its buffers are views into the bytes or the mapped file)."""
    pyarrow = pyarrow_module()
    if isinstance(piece, Spilled):
        source = pyarrow.memory_map(piece.path)
        os.unlink(piece.path)  # the mapping stays
        return pyarrow.ipc.open_stream(source).read_all()
    if isinstance(piece, bytes):
        return pyarrow.ipc.open_stream(piece).read_all()
    return piece


def table_pieces(name: str, statement: corvina_py.Statement, intervals: bool,
                 packed: bool) -> tuple[Any, ...]:
    """The statement's documents (and intervals) table, packed as Arrow IPC streams when they
    go back from a worker process: the buffers then travel as they are, three times faster
    than a pickled table, and the parent reads them in place."""
    pyarrow = pyarrow_module()
    try:
        tables = [pyarrow.table(statement.documents_table())]
        if intervals:
            tables.append(pyarrow.table(statement.intervals_table()))
    except ValueError as error:  # a value with no place in its column: never written wrong
        raise Unconvertible(f'{error}; this statement cannot be written as a table: convert it '
                            'with -f json or -f csv') from error
    tables = [one_batch(table) for table in tables]
    return tuple(map(ipc_bytes, tables)) if packed else tuple(tables)


def one_batch(table: Any) -> Any:
    """The table in one batch, as a statement's table is on one thread.

    A large statement's table comes in one batch per thread that built it, and the writers
    follow batches: the Parquet pages and the Arrow record batches, and so the bytes of the
    file, would depend on the cores of the machine. Joining them copies the buffers once, a
    small share of what the writer costs. A table whose texts pass what one batch holds stays
    as it is.
    """
    if table.num_rows == 0 or len(table.column(0).chunks) <= 1:
        return table
    pyarrow = pyarrow_module()
    try:
        return table.combine_chunks()
    except pyarrow.ArrowInvalid:
        return table


def join_tables(named: list[tuple[str, Any]], file_column: bool,
                beyond_38_digits: bool = False) -> Any:
    """The tables of all inputs as one, each amount column at the largest scale among them.

    Each statement's amounts have the scale its own values need (at least 2); widening a
    column to another statement's scale is exact, and a value that would need more than 38
    digits there fails the cast (pyarrow.ArrowInvalid) rather than being rounded.

    The widening goes through 76 digits and back: pyarrow rescales a decimal128 column in
    place without checking that the values still fit, and one that overflows becomes another
    number (a 29-digit amount at scale 28 comes out as 2126764792.2558...); narrowing to 38
    digits afterwards is checked. With beyond_38_digits, columns that do not fit stay at 76
    digits, which hold any amount the parser reads at any scale it reads.
    """
    pyarrow = pyarrow_module()
    tables = [table for _, table in named]
    fields, wide_fields = [], []
    for index, field in enumerate(tables[0].schema):
        wide = field
        if pyarrow.types.is_decimal(field.type):
            scale = max(table.schema.field(index).type.scale for table in tables)
            field = field.with_type(pyarrow.decimal128(38, scale))
            wide = field.with_type(pyarrow.decimal256(76, scale))
        fields.append(field)
        wide_fields.append(wide)
    schema, wide_schema = pyarrow.schema(fields), pyarrow.schema(wide_fields)
    try:
        tables = [table if table.schema == schema else table.cast(wide_schema).cast(schema)
                  for table in tables]
    except pyarrow.ArrowInvalid:
        if not beyond_38_digits:
            raise
        tables = [table.cast(wide_schema) for table in tables]
    if file_column:
        # The name repeated in Arrow itself: a list of it would cost a Python object per row.
        tables = [table.add_column(0, 'file', pyarrow.repeat(
                      pyarrow.scalar(name, pyarrow.string()), table.num_rows))
                  for (name, _), table in zip(named, tables)]
    return pyarrow.concat_tables(tables)


def write_table(table: Any, output: Output, format: str) -> None:
    """Writes the table into the output's temporary file, or, when the output is a stream that
    cannot seek (standard output, a pipe), builds the file in memory and writes its bytes.

    pyarrow is handed an open file, never a path: given a path, it removes that path when a
    write fails, whatever the path is.
    """
    pyarrow = pyarrow_module()
    sink = pyarrow.OSFile(output.temp, 'wb') if output.temp is not None \
        else pyarrow.BufferOutputStream()
    try:
        with contextlib.closing(sink):
            if format == 'parquet':
                pyarrow_module('pyarrow.parquet').write_table(table, sink)
            else:
                with pyarrow.ipc.new_file(sink, table.schema) as writer:
                    writer.write_table(table)
            if output.temp is None:
                output.write(sink.getvalue().to_pybytes())
    except OSError as error:
        raise OutputError.of(output.name, error) from error


def write_outputs(args: argparse.Namespace, parser: argparse.ArgumentParser,
                  failed: list[str]) -> bool:
    """Writes --output (and --intervals) as a Parquet or Arrow IPC file; True when an output
    failed. No file is written when no input could be converted."""
    if not have_pyarrow():
        parser.error(_(MISSING_PYARROW).format(format=args.format))
    if args.output is None or args.output == STDIN:
        parser.error(_('--format {format} writes a file: give it with -o OUT').format(
            format=args.format))
    pyarrow = pyarrow_module()

    format = functools.partial(table_pieces, intervals=args.intervals is not None,
                               packed=args.jobs > 1)
    # Loaded as they come: the files of spilled pieces are gone once the run's outcomes are.
    converted = [(outcome.name, tuple(map(load_table, outcome.pieces))) for outcome in
                 outcomes_of(args, format, failed) if outcome.pieces is not None]
    if not converted:
        return False
    targets = [args.output] if args.intervals is None else [args.output, args.intervals]
    with contextlib.ExitStack() as stack:
        outputs = [stack.enter_context(Output(target)) for target in targets]
        for kind, output in enumerate(outputs):
            named = [(name, pieces[kind]) for name, pieces in converted]
            dedupe = args.dedupe and kind == 0
            try:
                # The copies are told apart by their file, with or without its column.
                table = join_tables(named, args.file_column or dedupe)
            except pyarrow.ArrowInvalid as error:
                print(one_line(f'{output.name}: {messages.table_join(error)}'), file=sys.stderr)
                return True
            if dedupe:
                table, duplicates, _copies = reading.drop_duplicates(table)
                if not args.file_column:
                    table = table.drop_columns(['file'])
                print(reading.dropped_message(duplicates.num_rows), file=sys.stderr)
            write_table(table, output, args.format)
        for output in outputs:
            output.commit()
    return False
