#!/usr/bin/env python3
"""Parsing on several threads: many files on a pool of threads, and one large statement.

    python3 bench/threads_bench.py FILE [--runs N] [--files 8] [--file-size 20M]

1. Threads over files: FILES statements of FILE_SIZE each (generated, in FILE's encoding) parsed
   one after another, then on a ThreadPoolExecutor of 1, 2 and 4 workers, each parse on one
   thread (CORVINA_THREADS=1). parse releases the interpreter lock while the core reads, so the
   workers run at once. Then hashlib.sha256 of the same files on a pool of 2 against a pool of 1:
   what two threads gain here on work that also lets go of the lock but writes no memory.
2. FILE end to end, corvina_py.parse(data), with CORVINA_THREADS=1 (one thread) and with the
   default (the statement read in pieces on the usable cores when it is large enough).

Each figure is a median wall time, with the process's CPU time over that run's wall time:
about 1 on one core, about the number of cores when all of them work. The speed-up is the median
of each run's ratio to the first body timed in that run, so that the machine's load, which moves
by more than the threads gain within a minute here, falls on both sides of each ratio alike.
At the end, the time the host gave the machine's cores to others while the benchmark ran (the
kernel's "steal" count, where it keeps one), as a share of the machine's cores' time.
"""

from __future__ import annotations

import argparse
import hashlib
import os
import resource
import sys
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import corvina_py

sys.path.insert(0, str(Path(__file__).resolve().parent))
from generate_statements import generate, parse_size  # noqa: E402


def cpu_seconds() -> float:
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def stolen_seconds() -> float:
    """Seconds of the machine's cores that the host gave to others since boot, summed over the
    cores; 0 where the kernel keeps no such count."""
    try:
        fields = Path('/proc/stat').read_text().split('\n', 1)[0].split()
    except OSError:
        return 0.0
    if len(fields) < 9 or fields[0] != 'cpu':
        return 0.0
    return int(fields[8]) / os.sysconf('SC_CLK_TCK')


def timed(runs: int, *bodies) -> list[tuple[float, float, float]]:
    """For each body, the median wall time, the CPU time over the wall time of that run, and the
    median over the rounds of the first body's time over this one's. The bodies run in turn
    within each round, so that a change of the machine's load, or of what the process's
    allocator holds, falls on all of them alike."""
    results: list[list[tuple[float, float]]] = [[] for _ in bodies]
    for _ in range(runs):
        for body, times in zip(bodies, results):
            cpu = cpu_seconds()
            start = time.perf_counter()
            body()
            wall = time.perf_counter() - start
            times.append((wall, (cpu_seconds() - cpu) / wall))
    first = [wall for wall, _ in results[0]]
    summary = []
    for times in results:
        speed_ups = sorted(base / wall for base, (wall, _) in zip(first, times))
        wall, share = sorted(times)[len(times) // 2]
        summary.append((wall, share, speed_ups[len(speed_ups) // 2]))
    return summary


def with_threads(value: str | None, body):
    """body with CORVINA_THREADS set to value (unset for None), read by each parse."""
    def run():
        saved = os.environ.pop('CORVINA_THREADS', None)
        if value is not None:
            os.environ['CORVINA_THREADS'] = value
        try:
            return body()
        finally:
            os.environ.pop('CORVINA_THREADS', None)
            if saved is not None:
                os.environ['CORVINA_THREADS'] = saved
    return run


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('file')
    parser.add_argument('--runs', type=int, default=5)
    parser.add_argument('--files', type=int, default=8, help='0: only the one statement')
    parser.add_argument('--file-size', default='20M')
    args = parser.parse_args()
    data = Path(args.file).read_bytes()
    encoding = corvina_py.parse(data).encoding
    cores = len(os.sched_getaffinity(0))
    print(f'cores usable: {cores}, encoding: {encoding}, median of {args.runs} runs')

    stolen, start = stolen_seconds(), time.perf_counter()
    if args.files > 0:
        threads_over_files(args, encoding)
    one_statement(args, data)
    # The count is the machine's, over all of its cores, whichever of them this process may use.
    share = (stolen_seconds() - stolen) / ((time.perf_counter() - start) * (os.cpu_count() or 1))
    print(f"taken by the host meanwhile: {100 * share:.1f}% of the machine's cores' time")


def threads_over_files(args: argparse.Namespace, encoding: str) -> None:
    files = [generate(parse_size(args.file_size), seed, encoding).encode(encoding)
             for seed in range(1, args.files + 1)]
    megabytes = sum(map(len, files)) / 1e6
    print(f'threads over files: {args.files} files, {megabytes:.1f} MB')

    # Both keep every statement until the last is parsed, as list(pool.map(...)) does: a loop
    # that dropped each before the next reused the memory of the last one, which the pools cannot,
    # and measured the kernel clearing pages rather than the threads.
    def serial():
        return [corvina_py.parse(item) for item in files]

    def pooled(workers: int):
        def run():
            with ThreadPoolExecutor(workers) as pool:
                list(pool.map(corvina_py.parse, files))
        return run

    # Each parse on its own thread (CORVINA_THREADS=1): the pool's threads are all the
    # parallelism there is, so this measures the lock released around the core.
    bodies = [('one after another', with_threads('1', serial))] + [
        (f'ThreadPoolExecutor({workers})', with_threads('1', pooled(workers)))
        for workers in (1, 2, 4)]
    for (name, _), (seconds, share, speed_up) in zip(
            bodies, timed(args.runs, *(b for _, b in bodies))):
        print(f'  {name:<24} {megabytes / seconds:8.1f} MB/s  {speed_up:5.2f}x  '
              f'CPU/wall {share:.2f}')

    # What a pool of two gains here on work that lets go of the lock, writes no memory and
    # shares nothing: the interpreter's and the machine's part of the figures above.
    def digests(workers: int):
        def run():
            with ThreadPoolExecutor(workers) as pool:
                list(pool.map(lambda item: hashlib.sha256(item).digest(), files))
        return run
    _, (seconds, share, speed_up) = timed(args.runs, digests(1), digests(2))
    print(f'  {"sha256, pool(2)/pool(1)":<24} {megabytes / seconds:8.1f} MB/s  {speed_up:5.2f}x  '
          f'CPU/wall {share:.2f}')


def one_statement(args: argparse.Namespace, data: bytes) -> None:
    print(f'one statement: {len(data) / 1e6:.1f} MB end to end')
    (one, one_share, _), (default, default_share, speed_up) = timed(
        args.runs, with_threads('1', lambda: corvina_py.parse(data)),
        with_threads(None, lambda: corvina_py.parse(data)))
    print(f'  {"CORVINA_THREADS=1":<24} {len(data) / 1e6 / one:8.1f} MB/s  {1:5.2f}x  '
          f'CPU/wall {one_share:.2f}')
    print(f'  {"default":<24} {len(data) / 1e6 / default:8.1f} MB/s  {speed_up:5.2f}x  '
          f'CPU/wall {default_share:.2f}')


if __name__ == '__main__':
    main()
