"""Repairs common exporter slips with a hook before documents are built.

Usage: python normalise_hooks.py [statement-file]

Keys are matched exactly, so "Сумма " (a trailing blank) fills no field and the document is
dropped for a missing amount; and "30000,00" (a comma as decimal separator) is no amount at
all. A hook sees each section's attributes before the record is built and may rewrite them.
Without an argument it reads statement.txt next to this script, which has one such amount.
"""

from __future__ import annotations

import pathlib
import sys

import corvina_py

AMOUNT_KEYS = frozenset({
    'Сумма', 'НачальныйОстаток', 'КонечныйОстаток', 'ВсегоПоступило', 'ВсегоСписано',
})


def normalise(section: corvina_py.SectionType, attrs: dict[str, str],
              header: dict[str, str]) -> None:
    # The dict is read back in its order after the hook returns, so rebuild it in place
    # rather than rebinding the name.
    repaired = {key.strip(): value for key, value in attrs.items()}
    for key in AMOUNT_KEYS & repaired.keys():
        value = repaired[key].strip()
        if value.count(',') == 1 and '.' not in value:
            repaired[key] = value.replace(',', '.')
    attrs.clear()
    attrs.update(repaired)


def main(argv: list[str]) -> int:
    path = pathlib.Path(argv[1]) if len(argv) > 1 else pathlib.Path(__file__).with_name(
        'statement.txt')
    data = path.read_bytes()
    plain = corvina_py.parse(data)
    repaired = corvina_py.parse(data, hooks=[normalise])
    print(f'without the hook: {len(plain.documents)} documents, '
          f'{len(plain.warnings)} warnings')
    for lineno, message in plain.warnings:
        print(f'  line {lineno}: {message}')
    print(f'with the hook:    {len(repaired.documents)} documents, '
          f'{len(repaired.warnings)} warnings')
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
