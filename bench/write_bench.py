#!/usr/bin/env python3
"""Writing statements back against parsing them: corvina_convert.dumps against corvina_py.parse.

    python bench/write_bench.py FILE [--runs 5] [--encoding cp1251|utf-8] [--check]

FILE is parsed once; then, in turn within each round, the parse of its bytes and the writing of
the parsed statement (as a Statement, and as the converter's JSON object) are timed, so the
ratios hold on a noisy machine. Both speeds are given in MB of the input per second. With
--check the run exits with 1 when writing a Statement is slower than parsing on 10 MB or more.
"""

from __future__ import annotations

import argparse
import sys

import corvina_py
from corvina_convert import dumps, statement_to_dict
from timing import medians


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('file')
    parser.add_argument('--runs', type=int, default=5)
    parser.add_argument('--encoding', choices=('cp1251', 'utf-8'), default=None,
                        help="the encoding written (default: the input's)")
    parser.add_argument('--check', action='store_true')
    args = parser.parse_args()
    with open(args.file, 'rb') as f:
        data = f.read()
    statement = corvina_py.parse(data)
    encoding = args.encoding or statement.encoding
    as_dict = statement_to_dict(statement)
    written = dumps(statement, encoding=encoding)
    if corvina_py.parse(written).documents != statement.documents:
        print('the written statement does not read back the same', file=sys.stderr)
        return 1
    times = medians(args.runs, {
        'parse': lambda: corvina_py.parse(data),
        'dumps(Statement)': lambda: dumps(statement, encoding=encoding),
        'dumps(dict)': lambda: dumps(as_dict, encoding=encoding),
    })
    megabytes = len(data) / 1e6
    print(f'input: {megabytes:.1f} MB {statement.encoding}, {len(statement.documents)} '
          f'documents, written as {encoding}, median of {args.runs} runs')
    for name, seconds in times.items():
        print(f'{name:18} {megabytes / seconds:8.1f} MB/s  {seconds / times["parse"]:5.2f}x the '
              f'time of parse')
    slower = times['dumps(Statement)'] > times['parse']
    return 1 if args.check and slower and megabytes >= 10 else 0


if __name__ == '__main__':
    sys.exit(main())
