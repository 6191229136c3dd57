#!/usr/bin/env python3
"""Writes each python/corvina_convert/locale/*/LC_MESSAGES/*.mo from the .po beside it.

The compiled catalogs are committed, so that a wheel or an install from the sources ships
them without gettext's tools; this script is what made them, and --check tells whether they
still match their .po (the tests run it). The .mo layout is GNU gettext's: a header, two
tables of (length, offset) pairs, the original texts sorted, then the translations, each
ending in a NUL byte. No hash table is written: readers fall back to a binary search, and
Python's reader never uses one.

Usage: tools/compile_catalogs.py [--check]
"""

from __future__ import annotations

import ast
import pathlib
import struct
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
LOCALE = ROOT / 'python' / 'corvina_convert' / 'locale'
MAGIC = 0x950412DE


def read_po(text: str) -> dict[str, str]:
    """msgid -> msgstr, plural forms joined with NUL as in a .mo; fuzzy and untranslated
    entries left out, as msgfmt leaves them."""
    catalog: dict[str, str] = {}
    entry: dict[str, list[str]] = {}
    current: list[str] | None = None
    fuzzy = False

    def finish() -> None:
        nonlocal entry, fuzzy
        if 'msgid' in entry:
            msgid = ''.join(entry['msgid'])
            forms = sorted(key for key in entry if key.startswith('msgstr'))
            translated = [''.join(entry[key]) for key in forms]
            if 'msgid_plural' in entry:
                msgid += '\0' + ''.join(entry['msgid_plural'])
            if all(translated) and (not fuzzy or not msgid):
                catalog[msgid] = '\0'.join(translated)
        entry, fuzzy = {}, False

    for number, line in enumerate(text.splitlines(), 1):
        line = line.strip()
        if not line:
            continue
        if line.startswith('#'):
            # Comments open the next entry, so the one before is complete.
            if any(key.startswith('msgstr') for key in entry):
                finish()
            if line.startswith('#,') and 'fuzzy' in line:
                fuzzy = True
            continue
        if line.startswith('"'):
            if current is None:
                raise ValueError(f'line {number}: a text continues nothing')
            current.append(ast.literal_eval(line))
            continue
        keyword, _, rest = line.partition(' ')
        if keyword == 'msgid' and any(key.startswith('msgstr') for key in entry):
            finish()
        if keyword not in ('msgid', 'msgid_plural', 'msgstr') and \
                not (keyword.startswith('msgstr[') and keyword.endswith(']')):
            raise ValueError(f'line {number}: {keyword!r} is not a catalog keyword')
        current = entry.setdefault(keyword, [])
        current.append(ast.literal_eval(rest))
    finish()
    return catalog


def write_mo(catalog: dict[str, str]) -> bytes:
    keys = sorted(catalog, key=lambda key: key.encode())
    originals = [key.encode() for key in keys]
    translations = [catalog[key].encode() for key in keys]
    count = len(keys)
    start = 7 * 4 + 2 * count * 8  # header, then the two tables
    table: list[int] = []
    data = bytearray()
    for texts in (originals, translations):
        for text in texts:
            table += [len(text), start + len(data)]
            data += text + b'\0'
    header = struct.pack('<7I', MAGIC, 0, count, 7 * 4, 7 * 4 + count * 8, 0, start)
    originals_table = struct.pack(f'<{2 * count}I', *table[:2 * count])
    translations_table = struct.pack(f'<{2 * count}I', *table[2 * count:])
    return header + originals_table + translations_table + bytes(data)


def main(argv: list[str]) -> int:
    check = argv[1:] == ['--check']
    if argv[1:] and not check:
        print(__doc__, file=sys.stderr)
        return 2
    stale = []
    for po in sorted(LOCALE.glob('*/LC_MESSAGES/*.po')):
        compiled = write_mo(read_po(po.read_text(encoding='utf-8')))
        mo = po.with_suffix('.mo')
        if mo.exists() and mo.read_bytes() == compiled:
            continue
        if check:
            stale.append(str(mo.relative_to(ROOT)))
        else:
            mo.write_bytes(compiled)
    for name in stale:
        print(f'{name} does not match its .po: run tools/compile_catalogs.py', file=sys.stderr)
    return 1 if stale else 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
