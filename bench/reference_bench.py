"""Documents per second of corvina_py.parse against a pure-Python parser of the format.

    python bench/reference_bench.py FILE [--runs 5]

The reference is the parser of the PyPI package client-bank-1c (a different project), used as a
speed reference only: install it into the benchmark's own virtual environment, never beside the
project (see README.md). Both parsers get the statement from memory: corvina_py its bytes, the
reference a text stream over the text already decoded, so neither is timed reading the file and
the reference is not timed decoding it. The target is at least 50x the reference's documents per
second; exits with 1 when it is missed on 10 MB or more, and with 2 when the reference is absent.
"""

import argparse
import io
import sys

import corvina_py
from timing import median_seconds


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('file')
    parser.add_argument('--runs', type=int, default=5)
    args = parser.parse_args()
    try:
        import client_bank_1c  # type: ignore[import-not-found]
    except ImportError:
        print('client-bank-1c is not installed in this environment', file=sys.stderr)
        return 2

    with open(args.file, 'rb') as f:
        data = f.read()
    statement = corvina_py.parse(data)
    documents = len(statement.documents)
    encoding = 'cp1251' if statement.encoding == 'cp1251' else 'utf-8'
    text = data.decode(encoding)
    del statement

    ours = median_seconds(args.runs, lambda: corvina_py.parse(data))
    theirs = median_seconds(max(1, args.runs // 3),
                            lambda: client_bank_1c.load(io.StringIO(text, newline=None)))
    ratio = theirs / ours
    print(f'input: {len(data) / 1e6:.1f} MB {encoding}, {documents} documents')
    print(f'corvina_py.parse   {documents / ours:12,.0f} documents/s')
    print(f'client-bank-1c     {documents / theirs:12,.0f} documents/s')
    print(f'ratio              {ratio:12.1f}x (target >= 50x)')
    return 1 if len(data) >= 10_000_000 and ratio < 50 else 0


if __name__ == '__main__':
    sys.exit(main())
