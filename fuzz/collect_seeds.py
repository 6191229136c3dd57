"""Writes a seed corpus for each fuzz target: texts taken from the tests, generated statements and,
when they are available, the real statements kept beside the project.

    python3 fuzz/collect_seeds.py OUT_DIR [--samples DIR]

OUT_DIR gets one subdirectory per target. The parse target reads its first byte as a choice of
hooks, and the table target as the text limit of a batch, so each of their statement seeds is
written once for each of a few choices.
"""

from __future__ import annotations

import argparse
import ast
import hashlib
import re
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
MARKER = '1CClientBankExchange'
# A C++ string literal, with the escapes our tests use.
LONE = re.compile('[\ud800-\udbff](?![\udc00-\udfff])|(?<![\ud800-\udbff])[\udc00-\udfff]')
CPP_LITERAL = re.compile(r'"((?:[^"\\\n]|\\.)*)"')


def python_texts(path: Path) -> list[str]:
    texts = []
    for node in ast.walk(ast.parse(path.read_text(encoding='utf-8'))):
        if isinstance(node, ast.Constant):
            if isinstance(node.value, str):
                texts.append(node.value)
            elif isinstance(node.value, bytes):
                texts.append(node.value.decode('utf-8', 'surrogateescape'))
    return texts


def cpp_texts(path: Path) -> list[str]:
    texts = []
    for match in CPP_LITERAL.finditer(path.read_text(encoding='utf-8')):
        raw = match.group(1)
        try:
            texts.append(raw.encode('latin-1', 'backslashreplace').decode('unicode_escape')
                         .encode('latin-1').decode('utf-8', 'surrogateescape'))
        except (UnicodeError, ValueError):
            texts.append(raw)
    return texts


def as_bytes(text: str) -> bytes:
    # Tests also hold lone surrogates, which no encoder takes; their escaped form still makes a
    # useful seed.
    return text.encode('utf-8', 'surrogateescape' if not LONE.search(text) else 'backslashreplace')


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('out', type=Path)
    parser.add_argument('--samples', type=Path, default=ROOT.parent / 'shared' / 'samples')
    args = parser.parse_args()

    texts: list[str] = []
    for path in sorted((ROOT / 'tests' / 'python').glob('*.py')):
        texts += python_texts(path)
    for path in sorted((ROOT / 'tests' / 'core').glob('*.cpp')):
        texts += cpp_texts(path)

    statements: list[bytes] = [as_bytes(t) for t in texts if MARKER in t]
    # Lines of the format as the tests write them, stitched into one statement so that every key
    # the tests know reaches the parser at least once.
    lines = [t for t in texts if '=' in t or t.startswith(('Секция', 'Конец'))]
    lines = [line for text in lines for line in text.splitlines() if 0 < len(line) < 200]
    statements.append(as_bytes('\r\n'.join([MARKER, *dict.fromkeys(lines), 'КонецФайла'])))
    for encoding in ('cp1251', 'utf-8'):
        generated = subprocess.run(
            [sys.executable, str(ROOT / 'bench' / 'generate_statements.py'), '--size', '6K',
             '--encoding', encoding, '--seed', '7'],
            check=True, capture_output=True).stdout
        statements.append(generated)
    if args.samples.is_dir():
        statements += [path.read_bytes() for path in sorted(args.samples.glob('*.txt'))]

    values = [as_bytes(t) for t in texts if 0 < len(t) <= 48 and '\n' not in t]

    def write(target: str, seeds: list[bytes]) -> None:
        directory = args.out / target
        directory.mkdir(parents=True, exist_ok=True)
        for seed in dict.fromkeys(seeds):
            (directory / hashlib.sha1(seed).hexdigest()).write_bytes(seed)

    # No hooks; the rewriting hook; a hook that refuses the second section.
    write('parse_fuzzer', [bytes([choice]) + s for s in statements for choice in (0, 1, 6)])
    # Batches of 1, 16 and 128 bytes of text, and of the build's own limit.
    write('table_fuzzer', [bytes([choice]) + s for s in statements for choice in (0, 15, 127, 128)])
    write('decode_fuzzer', statements)
    write('values_fuzzer', values)
    for target in ('parse_fuzzer', 'decode_fuzzer', 'values_fuzzer', 'table_fuzzer'):
        print(f'{target}: {len(list((args.out / target).iterdir()))} seeds')
    return 0


if __name__ == '__main__':
    sys.exit(main())
