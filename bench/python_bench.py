#!/usr/bin/env python3
"""End-to-end throughput of corvina_py.parse against Python splitting the same bytes into lines.

    python bench/python_bench.py FILE [--runs 7]

Both run on the same bytes in one process and the medians are compared, so the ratio holds on a
noisy machine. The baseline is data.decode(encoding).splitlines(): what Python pays merely to
see the lines, with no typed record built.
"""

from __future__ import annotations

import argparse
import statistics
import subprocess
import sys
import time

import corvina_py
from timing import median_seconds


IMPORT_CHILD = (
    'import time\n'
    'start = time.perf_counter()\n'
    'import corvina_py\n'
    'print(time.perf_counter() - start)\n'
)


def import_seconds(runs: int) -> float:
    """Median time of `import corvina_py` in fresh interpreters (the first import is the cost)."""
    times = [float(subprocess.run([sys.executable, '-c', IMPORT_CHILD], check=True,
                                  capture_output=True, text=True).stdout)
             for _ in range(runs)]
    return statistics.median(times)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('file')
    parser.add_argument('--runs', type=int, default=7)
    args = parser.parse_args()
    with open(args.file, 'rb') as f:
        data = f.read()
    statement = corvina_py.parse(data)
    encoding = statement.encoding
    megabytes = len(data) / 1e6

    split = median_seconds(args.runs, lambda: data.decode(encoding).splitlines())
    parse = median_seconds(args.runs, lambda: corvina_py.parse(data))
    print(f'input: {megabytes:.1f} MB {encoding}, {len(statement.documents)} documents, '
          f'median of {args.runs} runs')
    print(f'decode + splitlines   {megabytes / split:9.1f} MB/s')
    print(f'corvina_py.parse      {megabytes / parse:9.1f} MB/s  '
          f'{parse / split:.2f}x the time of splitlines')
    print(f'import corvina_py     {import_seconds(max(args.runs, 5)) * 1e3:9.2f} ms  '
          f'(fresh interpreters)')


if __name__ == '__main__':
    main()
