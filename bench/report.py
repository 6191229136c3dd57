#!/usr/bin/env python3
"""Runs the benchmark set and writes its figures to one results file, for charts.py to draw.

    python bench/report.py [--size 20M] [--runs 5] [--memory-sizes 1M,10M,50M] [--data DIR]
                           [-o bench/results.json] [--quick]

Per encoding, on generated statements (generate_statements.py, fixed seed):
- throughput: the same documents through corvina_py.parse, parse plus a pyarrow table, and the
  anchors: a line count at memchr speed (bytes.count), decode().splitlines(), csv.reader,
  pyarrow's and polars' CSV readers over the converter's CSV of the documents, and the
  pure-Python parser of the PyPI package client-bank-1c when this environment has it;
- threads: a parse on one thread against the default, round by round;
- writing: corvina_convert.dumps of the parsed statement against the parse;
- typed records: the parse plus Statement.records() against the parse, and against
  client-bank-1c when this environment has it (its documents are dicts of dates and Decimals too);
- checking: corvina_convert.check_files of the file against reading and parsing it;
- memory: the peak while parsing and what the Statement keeps, per input size, each in a fresh
  interpreter.
Bodies compared with each other run in turn within each round, so their ratios hold on a busy
machine. --quick runs everything once on small inputs, only to show that it works.
"""

from __future__ import annotations

import argparse
import csv
import datetime
import io
import json
import os
import pathlib
import platform
import statistics
import subprocess
import sys
import tempfile
import time
from typing import Any, Callable

import corvina_py
import corvina_convert
import pyarrow

import memory_bench
from generate_statements import generate, parse_size
from table_bench import csv_readers, document_csv, on_one_thread
from timing import in_turn

HERE = pathlib.Path(__file__).resolve().parent
ENCODINGS = ('cp1251', 'utf-8')


def machine() -> dict[str, Any]:
    """What the figures were measured on."""
    cpu = platform.processor() or platform.machine()
    try:
        with open('/proc/cpuinfo') as f:
            cpu = next(line.split(':', 1)[1].strip() for line in f
                       if line.startswith('model name'))
    except (OSError, StopIteration):
        pass
    memory = None
    try:
        memory = os.sysconf('SC_PAGE_SIZE') * os.sysconf('SC_PHYS_PAGES')
    except (ValueError, OSError, AttributeError):
        pass
    return {'cpu': cpu, 'cores': os.cpu_count(), 'memory_bytes': memory,
            'system': f'{platform.system()} {platform.release()}',
            'python': platform.python_version(),
            'corvina_py': installed_version()}


def installed_version() -> str:
    from importlib.metadata import PackageNotFoundError, version
    try:
        return version('corvina_py')
    except PackageNotFoundError:
        return 'not installed'


def statement_file(folder: pathlib.Path, size: str, encoding: str) -> pathlib.Path:
    """A generated statement, written once and reused from the folder."""
    path = folder / f'statement-{size}.{encoding}.txt'
    if not path.exists():
        text = generate(parse_size(size), 1, encoding)
        partial = path.with_suffix('.partial')
        partial.write_bytes(text.encode(encoding))
        partial.replace(path)
    return path


def reference_parser() -> Callable[[str], object] | None:
    """The pure-Python peer, when this environment has it (never installed beside the project)."""
    try:
        import client_bank_1c  # type: ignore[import-not-found]
    except ImportError:
        return None
    return lambda text: client_bank_1c.load(io.StringIO(text, newline=None))


def throughput(path: pathlib.Path, runs: int) -> dict[str, Any]:
    data = path.read_bytes()
    statement = corvina_py.parse(data)
    documents = len(statement.documents)
    encoding = statement.encoding
    del statement
    csv_bytes = document_csv(str(path))
    csv_text = csv_bytes.decode('utf-8')

    def read_csv_rows() -> None:
        for _ in csv.reader(io.StringIO(csv_text)):
            pass

    bodies: dict[str, Callable[[], object]] = {
        'line count at memchr speed (bytes.count)': lambda: data.count(b'\n'),
        'decode().splitlines()': lambda: data.decode(encoding).splitlines(),
        'csv.reader': read_csv_rows,
        **csv_readers(csv_bytes),
        'corvina_py.parse': lambda: corvina_py.parse(data),
        'parse + pyarrow table': lambda: pyarrow.table(corvina_py.parse(data).documents_table()),
    }
    inputs = {'csv.reader': len(csv_bytes), 'pyarrow.csv.read_csv': len(csv_bytes),
              'polars.read_csv': len(csv_bytes)}
    medians = {name: statistics.median(values) for name, values in in_turn(runs, bodies).items()}
    reference = reference_parser()
    if reference is not None:
        text = data.decode(encoding)
        medians['client-bank-1c'] = statistics.median(
            in_turn(max(1, runs // 3), {'reference': lambda: reference(text)})['reference'])
    rows = [{'name': name, 'seconds': seconds,
             'input_mb': inputs.get(name, len(data)) / 1e6,
             'mb_per_s': inputs.get(name, len(data)) / 1e6 / seconds,
             'documents_per_s': documents / seconds,
             'ours': name in ('corvina_py.parse', 'parse + pyarrow table')}
            for name, seconds in medians.items()]
    return {'input_mb': len(data) / 1e6, 'documents': documents, 'runs': runs,
            'reference_installed': reference is not None, 'rows': rows}


def threads(path: pathlib.Path, runs: int) -> dict[str, Any]:
    data = path.read_bytes()
    times = in_turn(runs, {'one thread': on_one_thread(lambda: corvina_py.parse(data)),
                           'default threads': lambda: corvina_py.parse(data)})
    ratios = [one / default for one, default in zip(times['one thread'],
                                                    times['default threads'])]
    megabytes = len(data) / 1e6
    return {'input_mb': megabytes, 'runs': runs,
            'rows': [{'name': name, 'seconds': statistics.median(values),
                      'mb_per_s': megabytes / statistics.median(values)}
                     for name, values in times.items()],
            'speed_up': statistics.median(ratios)}


def writing(path: pathlib.Path, runs: int) -> dict[str, Any]:
    data = path.read_bytes()
    statement = corvina_py.parse(data)
    encoding = statement.encoding
    return seconds_rows(data, in_turn(runs, {
        'corvina_py.parse': lambda: corvina_py.parse(data),
        'corvina_convert.dumps': lambda: corvina_convert.dumps(statement, encoding=encoding)}),
        runs)


def records(path: pathlib.Path, runs: int) -> dict[str, Any]:
    data = path.read_bytes()
    bodies: dict[str, Callable[[], object]] = {
        'corvina_py.parse': lambda: corvina_py.parse(data),
        'parse + records()': lambda: corvina_py.parse(data).records(),
    }
    reference = reference_parser()
    if reference is not None:
        text = data.decode(corvina_py.parse(data).encoding)
        bodies['client-bank-1c'] = lambda: reference(text)
    return seconds_rows(data, in_turn(runs, bodies), runs)


def checking(path: pathlib.Path, runs: int) -> dict[str, Any]:
    data = path.read_bytes()

    def read_and_parse() -> object:
        return corvina_py.parse(path.read_bytes())

    return seconds_rows(data, in_turn(runs, {
        'read + parse': read_and_parse,
        'corvina_convert.check_files': lambda: corvina_convert.check_files([str(path)])}), runs)


def seconds_rows(data: bytes, times: dict[str, list[float]], runs: int) -> dict[str, Any]:
    megabytes = len(data) / 1e6
    return {'input_mb': megabytes, 'runs': runs,
            'rows': [{'name': name, 'seconds': statistics.median(values),
                      'mb_per_s': megabytes / statistics.median(values)}
                     for name, values in times.items()]}


def memory(folder: pathlib.Path, sizes: list[str]) -> list[dict[str, Any]]:
    rows = []
    for encoding in ENCODINGS:
        for size in sizes:
            m = memory_bench.measure(str(statement_file(folder, size, encoding)))
            rows.append({'encoding': encoding, 'input_mb': m['size'] / 1e6,
                         'peak_x': m['peak'] / m['size'], 'retained_x': m['retained'] / m['size']})
    return rows


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--size', default='20M', help='the statements timed (default 20M)')
    parser.add_argument('--runs', type=int, default=5)
    parser.add_argument('--memory-sizes', default='1M,10M,50M',
                        help='comma-separated sizes for the memory figures')
    parser.add_argument('--data', help='folder for the generated statements (kept and reused)')
    parser.add_argument('-o', '--output', default=str(HERE / 'results.json'))
    parser.add_argument('--quick', action='store_true',
                        help='one run on small inputs, only to show that everything works')
    args = parser.parse_args()
    if args.quick:
        args.size, args.runs, args.memory_sizes = '200K', 1, '200K'
    started = time.monotonic()
    with tempfile.TemporaryDirectory(prefix='corvina-report-') as scratch:
        folder = pathlib.Path(args.data or scratch)
        folder.mkdir(parents=True, exist_ok=True)
        results: dict[str, Any] = {
            'date': datetime.date.today().isoformat(), 'machine': machine(),
            'size': args.size, 'throughput': {}, 'threads': {}, 'writing': {}, 'records': {},
            'checking': {}}
        for encoding in ENCODINGS:
            path = statement_file(folder, args.size, encoding)
            print(f'{encoding}: throughput', flush=True)
            results['throughput'][encoding] = throughput(path, args.runs)
            print(f'{encoding}: threads', flush=True)
            results['threads'][encoding] = threads(path, max(args.runs, 3))
            print(f'{encoding}: writing', flush=True)
            results['writing'][encoding] = writing(path, args.runs)
            print(f'{encoding}: typed records', flush=True)
            results['records'][encoding] = records(path, args.runs)
            print(f'{encoding}: checking', flush=True)
            results['checking'][encoding] = checking(path, args.runs)
        print('memory', flush=True)
        results['memory'] = memory(folder, args.memory_sizes.split(','))
    results['seconds'] = round(time.monotonic() - started, 1)
    output = pathlib.Path(args.output)
    partial = output.with_name(output.name + '.partial')
    partial.write_text(json.dumps(results, indent=1, ensure_ascii=False) + '\n')
    partial.replace(output)
    print(f'wrote {output} in {results["seconds"]} s')


if __name__ == '__main__':
    main()
