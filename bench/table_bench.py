#!/usr/bin/env python3
"""From statement bytes to a pyarrow table: the parse alone, the parse plus documents_table(),
and the parse plus a Python loop over the attributes, side by side; and the peak memory of the
table path.

    python bench/table_bench.py FILE [--runs 5] [--reference]

Needs pyarrow. --reference also times the pure-Python parser of the PyPI package client-bank-1c
followed by pandas.DataFrame, as a speed reference: install it only into the benchmark's own
virtual environment (see bench/README.md), never beside the project.

Targets (50 MB generated statement, both encodings): parse + table at most 1.3x the parse; at
least 6x faster than the attribute loop into a table and 30x faster than the reference; peak
memory of parse + table at most 3x the input above the baseline. Exits with 1 when a target is
missed on an input of 10 MB or more.
"""

from __future__ import annotations

import argparse
import datetime
import decimal
import json
import subprocess
import sys

import pyarrow

import corvina_py
from timing import median_seconds, medians

DOCUMENT_FIELDS = [name for name, value in vars(corvina_py.Document).items()
                   if isinstance(value, type(corvina_py.Document.amount))]


def parse_and_table(data: bytes) -> pyarrow.Table:
    return pyarrow.table(corvina_py.parse(data).documents_table())


def parse_and_loop(data: bytes, typed: bool) -> pyarrow.Table:
    """What a user writes without the table path: the attributes read one by one into columns.

    Typed, dates become datetime.date and amounts decimal.Decimal, so that the result is the
    same table as documents_table() gives (its schema included); untyped, every value stays
    the attribute's text.
    """
    statement = corvina_py.parse(data)
    documents = statement.documents
    columns = {name: [getattr(d, name) for d in documents] for name in DOCUMENT_FIELDS}
    if not typed:
        return pyarrow.table(columns)
    schema = pyarrow.schema(statement.documents_table())
    for field in schema:
        if pyarrow.types.is_date32(field.type):
            convert = datetime.date.fromisoformat
        elif pyarrow.types.is_decimal(field.type):
            convert = decimal.Decimal
        else:
            continue
        columns[field.name] = [None if v is None else convert(v) for v in columns[field.name]]
    return pyarrow.table(columns, schema=schema)


def reference_seconds(path: str, encoding: str, runs: int) -> float | None:
    """client-bank-1c's load of the file followed by pandas.DataFrame, or None if absent."""
    try:
        import client_bank_1c  # type: ignore[import-not-found]
        import pandas
    except ImportError:
        return None

    def body() -> None:
        # It reads a text stream: the file is decoded with the encoding corvina_py detected.
        with open(path, encoding=encoding) as stream:
            statement = client_bank_1c.load(stream)
        pandas.DataFrame(statement.documents)

    return median_seconds(runs, body)


# Runs in a fresh interpreter so that no earlier run's heap hides the peak. The peak is the
# high-water mark of this process's own memory map (VmHWM): getrusage would also count the
# parent's, which the child inherits when it is spawned from the parent's address space.
MEMORY_CHILD = r'''
import gc, json, resource, sys
import pyarrow
import corvina_py

def resident():
    with open('/proc/self/statm') as f:
        return int(f.read().split()[1]) * resource.getpagesize()

def high_water():
    with open('/proc/self/status') as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith('VmHWM:'))

with open(sys.argv[1], 'rb') as f:
    data = f.read()
pyarrow.table({'warm': ['up']})  # pyarrow sets up its memory pool on first use
gc.collect()
baseline = resident()
table = pyarrow.table(corvina_py.parse(data).documents_table())
print(json.dumps({'size': len(data), 'peak': high_water() - baseline, 'rows': table.num_rows}))
'''


def peak_memory(path: str) -> dict:
    out = subprocess.run([sys.executable, '-c', MEMORY_CHILD, path], check=True,
                         capture_output=True, text=True).stdout
    return json.loads(out)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('file')
    parser.add_argument('--runs', type=int, default=5)
    parser.add_argument('--reference', action='store_true',
                        help='also time client-bank-1c + pandas.DataFrame when it is installed')
    args = parser.parse_args()
    with open(args.file, 'rb') as f:
        data = f.read()
    statement = corvina_py.parse(data)
    encoding = statement.encoding
    megabytes = len(data) / 1e6
    print(f'input: {megabytes:.1f} MB {statement.encoding}, {len(statement.documents)} '
          f'documents, median of {args.runs} runs')
    del statement

    parse_and_table(data)  # pyarrow sets itself up on the first import
    timed = medians(args.runs, {
        'parse': lambda: corvina_py.parse(data),
        'table': lambda: parse_and_table(data),
        'loop': lambda: parse_and_loop(data, typed=True),
        'texts': lambda: parse_and_loop(data, typed=False),
    })
    parse, table, loop, texts = timed['parse'], timed['table'], timed['loop'], timed['texts']
    print(f'parse                      {parse * 1e3:9.1f} ms')
    print(f'parse + documents_table()  {table * 1e3:9.1f} ms  {table / parse:5.2f}x the parse '
          f'(target <= 1.3x)')
    print(f'parse + attribute loop     {loop * 1e3:9.1f} ms  {loop / table:5.1f}x the table path '
          f'(same table; target >= 6x)')
    print(f'  the loop, texts only     {texts * 1e3:9.1f} ms  {texts / table:5.1f}x the table path '
          f'(dates and amounts left as str)')
    ok = table / parse <= 1.3 and loop / table >= 6
    if args.reference:
        reference = reference_seconds(args.file, encoding, max(1, args.runs // 2))
        if reference is None:
            print('client-bank-1c + pandas    not installed')
        else:
            print(f'client-bank-1c + pandas    {reference * 1e3:9.1f} ms  '
                  f'{reference / table:5.1f}x the table path (target >= 30x)')
            ok = ok and reference / table >= 30

    memory = peak_memory(args.file)
    peak = memory['peak'] / memory['size']
    print(f'peak of parse + table      {memory["peak"] / 1e6:9.1f} MB  {peak:5.2f}x input '
          f'above baseline (target <= 3x)')
    ok = ok and peak <= 3
    if len(data) < 10_000_000:
        print('targets apply from 10 MB of input')
        return
    sys.exit(0 if ok else 1)


if __name__ == '__main__':
    main()
