#!/usr/bin/env python3
"""From statement bytes to typed records: the parse alone, the parse plus Statement.records()
(a dict per document, dates as datetime.date, amounts as decimal.Decimal), and the pure-Python
parser of the PyPI package client-bank-1c, whose result is the same kind of list of typed dicts.

    python bench/records_bench.py FILE [--runs 5]
    python bench/records_bench.py --sizes 16M [100M] [--keep DIR] [--runs 5]

--sizes generates a statement of each size in both encodings (in --keep DIR when given, reused
from there on later runs). The rounds run the bodies in turn, so a burst of load on a shared
machine slows all of them alike and the ratios hold better than the times. Each body's median
wall time and median CPU time of the process (the parse's threads counted whole) are shown: on
a shared machine the CPU times are the steadier of the two.

client-bank-1c (a different project) is a speed reference only: install it into the benchmark's
own virtual environment, never beside the project; without it its row is left out. It reads a
text stream over the text already decoded, so it is not timed decoding the bytes.

Targets (16 MB and 100 MB, both encodings): parse plus records at most 3x the parse alone, and
at least 10x the reference. Exits with 1 when a target is missed on an input of 10 MB or more.
"""

from __future__ import annotations

import argparse
import io
import os
import sys
from typing import Any

import corvina_py
from generate_statements import generate, parse_size
from timing import wall_and_cpu_medians


def reference_module() -> Any:
    try:
        import client_bank_1c  # type: ignore[import-not-found]
    except ImportError:
        return None
    return client_bank_1c


def inputs(args: argparse.Namespace) -> list[tuple[str, bytes]]:
    if args.file:
        with open(args.file, 'rb') as f:
            return [(args.file, f.read())]
    out = []
    for size in args.sizes:
        for encoding in ('cp1251', 'utf-8'):
            name = f'statement-{size}-{encoding}.txt'
            path = os.path.join(args.keep, name) if args.keep else None
            if path and os.path.exists(path):
                with open(path, 'rb') as f:
                    data = f.read()
            else:
                data = generate(parse_size(size), 1, encoding).encode(encoding)
                if path:
                    os.makedirs(args.keep, exist_ok=True)
                    with open(path, 'wb') as f:
                        f.write(data)
            out.append((name, data))
    return out


def run(name: str, data: bytes, runs: int, reference: Any) -> bool:
    statement = corvina_py.parse(data)
    documents = len(statement.documents)
    encoding = statement.encoding
    del statement
    bodies = {
        'parse': lambda: corvina_py.parse(data),
        'parse + records()': lambda: corvina_py.parse(data).records(),
    }
    if reference is not None:
        text = data.decode(encoding)
        bodies['client-bank-1c'] = lambda: reference.load(io.StringIO(text, newline=None))
    times = wall_and_cpu_medians(runs, bodies)
    print(f'{name}: {len(data) / 1e6:.1f} MB {encoding}, {documents} documents')
    print(f'  {"":20} {"wall":>9}     {"cpu":>9}     {"documents/s (wall)":>18}')
    for body, (wall, cpu) in times.items():
        print(f'  {body:20} {wall * 1e3:9.1f} ms  {cpu * 1e3:9.1f} ms  {documents / wall:18,.0f}')
    ok = True
    for clock, which in (('wall', 0), ('cpu', 1)):
        parse, records = times['parse'][which], times['parse + records()'][which]
        print(f'  records / parse ({clock}) {records / parse:9.2f}x (target <= 3x)')
        ok = ok and records / parse <= 3
        if reference is not None:
            ratio = times['client-bank-1c'][which] / records
            print(f'  reference / records ({clock}) {ratio:5.1f}x (target >= 10x)')
            ok = ok and ratio >= 10
    return ok or len(data) < 10_000_000


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('file', nargs='?')
    parser.add_argument('--sizes', nargs='+', default=['16M'])
    parser.add_argument('--keep', help='folder to keep the generated statements in')
    parser.add_argument('--runs', type=int, default=5)
    args = parser.parse_args()
    reference = reference_module()
    if reference is None:
        print('client-bank-1c is not installed here: its row is left out', file=sys.stderr)
    ok = True
    for name, data in inputs(args):
        ok = run(name, data, args.runs, reference) and ok
    return 0 if ok else 1


if __name__ == '__main__':
    sys.exit(main())
