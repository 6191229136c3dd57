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
import time

import corvina_py


def median_seconds(runs: int, body) -> float:
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        body()
        times.append(time.perf_counter() - start)
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


if __name__ == '__main__':
    main()
