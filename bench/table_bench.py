#!/usr/bin/env python3
"""From statement bytes to a pyarrow table: the parse alone, the parse plus documents_table(),
and the parse plus a Python loop over the attributes, side by side; and the peak memory of the
table path. Then the same documents as CSV (written by corvina-convert -f csv), read by the two
CSV readers a data engineer would compare with, every column as text and default threads:
pyarrow.csv.read_csv and polars.read_csv, each with its CPU time over wall time.

    python bench/table_bench.py FILE [--runs 5] [--reference]
    python bench/table_bench.py --sizes 50M [500M] [--runs 5]
    python bench/table_bench.py --sizes 50M --against OTHER_BUILD/corvina_py.so --runs 30

--sizes generates a statement of each size in both encodings (in --keep DIR when given, reused
from there on later runs) and runs the CSV comparison alone on each. CORVINA_THREADS=1 in the
environment puts the parse and the table on one thread. --against times parse plus table on one
thread against another build of the module, both loaded into this interpreter.

Needs pyarrow. --reference also times the pure-Python parser of the PyPI package client-bank-1c
followed by pandas.DataFrame, as a speed reference: install it only into the benchmark's own
virtual environment (see bench/README.md), never beside the project.

Targets (50 MB generated statement, both encodings): parse + table at most 1.3x the parse; at
least 6x faster than the attribute loop into a table and 30x faster than the reference; peak
memory of parse + table at most 3x the input above the baseline; parse + table at most 1.0x the
faster CSV reader (50 MB and 500 MB, both encodings). Exits with 1 when a target is missed on an
input of 10 MB or more.
"""

from __future__ import annotations

import argparse
import datetime
import decimal
import importlib.machinery
import importlib.util
import io
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
from typing import Any, Callable

import pyarrow
import pyarrow.csv

import corvina_py
from generate_statements import generate, parse_size
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


def medians_with_cpu(runs: int, bodies: dict[str, Callable[[], object]]
                     ) -> dict[str, tuple[float, float]]:
    """Each body's median wall time and the median of its CPU time over wall time (the process's
    CPU, every thread's), the bodies in turn within each round as timing.medians does."""
    walls: dict[str, list[float]] = {name: [] for name in bodies}
    shares: dict[str, list[float]] = {name: [] for name in bodies}
    for _ in range(runs):
        for name, body in bodies.items():
            cpu, start = time.process_time(), time.perf_counter()
            body()
            wall = time.perf_counter() - start
            walls[name].append(wall)
            shares[name].append((time.process_time() - cpu) / wall)
    return {name: (statistics.median(walls[name]), statistics.median(shares[name]))
            for name in bodies}


def document_csv(path: str, keep: bool = False) -> bytes:
    """The statement's documents as corvina-convert writes them in CSV; with `keep`, written
    beside the statement and reused from there."""
    with tempfile.TemporaryDirectory(prefix='table-bench-') as folder:
        out = path + '.csv' if keep else os.path.join(folder, 'documents.csv')
        if not (keep and os.path.exists(out)):
            subprocess.run([sys.executable, '-m', 'corvina_convert', '-f', 'csv', '-o', out,
                            path], check=True)
        with open(out, 'rb') as f:
            return f.read()


def on_one_thread(body: Callable[[], object]) -> Callable[[], object]:
    """body with CORVINA_THREADS=1, which each call reads."""
    def run() -> object:
        saved = os.environ.get('CORVINA_THREADS')
        os.environ['CORVINA_THREADS'] = '1'
        try:
            return body()
        finally:
            if saved is None:
                del os.environ['CORVINA_THREADS']
            else:
                os.environ['CORVINA_THREADS'] = saved
    return run


def csv_readers(csv: bytes) -> dict[str, Callable[[], object]]:
    """The CSV readers, each reading the bytes from memory with every column as text."""
    header = csv[:csv.index(b'\n') + 1]
    columns = pyarrow.csv.read_csv(pyarrow.BufferReader(header)).column_names
    options = pyarrow.csv.ConvertOptions(column_types={name: pyarrow.string() for name in columns})
    readers: dict[str, Callable[[], object]] = {
        'pyarrow.csv.read_csv': lambda: pyarrow.csv.read_csv(pyarrow.BufferReader(csv),
                                                             convert_options=options)}
    try:
        import polars
    except ImportError:
        print('polars.read_csv            not installed')
    else:
        readers['polars.read_csv'] = lambda: polars.read_csv(io.BytesIO(csv), infer_schema=False)
    return readers


def compare_with_csv(path: str, runs: int, keep: bool = False) -> bool:
    """Parse plus table, on the threads the environment allows and on one, against the CSV
    readers on the same documents; True when the first is at most as slow as the faster
    reader."""
    with open(path, 'rb') as f:
        data = f.read()
    csv = document_csv(path, keep)
    statement = corvina_py.parse(data)
    print(f'{len(data) / 1e6:.0f} MB {statement.encoding}, {len(statement.documents)} documents; '
          f'their CSV {len(csv) / 1e6:.0f} MB; median of {runs} runs, CPU/wall beside each')
    del statement
    path_names = ('parse + table', '  the same, one thread')
    bodies = {path_names[0]: lambda: parse_and_table(data),
              path_names[1]: on_one_thread(lambda: parse_and_table(data)), **csv_readers(csv)}
    for body in bodies.values():
        body()  # each library sets itself up on its first call
    timed = medians_with_cpu(runs, bodies)
    table = timed[path_names[0]][0]
    for name, (wall, share) in timed.items():
        against = f'  table path {table / wall:4.2f}x this' if name != path_names[0] else ''
        print(f'  {name:<24} {wall * 1e3:9.1f} ms  CPU/wall {share:4.2f}{against}')
    fastest = min(wall for name, (wall, _) in timed.items() if name not in path_names)
    print(f'  table path {table / fastest:4.2f}x the faster reader (target <= 1.0x)')
    return table <= fastest


def load_build(path: str) -> Any:
    """Another build of the module, loaded from its file beside this one: both then run in one
    interpreter, on the same bytes and the same heap."""
    loader = importlib.machinery.ExtensionFileLoader('corvina_py', path)
    spec = importlib.util.spec_from_file_location('corvina_py', path, loader=loader)
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    return module


def compare_builds(path: str, other: str, rounds: int) -> None:
    """Parse plus table in this build and in `other`, called in turn (each round in the other
    order), with CORVINA_THREADS=1 and then on the threads the environment allows, and the ratio
    of this build's time to the other's, round by round: a burst of load then slows both sides
    of a ratio alike."""
    with open(path, 'rb') as f:
        data = f.read()
    builds = {'this build': corvina_py, 'the other': load_build(other)}
    for threads, wrap in (('CORVINA_THREADS=1', on_one_thread), ('default threads', None)):
        times: dict[str, list[float]] = {name: [] for name in builds}
        bodies = {}
        for name, module in builds.items():
            def body(m: Any = module) -> object:
                return pyarrow.table(m.parse(data).documents_table())
            bodies[name] = wrap(body) if wrap else body
        for body in bodies.values():
            body()
        for turn in range(rounds):
            for name in (list(bodies) if turn % 2 == 0 else list(reversed(bodies))):
                start = time.perf_counter()
                bodies[name]()
                times[name].append(time.perf_counter() - start)
        ratios = sorted(a / b for a, b in zip(times['this build'], times['the other']))
        mine, theirs = times['this build'], times['the other']
        print(f'{os.path.basename(path)}, {threads}, {rounds} rounds: this build '
              f'{statistics.median(mine) * 1e3:.1f} ms (best {min(mine) * 1e3:.1f}), the other '
              f'{statistics.median(theirs) * 1e3:.1f} ms (best {min(theirs) * 1e3:.1f}); ratio '
              f'{statistics.median(ratios):.3f}, quartiles {ratios[len(ratios) // 4]:.3f} to '
              f'{ratios[3 * len(ratios) // 4]:.3f}')


def compare_sizes(sizes: list[str], runs: int, keep: str | None, against: str | None) -> bool:
    """compare_with_csv (or compare_builds) on generated statements of each size, in both
    encodings."""
    ok = True
    with tempfile.TemporaryDirectory(prefix='table-bench-') as scratch:
        folder = keep or scratch
        os.makedirs(folder, exist_ok=True)
        for size in sizes:
            for encoding in ('cp1251', 'utf-8'):
                path = os.path.join(folder, f'statement-{size}-{encoding}.txt')
                if not os.path.exists(path):
                    with open(path, 'wb') as out:
                        out.write(generate(parse_size(size), 1, encoding).encode(encoding))
                if against is not None:
                    compare_builds(path, against, runs)
                else:
                    ok = compare_with_csv(path, runs, keep is not None) and ok
    return ok


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('file', nargs='?')
    parser.add_argument('--runs', type=int, default=5)
    parser.add_argument('--reference', action='store_true',
                        help='also time client-bank-1c + pandas.DataFrame when it is installed')
    parser.add_argument('--sizes', nargs='+', metavar='SIZE',
                        help='compare with the CSV readers on generated statements of these '
                        'sizes (50M, 500M), both encodings, instead of FILE')
    parser.add_argument('--keep', metavar='DIR',
                        help='with --sizes: keep the generated statements here, and reuse them')
    parser.add_argument('--against', metavar='MODULE_FILE',
                        help="with --sizes: instead, parse + table against another build's "
                        "corvina_py*.so, on one thread and on the default threads, RUNS rounds "
                        "in turn")
    args = parser.parse_args()
    if args.sizes:
        sys.exit(0 if compare_sizes(args.sizes, args.runs, args.keep, args.against) else 1)
    if args.file is None:
        parser.error('give FILE or --sizes')
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
    ok = compare_with_csv(args.file, args.runs) and ok
    if len(data) < 10_000_000:
        print('targets apply from 10 MB of input')
        return
    sys.exit(0 if ok else 1)


if __name__ == '__main__':
    main()
