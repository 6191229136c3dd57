"""The header that hooks are given: a dict of its own for every call, at the cost of a copy.

    python bench/hook_header_bench.py [--keys 100000 10] [--documents 2000] [--runs 5]

For each header size, a statement of that many header keys and `documents` short payment
orders is parsed with a hook that does nothing, and without hooks; the medians of both and their
difference per hook call are printed, the runs taken in turn. The difference is what the hook
calls cost: the attrs and header dicts, the call, the read-back. With a large header the copy of
the header dict is nearly all of it.
"""

import argparse

import corvina_py
from timing import medians

DOCUMENT = ('СекцияДокумент=Платежное поручение\nНомер={i}\nДата=05.03.2024\nСумма=1.00\n'
            'ПлательщикСчет=40702810000000000001\nПлательщикИНН=7701\nПлательщикБИК=044525000\n'
            'ПлательщикБанк1=Банк\nПолучательСчет=40702810000000000002\nПолучательИНН=7702\n'
            'ПолучательБИК=044525001\nПолучательБанк1=Банк получателя\nНазначениеПлатежа=Оплата\n'
            'КонецДокумента\n')


def statement(keys: int, documents: int) -> bytes:
    header = ''.join(f'Ключ{k}=Значение {k}\n' for k in range(keys))
    body = ''.join(DOCUMENT.format(i=i) for i in range(documents))
    return f'1CClientBankExchange\nВерсияФормата=1.03\n{header}{body}КонецФайла\n'.encode()


def nothing(section_type, attrs, header):
    pass


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--keys', type=int, nargs='+', default=[100_000, 10])
    parser.add_argument('--documents', type=int, default=2000)
    parser.add_argument('--runs', type=int, default=5)
    args = parser.parse_args()
    for keys in args.keys:
        data = statement(keys, args.documents)
        times = medians(args.runs, {
            'hook': lambda: corvina_py.parse(data, [nothing]),
            'none': lambda: corvina_py.parse(data),
        })
        per_call = (times['hook'] - times['none']) / args.documents
        print(f'{keys} header keys x {args.documents} documents: {times["hook"]:.3f} s with a '
              f'do-nothing hook, {times["none"]:.3f} s without, '
              f'{per_call * 1e6:.1f} us per hook call')


if __name__ == '__main__':
    main()
