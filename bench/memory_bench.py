#!/usr/bin/env python3
"""Memory of corvina_py.parse: the peak while parsing and what the returned Statement keeps.

    python bench/memory_bench.py FILE [--max-peak 4.0] [--max-retained 2.5]
    python bench/memory_bench.py --shape SHAPE [--count N]

Each --shape builds an input of an odd shape instead of reading a FILE, and measures it alone:
  header-keys    a header of --count distinct 4-byte keys with empty values (default 2,000,000)
  accounts       --count accounts of one section each, numbered 1, 2, ..., in Windows-1251
                 (default 1,000,000)
  cp1251-table   a Windows-1251 statement of --count documents whose purposes are characters of
                 three UTF-8 bytes (default 20,000), parsed and then made a pyarrow table by
                 documents_table(); the peak then covers both

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
import tempfile
from collections.abc import Iterator

# Runs in the child. Resident sizes come from /proc: the current one from statm, the peak from
# VmHWM, which is reset first, since a child spawned by a large process starts with the parent's
# high-water mark (getrusage would report that instead of the parse's).
CHILD = r'''
import gc, json, resource, sys
import corvina_py
table = sys.argv[2] == 'table'
if table:
    import pyarrow as pa
    # The first table pyarrow reads sets up much of its own, once per process: not part of what
    # a table costs.
    pa.table(corvina_py.parse(sys.argv[3]).documents_table())

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
if table:
    table = pa.table(statement.documents_table())
peak = high_water()
gc.collect()
retained = resident() - baseline
print(json.dumps({'size': len(data), 'hidden_peak': peak <= before_peak,
                  'peak': peak - baseline, 'retained': retained,
                  'encoding': statement.encoding, 'documents': len(statement.documents)}))
'''


def measure(path: str, table: bool = False) -> dict:
    small = HEAD + ACCOUNT.format(n=1) + 'КонецФайла\n'
    out = subprocess.run([sys.executable, '-c', CHILD, path, 'table' if table else 'parse', small],
                         check=True, capture_output=True, text=True).stdout
    return json.loads(out)


HEAD = '1CClientBankExchange\nВерсияФормата=1.03\n'
ACCOUNT = ('СекцияРасчСчет\nДатаНачала=01.03.2024\nРасчСчет={n}\nНачальныйОстаток=0\n'
           'КонецРасчСчет\n')
DOCUMENT = ('СекцияДокумент=Платежное поручение\nНомер={n}\nДата=05.03.2024\nСумма=1.00\n'
            'НазначениеПлатежа={purpose}\nПлательщикИНН=7701\nПлательщикБИК=044525000\n'
            'ПлательщикБанк1=Банк\nПлательщикСчет=40702810000000000001\nПолучательИНН=7702\n'
            'ПолучательСчет=40702810000000000002\nПолучательБИК=044525001\n'
            'ПолучательБанк1=Банк\nКонецДокумента\n')
# Printable ASCII but '=', which would end the key.
KEY_BYTES = bytes(b for b in range(0x21, 0x7F) if b != ord('='))
# Windows-1251 bytes whose characters take three bytes in UTF-8 (dashes, quotes, the numero
# sign, the euro...).
THREE_BYTE_CHARACTERS = ''.join(
    c for c in bytes(range(0x80, 0xC0)).decode('cp1251', errors='ignore')
    if len(c.encode()) == 3)


def four_byte_key(n: int) -> bytes:
    base = len(KEY_BYTES)
    return bytes(KEY_BYTES[n // base**i % base] for i in range(4))


def shape_pieces(shape: str, count: int) -> Iterator[bytes]:
    """The input of a shape, a thousand lines or sections at a time."""
    if shape == 'header-keys':
        yield HEAD.encode()
        for first in range(0, count, 1000):
            yield b''.join(four_byte_key(n) + b'=\n'
                           for n in range(first, min(count, first + 1000)))
        yield (ACCOUNT.format(n=1) + 'КонецФайла\n').encode()
        return
    purpose = (THREE_BYTE_CHARACTERS * 56)[:1000]
    yield HEAD.encode('cp1251')
    for first in range(0, count, 1000):
        numbers = range(first, min(count, first + 1000))
        if shape == 'accounts':
            # Numbered from 1, as short as numbers get.
            text = ''.join(ACCOUNT.format(n=n + 1) for n in numbers)
        else:
            text = ''.join(DOCUMENT.format(n=n, purpose=purpose) for n in numbers)
        yield text.encode('cp1251')
    yield 'КонецФайла\n'.encode('cp1251')


SHAPE_COUNTS = {'header-keys': 2_000_000, 'accounts': 1_000_000, 'cp1251-table': 20_000}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('file', nargs='?')
    parser.add_argument('--shape', choices=sorted(SHAPE_COUNTS),
                        help='measure a built input of this shape instead of a file')
    parser.add_argument('--count', type=int, help='keys, accounts or documents of the shape')
    parser.add_argument('--max-peak', type=float, default=4.0,
                        help='limit on the peak above baseline, in multiples of the input')
    parser.add_argument('--max-retained', type=float, default=2.5,
                        help='limit on what the Statement keeps, in multiples of the input')
    parser.add_argument('--min-size', type=int, default=10_000_000,
                        help='inputs smaller than this many bytes are measured but not judged')
    args = parser.parse_args()
    if args.shape is None:
        if args.file is None:
            parser.error('give a FILE or a --shape')
        m = measure(args.file)
    else:
        # Written piece by piece, so that this process never holds the whole input: where the
        # child cannot reset its high-water mark, that starts from this process's.
        with tempfile.NamedTemporaryFile(suffix='.txt') as f:
            for piece in shape_pieces(args.shape, args.count or SHAPE_COUNTS[args.shape]):
                f.write(piece)
            f.flush()
            m = measure(f.name, table=args.shape == 'cp1251-table')
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
