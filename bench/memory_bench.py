#!/usr/bin/env python3
"""Memory of corvina_py.parse: the peak while parsing and what the returned Statement keeps.

    python bench/memory_bench.py FILE [--max-peak 4.0] [--max-retained 2.5]

Each figure comes from a fresh interpreter, so one measurement cannot inherit the heap of
another. The baseline is the resident size once the module is imported and the input bytes are
read; the peak is the high-water mark of the process (VmHWM) less that baseline, and what is
retained is the resident size with the Statement alive, after a collection, less the baseline.
Both are given as multiples of the input size. Exits with 1 when a limit is exceeded (inputs
under 10 MB are only measured).
"""

from __future__ import annotations

import argparse
import json
import subprocess
import sys

# Runs in the child. Resident sizes come from /proc: the current one from statm, the peak from
# VmHWM, which is reset first, since a child spawned by a large process starts with the parent's
# high-water mark (getrusage would report that instead of the parse's).
CHILD = r'''
import gc, json, resource, sys
import corvina_py

def resident():
    with open('/proc/self/statm') as f:
        return int(f.read().split()[1]) * resource.getpagesize()

def reset_peak():
    try:
        with open('/proc/self/clear_refs', 'w') as f:
            f.write('5')
    except OSError:
        pass

def high_water():
    with open('/proc/self/status') as f:
        for line in f:
            if line.startswith('VmHWM:'):
                return int(line.split()[1]) * 1024
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024

with open(sys.argv[1], 'rb') as f:
    data = f.read()
gc.collect()
reset_peak()
baseline = resident()
before_peak = high_water()
statement = corvina_py.parse(data)
peak = high_water()
gc.collect()
retained = resident() - baseline
print(json.dumps({'size': len(data), 'hidden_peak': peak <= before_peak,
                  'peak': peak - baseline, 'retained': retained,
                  'encoding': statement.encoding, 'documents': len(statement.documents)}))
'''


def measure(path: str) -> dict:
    out = subprocess.run([sys.executable, '-c', CHILD, path], check=True, capture_output=True,
                         text=True).stdout
    return json.loads(out)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('file')
    parser.add_argument('--max-peak', type=float, default=4.0,
                        help='limit on the peak above baseline, in multiples of the input')
    parser.add_argument('--max-retained', type=float, default=2.5,
                        help='limit on what the Statement keeps, in multiples of the input')
    parser.add_argument('--min-size', type=int, default=10_000_000,
                        help='inputs smaller than this many bytes are measured but not judged')
    args = parser.parse_args()
    m = measure(args.file)
    size = m['size']
    mb = 1e6
    peak, retained = m['peak'] / size, m['retained'] / size
    print(f"input: {size / mb:.1f} MB {m['encoding']}, {m['documents']} documents")
    print(f"peak while parsing    {m['peak'] / mb:9.1f} MB  {peak:5.2f}x input "
          f"(limit {args.max_peak}x)")
    print(f"kept by the Statement {m['retained'] / mb:9.1f} MB  {retained:5.2f}x input "
          f"(limit {args.max_retained}x)")
    if m['hidden_peak']:
        # Reading the input peaked higher than parsing did: the parse peak is hidden.
        print('note: the process peaked before the parse; the peak figure is an upper bound')
    if size < args.min_size:
        # Pages and allocator arenas dwarf a small input: the figures show only that it runs.
        print(f'limits apply from {args.min_size / mb:.0f} MB of input')
        return
    sys.exit(0 if peak <= args.max_peak and retained <= args.max_retained else 1)


if __name__ == '__main__':
    main()
