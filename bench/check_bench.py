#!/usr/bin/env python3
"""Checking a statement against parsing it: corvina_convert.check_files on a generated statement
(read, parse, check) beside corvina_py.parse of the same bytes, rounds in turn, both encodings.

    python bench/check_bench.py [--sizes 16M 100M] [--runs 5] [--keep DIR]

The generated statements add up and their requisites hold, so the check walks every document
and account section and reports nothing: the figure is the cost of the checks, not of printing
problems. --keep DIR keeps the generated files there and reuses them on later runs.

Target: checking (read + parse + check) at most 2x parsing (read + parse), at every size and in
both encodings. Exits with 1 when a target is missed.
"""

from __future__ import annotations

import argparse
import os
import sys
import tempfile

import corvina_py
from corvina_convert import check_files
from generate_statements import generate, parse_size
from timing import medians

TARGET = 2.0


def statement_file(folder: str, size: str, encoding: str) -> str:
    path = os.path.join(folder, f'statement-{size}-{encoding}.txt')
    if not os.path.exists(path):
        data = generate(parse_size(size), 1, encoding).encode(encoding)
        with open(path + '.part', 'wb') as out:
            out.write(data)
        os.replace(path + '.part', path)
    return path


def read_and_parse(path: str) -> corvina_py.Statement:
    with open(path, 'rb') as stream:
        return corvina_py.parse(stream.read())


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--sizes', nargs='+', default=['16M', '100M'])
    parser.add_argument('--runs', type=int, default=5)
    parser.add_argument('--keep', metavar='DIR', help='keep the generated statements here')
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as scratch:
        folder = args.keep or scratch
        os.makedirs(folder, exist_ok=True)
        missed = False
        print(f"{'size':>6} {'encoding':<8} {'documents':>9} {'parse s':>8} {'check s':>8} "
              f"{'ratio':>6}")
        for size in args.sizes:
            for encoding in ('cp1251', 'utf-8'):
                path = statement_file(folder, size, encoding)
                problems = check_files([path])
                if problems:
                    print(f'{path}: the generated statement has problems: {problems[0]}',
                          file=sys.stderr)
                    return 1
                documents = len(read_and_parse(path).documents)
                times = medians(args.runs, {'parse': lambda: read_and_parse(path),
                                            'check': lambda: check_files([path])})
                ratio = times['check'] / times['parse']
                missed |= ratio > TARGET
                print(f"{size:>6} {encoding:<8} {documents:>9} {times['parse']:>8.3f} "
                      f"{times['check']:>8.3f} {ratio:>6.2f}")
    return 1 if missed else 0


if __name__ == '__main__':
    sys.exit(main())
