#!/usr/bin/env python3
"""Inputs made to be slow or large: crafted against the parser's tables, and odd shapes.

    python bench/flood_bench.py --inputs BUILD/bench/corvina_flood_inputs [--keys 100000]
        [--intervals 40000] [--hook-keys 100000] [--hook-documents 2000] [--accounts 1000000]

Each figure is one parse in a fresh interpreter. Keys and amounts come from corvina_flood_inputs
(crafted to collide under the fixed hashes the tables had before they were keyed) and are set
beside random ones of the same shape:
  header keys     a header of --keys crafted 8-byte keys, and of as many random ones
  interval values one account with --intervals sections differing only in ВсегоСписано,
                  crafted and random amounts
  hook header     --hook-documents documents under a header of --hook-keys keys, parsed with a
                  hook that does nothing, and without hooks; and with the hook under a 10-key
                  header
  accounts        --accounts accounts of one section each: peak memory above the baseline of
                  the imported module and the read input, as a multiple of the input
  re-entry        a hook that calls parse again without end, under sys.setrecursionlimit(100000):
                  how deep it went and how it ended
"""

from __future__ import annotations

import argparse
import json
import os
import random
import subprocess
import sys
import tempfile

HEAD = '1CClientBankExchange\nВерсияФормата=1.03\n'
DOCUMENT = ('СекцияДокумент=Платежное поручение\nНомер={n}\nДата=05.03.2024\nСумма=1.00\n'
            'НазначениеПлатежа=Оплата\nПлательщикИНН=7701\nПлательщикБИК=044525000\n'
            'ПлательщикБанк1=Банк\nПлательщикСчет=40702810000000000001\nПолучательИНН=7702\n'
            'ПолучательСчет=40702810000000000002\nПолучательБИК=044525001\n'
            'ПолучательБанк1=Банк\nКонецДокумента\n')

CHILD = r'''
import json, resource, sys, time
import corvina_py

def resident():
    with open('/proc/self/statm') as f:
        return int(f.read().split()[1]) * resource.getpagesize()

with open(sys.argv[1], 'rb') as f:
    data = f.read()
hooks = [lambda section_type, attrs, header: None] if sys.argv[2] == 'hook' else None
baseline = resident()
start = time.perf_counter()
statement = corvina_py.parse(data, hooks=hooks)
seconds = time.perf_counter() - start
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
print(json.dumps({'seconds': seconds, 'peak': peak - baseline, 'size': len(data)}))
'''


REENTRY_CHILD = r'''
import os, sys
import corvina_py
sys.setrecursionlimit(100_000)
text = '1CClientBankExchange\nСекцияРасчСчет\nДатаНачала=01.03.2024\nРасчСчет=1\n' \
       'НачальныйОстаток=0\nКонецРасчСчет\nКонецФайла\n'
def hook(section_type, attrs, header):
    os.write(1, b'.')
    corvina_py.parse(text, [hook])
try:
    corvina_py.parse(text, [hook])
except corvina_py.SyntaxError as error:
    os.write(1, ('\n' + str(error).rsplit('Hook error: ', 1)[-1]).encode())
'''


def run(data: bytes, hook: bool = False) -> dict:
    with tempfile.NamedTemporaryFile(suffix='.txt', delete=False) as f:
        f.write(data)
    try:
        out = subprocess.run([sys.executable, '-c', CHILD, f.name, 'hook' if hook else 'none'],
                             check=True, capture_output=True, text=True).stdout
    finally:
        os.unlink(f.name)
    return json.loads(out)


def crafted(tool: str, kind: str, count: int) -> list[str]:
    out = subprocess.run([tool, kind, str(count)], check=True, capture_output=True,
                         text=True).stdout
    return out.split()


ACCOUNT = ('СекцияРасчСчет\nДатаНачала=01.03.2024\nРасчСчет=40702810000000000001\n'
           'НачальныйОстаток=0\nКонецРасчСчет\n')


def header_of(keys: list[str]) -> str:
    return HEAD + ''.join(f'{key}=1\n' for key in keys)


def interval_sections(amounts: list[str]) -> bytes:
    # One start date for all, so they are filed out of order and compared by value.
    sections = ''.join('СекцияРасчСчет\nДатаНачала=01.03.2024\nРасчСчет=40702810000000000001\n'
                       f'НачальныйОстаток=0\nВсегоСписано={amount}\nКонецРасчСчет\n'
                       for amount in amounts)
    return (HEAD + sections + 'КонецФайла\n').encode()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--inputs', required=True, help='path of corvina_flood_inputs')
    parser.add_argument('--keys', type=int, default=100_000)
    parser.add_argument('--intervals', type=int, default=40_000)
    parser.add_argument('--hook-keys', type=int, default=100_000)
    parser.add_argument('--hook-documents', type=int, default=2_000)
    parser.add_argument('--accounts', type=int, default=1_000_000)
    args = parser.parse_args()
    rng = random.Random(17)
    alphabet = [chr(c) for c in range(0x21, 0x7F) if chr(c) != '=']

    keys = crafted(args.inputs, 'keys', args.keys)
    random_keys = [''.join(rng.choices(alphabet, k=8)) for _ in range(args.keys)]
    for name, chosen in [('crafted', keys), ('random', random_keys)]:
        result = run((header_of(chosen) + ACCOUNT + 'КонецФайла\n').encode())
        print(f'header of {args.keys} {name} keys: {result["seconds"]:.3f} s '
              f'({result["size"] / 1e6:.1f} MB)')

    amounts = crafted(args.inputs, 'amounts', args.intervals)
    random_amounts = [str(rng.getrandbits(95)) for _ in range(args.intervals)]
    for name, chosen in [('crafted', amounts), ('random', random_amounts)]:
        result = run(interval_sections(chosen))
        print(f'one account, {args.intervals} sections, {name} amounts: '
              f'{result["seconds"]:.3f} s ({result["size"] / 1e6:.1f} MB)')

    documents = ''.join(DOCUMENT.format(n=n) for n in range(args.hook_documents))
    for keys, hooks in [(args.hook_keys, (False, True)), (10, (True,))]:
        header = header_of([f'Ключ{i}' for i in range(keys)])
        data = (header + documents + 'КонецФайла\n').encode()
        for hook in hooks:
            result = run(data, hook=hook)
            print(f'{args.hook_documents} documents under a {keys}-key header, '
                  f'{"a do-nothing hook" if hook else "no hooks"}: {result["seconds"]:.3f} s')

    sections = ''.join('СекцияРасчСчет\nДатаНачала=01.03.2024\n'
                       f'РасчСчет=4070281{n:013d}\nНачальныйОстаток={n}.00\nКонецРасчСчет\n'
                       for n in range(args.accounts))
    result = run((HEAD + sections + 'КонецФайла\n').encode())
    print(f'{args.accounts} accounts: peak {result["peak"] / 1e6:.0f} MB above baseline, '
          f'{result["peak"] / result["size"]:.2f}x the input ({result["size"] / 1e6:.0f} MB), '
          f'{result["seconds"]:.2f} s')

    done = subprocess.run([sys.executable, '-c', REENTRY_CHILD], capture_output=True, text=True,
                          check=False)
    levels, _, message = done.stdout.partition('\n')
    ending = message or f'exit status {done.returncode}'
    print(f'endless re-entry from a hook: {len(levels)} levels, then {ending}')


if __name__ == '__main__':
    main()
