#!/usr/bin/env python3
"""How fast this machine hands out fresh memory: first writes to newly mapped pages, one thread
and two at once, right after the same amount was freed and some seconds after.

    python3 bench/fresh_memory_bench.py [--megabytes 256] [--rounds 3] [--pause 3]

A large parse writes most of its memory for the first time: the text store and the document
list of a statement beyond what the library keeps from the last one. On a bare machine, or a
virtual one whose host leaves its memory in place, the kernel clears such pages at several
GB/s, on each thread at once. A virtual machine whose balloon device reports free pages to its
host (free page reporting) gives memory back once it has lain free a couple of seconds, and the
host must find and clear it again at the next first write, much more slowly, and in some
minutes no faster on two threads than on one. Run this before the threads benchmarks: where
"after a pause" is far slower than "at once", the figures of large statements swing with what
the process freed how long before.
"""

from __future__ import annotations

import argparse
import ctypes
import mmap
import statistics
import threading
import time


def first_writes(size: int) -> tuple[mmap.mmap, float]:
    """A fresh anonymous mapping of `size` bytes, written once, and the seconds it took."""
    # Private, as malloc's and the library's are: a shared one is kernel-side shared memory.
    region = mmap.mmap(-1, size, flags=mmap.MAP_PRIVATE | mmap.MAP_ANONYMOUS)
    if hasattr(mmap, 'MADV_HUGEPAGE'):
        region.madvise(mmap.MADV_HUGEPAGE)  # as the library's large blocks are
    address = ctypes.addressof(ctypes.c_char.from_buffer(region))
    start = time.perf_counter()
    ctypes.memset(address, 1, size)  # a foreign call: the interpreter lock is let go
    return region, time.perf_counter() - start


def on_threads(size: int, threads: int) -> float:
    """Wall seconds for `threads` threads each writing a fresh mapping of `size` bytes."""
    regions: list[mmap.mmap] = []
    workers = [threading.Thread(target=lambda: regions.append(first_writes(size)[0]))
               for _ in range(threads)]
    start = time.perf_counter()
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    seconds = time.perf_counter() - start
    for region in regions:
        region.close()
    return seconds


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--megabytes', type=int, default=256)
    parser.add_argument('--rounds', type=int, default=3)
    parser.add_argument('--pause', type=float, default=3.0,
                        help='seconds between freeing and mapping again, for "after a pause"')
    args = parser.parse_args()
    size = args.megabytes << 20
    half = size // 2
    on_threads(size, 1)  # the process's first pages, whatever they cost
    for label, pause in (('at once', 0.0), (f'after {args.pause:g} s', args.pause)):
        one, two = [], []
        for _ in range(args.rounds):
            time.sleep(pause)
            one.append(on_threads(size, 1))
            time.sleep(pause)
            two.append(on_threads(half, 2))
        one_s, two_s = statistics.median(one), statistics.median(two)
        print(f'{label:<14} one thread {args.megabytes / one_s:8.0f} MB/s   '
              f'two threads {args.megabytes / two_s:8.0f} MB/s together ({one_s / two_s:.2f}x)')


if __name__ == '__main__':
    main()
