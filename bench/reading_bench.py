#!/usr/bin/env python3
"""A folder of statements into one documents table: corvina_convert.read_tables on one thread
and on several, against the loop a user writes by hand (parse each file, pyarrow.table, concat);
and the cost of dedupe=True when every statement is there twice, as overlapping periods give.
Then the converter's CSV with and without --dedupe over the same doubled folder.

    python bench/reading_bench.py [--files 8] [--size 4M] [--runs 5] [--jobs 2] [--keep DIR]

The statements are generated (bench/generate_statements.py, one seed per file, Windows-1251),
in --keep DIR when given and reused from there on later runs. Figures are MB of statement
files per second, the median of --runs rounds with the variants run in turn in each round.
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import tempfile
from pathlib import Path

import pyarrow

import corvina_py
from corvina_convert import read_tables
from generate_statements import generate, parse_size
from timing import medians


def by_hand(paths: list[Path]) -> pyarrow.Table:
    return pyarrow.concat_tables(pyarrow.table(corvina_py.parse(path.read_bytes())
                                               .documents_table()) for path in paths)


def converter(*args: str) -> None:
    subprocess.run([sys.executable, '-m', 'corvina_convert', '-q', *args], check=True,
                   stderr=subprocess.DEVNULL)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    parser.add_argument('--files', type=int, default=8)
    parser.add_argument('--size', default='4M', help='size of each file: 4M, 500K, ...')
    parser.add_argument('--runs', type=int, default=5)
    parser.add_argument('--jobs', type=int, default=2)
    parser.add_argument('--keep', help='folder for the generated statements, reused later')
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as scratch:
        folder = Path(args.keep or scratch) / f'reading-{args.files}x{args.size}'
        folder.mkdir(parents=True, exist_ok=True)
        paths = [folder / f'{seed:03}.txt' for seed in range(args.files)]
        for seed, path in enumerate(paths):
            if not path.exists():
                path.write_bytes(generate(parse_size(args.size), seed, 'cp1251').encode('cp1251'))
        megabytes = sum(path.stat().st_size for path in paths) / 1e6
        twice = [str(folder), str(folder)]
        out = os.path.join(scratch, 'out.csv')
        single = medians(args.runs, {
            'parse + pyarrow.table + concat, by hand': lambda: by_hand(paths),
            'read_tables, jobs=1': lambda: read_tables(folder, jobs=1),
            f'read_tables, jobs={args.jobs}': lambda: read_tables(folder, jobs=args.jobs),
        })
        doubled = medians(args.runs, {
            f'read_tables twice over, jobs={args.jobs}':
                lambda: read_tables(twice, jobs=args.jobs),
            f'read_tables twice over, jobs={args.jobs}, dedupe=True':
                lambda: read_tables(twice, jobs=args.jobs, dedupe=True),
            'corvina-convert -f csv, twice over': lambda: converter('-f', 'csv', '-o', out,
                                                                    *twice),
            'corvina-convert -f csv --dedupe, twice over':
                lambda: converter('-f', 'csv', '--dedupe', '-o', out, *twice),
        })
    print(f'{args.files} files of {args.size} ({megabytes:.1f} MB), median of {args.runs} runs')
    for name, seconds in single.items():
        print(f'  {name:<55} {megabytes / seconds:8.1f} MB/s')
    for name, seconds in doubled.items():
        print(f'  {name:<55} {2 * megabytes / seconds:8.1f} MB/s')


if __name__ == '__main__':
    main()
