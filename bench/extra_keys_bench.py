#!/usr/bin/env python3
"""CSV of documents that each carry extra keys of their own: the default against --extra-columns.

    python bench/extra_keys_bench.py [--documents 3000] [--keys 2] [--runs 3]

Builds a statement (fixed seed) whose every document has `--keys` extra keys no other document
has, converts it to CSV in this process with and without --extra-columns, and prints the input
and output sizes and the time of each. The default keeps a column for the first keys only and
the rest of each document's in one JSON column, so its output grows with the input; with
--extra-columns every row has a cell for every key of every document, documents times keys.
"""

from __future__ import annotations

import argparse
import contextlib
import io
import os
import random
import sys
import tempfile

from corvina_convert import main as convert
from timing import medians


def statement(documents: int, keys: int, seed: int = 7) -> bytes:
    rng = random.Random(seed)
    lines = ['1CClientBankExchange', 'ВерсияФормата=1.03', 'Кодировка=Windows']
    for number in range(documents):
        lines += [
            'СекцияДокумент=Платежное поручение', f'Номер={number}', 'Дата=05.03.2024',
            f'Сумма={rng.randrange(1, 10 ** 7)}.{rng.randrange(100):02}',
            'ПлательщикСчет=40702810938000012345', 'ПлательщикИНН=7701234567',
            'ПлательщикБИК=044525225', 'ПлательщикБанк1=ПАО СБЕРБАНК',
            'ПолучательСчет=40702810100000054321', 'ПолучательИНН=5009876543',
            'ПолучательБИК=044525593', 'ПолучательБанк1=АО "АЛЬФА-БАНК"',
            f'НазначениеПлатежа=Оплата по счету № {number}',
            *(f'Реквизит{number}_{key}={rng.randrange(10 ** 6)}' for key in range(keys)),
            'КонецДокумента']
    return '\r\n'.join([*lines, 'КонецФайла', '']).encode('cp1251')


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--documents', type=int, default=3000)
    parser.add_argument('--keys', type=int, default=2)
    parser.add_argument('--runs', type=int, default=3)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        source = os.path.join(folder, 'statement.txt')
        with open(source, 'wb') as stream:
            stream.write(statement(args.documents, args.keys))
        outputs = {'default': os.path.join(folder, 'default.csv'),
                   '--extra-columns': os.path.join(folder, 'wide.csv')}

        def run(name: str) -> None:
            options = [name] if name.startswith('--') else []
            with contextlib.redirect_stderr(io.StringIO()):
                convert(['-f', 'csv', '-q', *options, '-o', outputs[name], source])
        times = medians(args.runs, {name: lambda name=name: run(name) for name in outputs})
        size = os.path.getsize(source) / 1e6
        print(f'input: {size:.1f} MB, {args.documents} documents with {args.keys} keys of '
              f'their own each; median of {args.runs} runs')
        for name, seconds in times.items():
            print(f'{name:16} {os.path.getsize(outputs[name]) / 1e6:8.1f} MB out '
                  f'{seconds:8.2f} s')
    return 0


if __name__ == '__main__':
    sys.exit(main())
