#!/usr/bin/env python3
"""Does the cost per megabyte stay flat as statements grow, and does no shape turn quadratic?

    python bench/scale_bench.py [--core BUILD/bench/corvina_core_bench] [--data DIR]
                                [--core-sizes 1M,10M,100M,1G] [--python-sizes 1M,10M,100M,500M]
                                [--encoding cp1251] [--runs 3] [--shapes-only] [--quick]

Sizes: generated statements (cached in --data, default a temporary directory) are parsed by the
core harness (whole parse) and by corvina_py.parse end to end; the time per MB of every size must
stay within 20% of the smallest size's. Shapes: statements made of one pathological element (one
account with many intervals, one section with many distinct keys, one very long line) are parsed
at a quarter of the size and at full size; four times the input may take at most five times as
long (a quadratic path takes sixteen). Exits with 1 if any check fails.
"""

from __future__ import annotations

import argparse
import os
import re
import statistics
import subprocess
import sys
import tempfile
import time

import corvina_py
from timing import median_seconds

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import generate_statements  # noqa: E402

SPREAD_LIMIT = 1.20  # time per MB, largest over smallest
SHAPE_LIMIT = 5.0  # time at 4x the input over time at 1x


def statement_file(data_dir: str, size: str, encoding: str) -> str:
    path = os.path.join(data_dir, f'statement-{size}.{encoding}.txt')
    if not os.path.exists(path):
        text = generate_statements.generate(generate_statements.parse_size(size), 1, encoding)
        with open(path + '.part', 'wb') as out:
            out.write(text.encode(encoding))
        os.replace(path + '.part', path)
    return path


def core_seconds_per_mb(core: str, path: str, runs: int) -> float:
    out = subprocess.run([core, path, str(runs)], check=True, capture_output=True,
                         text=True).stdout
    # The parse with the default options, as users get it: not "whole parse, one thread".
    found = re.search(r'^whole parse +([0-9.]+) MB/s', out, re.MULTILINE)
    if found is None:
        raise RuntimeError(f'no "whole parse" line in:\n{out}')
    return 1.0 / float(found.group(1))


def report_sizes(label: str, rows: list[tuple[str, float]]) -> bool:
    base = rows[0][1]
    worst = max(seconds for _, seconds in rows) / base
    for size, seconds in rows:
        print(f'  {label:<12} {size:>6}  {seconds * 1e3:8.3f} ms/MB  {seconds / base:5.2f}x')
    ok = worst <= SPREAD_LIMIT
    print(f'  {label}: worst {worst:.2f}x the smallest ({"ok" if ok else "FAIL"}, '
          f'limit {SPREAD_LIMIT:.2f}x)')
    return ok


# ----- pathological shapes -----

HEAD = '1CClientBankExchange\nВерсияФормата=1.03\n'


def many_intervals(count: int) -> bytes:
    parts = [HEAD]
    for i in range(count):
        # Distinct, rising start dates: one section a day for a few centuries.
        year, day = 1800 + i // 336, i % 336
        date = f'{day % 28 + 1:02d}.{day // 28 + 1:02d}.{year}'
        parts.append(f'СекцияРасчСчет\nДатаНачала={date}\nРасчСчет=40702810000000000001\n'
                     f'НачальныйОстаток={i}.00\nКонецРасчСчет\n')
    parts.append('КонецФайла\n')
    return ''.join(parts).encode('utf-8')


def many_keys(count: int) -> bytes:
    keys = ''.join(f'Ключ{i}={i}\n' for i in range(count))
    return (HEAD + 'СекцияДокумент=Платежное поручение\n' + keys + 'КонецДокумента\n'
            'КонецФайла\n').encode('utf-8')


def long_line(size: int) -> bytes:
    return (HEAD + 'Отправитель=' + 'Я' * size + '\n'
            'СекцияРасчСчет\nДатаНачала=01.01.2024\nРасчСчет=1\nНачальныйОстаток=0\n'
            'КонецРасчСчет\nКонецФайла\n').encode('cp1251')


SHAPES = [
    ('one account, 100,000 intervals', many_intervals, 100_000),
    ('one section, 10,000 distinct keys', many_keys, 10_000),
    ('one line of 100 MB (cp1251)', long_line, 100 << 20),
]


# One parse in a fresh interpreter: repeated parses in one process would let the allocator
# reuse the small input's freed blocks while the large one (past malloc's mmap threshold) pays
# for fresh pages on every run, which reads as superlinear time where there is none.
SHAPE_CHILD = r'''
import sys, time
sys.path.insert(0, sys.argv[1])
import corvina_py, scale_bench
data = getattr(scale_bench, sys.argv[2])(int(sys.argv[3]))
start = time.perf_counter()
corvina_py.parse(data)
print(time.perf_counter() - start, len(data))
'''


def shape_seconds(build, count: int, runs: int) -> tuple[float, int]:
    times, size = [], 0
    for _ in range(runs):
        out = subprocess.run([sys.executable, '-c', SHAPE_CHILD, HERE, build.__name__,
                              str(count)], check=True, capture_output=True, text=True).stdout
        seconds, size = out.split()
        times.append(float(seconds))
    return statistics.median(times), int(size)


def check_shapes(runs: int, scale: float) -> bool:
    ok = True
    for name, build, full in SHAPES:
        full = int(full * scale)
        t_small, _ = shape_seconds(build, full // 4, runs)
        t_large, size = shape_seconds(build, full, runs)
        ratio = t_large / t_small
        good = ratio <= SHAPE_LIMIT
        ok &= good
        print(f'  {name:<36} {size / 1e6:7.1f} MB  {t_large * 1e3:9.1f} ms  '
              f'4x input: {ratio:4.1f}x time ({"ok" if good else "FAIL"})')
    return ok


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--core', help='path of corvina_core_bench (core sizes skipped without)')
    parser.add_argument('--data', help='directory for generated statements (kept between runs)')
    parser.add_argument('--core-sizes', default='1M,10M,100M,1G')
    parser.add_argument('--python-sizes', default='1M,10M,100M,500M')
    parser.add_argument('--encoding', choices=['cp1251', 'utf-8'], default='cp1251')
    parser.add_argument('--runs', type=int, default=3)
    parser.add_argument('--shapes-only', action='store_true')
    parser.add_argument('--quick', action='store_true',
                        help='small sizes and shapes, to check that the script runs')
    args = parser.parse_args()
    if args.quick:
        args.core_sizes, args.python_sizes, args.runs = '100K,400K', '100K,400K', 1
    data_dir = args.data or tempfile.mkdtemp(prefix='corvina-scale-')
    os.makedirs(data_dir, exist_ok=True)
    ok = True

    if not args.shapes_only:
        if args.core:
            print(f'core, whole parse, {args.encoding}, median of {args.runs}:')
            rows = [(size, core_seconds_per_mb(args.core, statement_file(data_dir, size,
                                                                         args.encoding),
                                               args.runs))
                    for size in args.core_sizes.split(',')]
            ok &= report_sizes('core', rows)
        print(f'end to end, corvina_py.parse, {args.encoding}, median of {args.runs}:')
        rows = []
        for size in args.python_sizes.split(','):
            with open(statement_file(data_dir, size, args.encoding), 'rb') as f:
                data = f.read()
            seconds = median_seconds(args.runs, lambda: corvina_py.parse(data))
            rows.append((size, seconds / (len(data) / 1e6)))
            del data
        ok &= report_sizes('end to end', rows)

    print(f'shapes, end to end, one parse per fresh interpreter, median of {args.runs}:')
    ok &= check_shapes(args.runs, 0.01 if args.quick else 1.0)
    if args.quick:
        # Noise dominates at these sizes: the run only shows that everything works.
        ok = True
    sys.exit(0 if ok else 1)


if __name__ == '__main__':
    main()
