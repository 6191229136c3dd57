"""How soon Ctrl-C stops a parse without hooks: from SIGINT to the KeyboardInterrupt.

    python bench/interrupt_bench.py FILE [--runs 5] [--at 0.3]

The statement is parsed twice whole (the faster time printed); then, `runs` times, a timer thread sends
the process SIGINT at the share `at` of that time into a parse, and the time from the signal to
the KeyboardInterrupt that the parse raises is taken. Prints the median and the largest.
CORVINA_THREADS=1 measures the parse on one thread.
"""

import argparse
import os
import signal
import statistics
import threading
import time

import corvina_py


def main() -> None:
    # A shell starts a background job with SIGINT ignored, and Python then leaves it so.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('file')
    parser.add_argument('--runs', type=int, default=5)
    parser.add_argument('--at', type=float, default=0.3)
    args = parser.parse_args()
    with open(args.file, 'rb') as f:
        data = f.read()
    # The first parse faults its memory in; the timer is set by the faster of two.
    whole = float('inf')
    for _ in range(2):
        started = time.perf_counter()
        corvina_py.parse(data)
        whole = min(whole, time.perf_counter() - started)
    delays = []
    for _ in range(args.runs):
        sent = []

        def interrupt():
            sent.append(time.perf_counter())
            os.kill(os.getpid(), signal.SIGINT)

        timer = threading.Timer(whole * args.at, interrupt)
        timer.start()
        try:
            corvina_py.parse(data)
        except KeyboardInterrupt:
            delays.append(time.perf_counter() - sent[0])
        timer.join()
    print(f'{len(data) / 1e6:.0f} MB parsed whole in {whole:.2f} s; SIGINT to KeyboardInterrupt '
          f'in {statistics.median(delays) * 1000:.0f} ms (median), '
          f'{max(delays) * 1000:.0f} ms at most, {len(delays)} of {args.runs} interrupted')


if __name__ == '__main__':
    main()
