"""Which files a command line names: files as given, folders and quoted patterns expanded.

The converter expands patterns itself, the same way on every platform: Windows shells pass
`*.txt` through unexpanded, and a quoted pattern reaches a POSIX program unexpanded too.
Patterns and the statement-file rule match names case-insensitively everywhere, since banks
hand out `.TXT` as often as `.txt` and Windows users expect both.
"""

from __future__ import annotations

import glob
import os
import re
import sys
from collections.abc import Iterator, Sequence

from corvina_convert.i18n import _

STDIN = '-'

# The files of a folder that count as statements. Hidden files are left out: they are an
# editor's or a sync tool's, and a converter's own temporary outputs start with a dot too.
STATEMENT_SUFFIX = '.txt'
GLOB_CHARACTERS = re.compile(r'[*?[]')


class NoMatch(Exception):
    """A pattern or a folder that names no statement file: `name` as the user gave it."""

    def __init__(self, name: str, message: str) -> None:
        super().__init__(name, message)
        self.name = name
        self.message = message


def read_bytes(path: str) -> bytes:
    """The bytes of an input: a file, or standard input for '-'. OSError as the system gives it."""
    if path == STDIN:
        return sys.stdin.buffer.read()
    with open(path, 'rb') as stream:
        return stream.read()


def is_statement_file(name: str) -> bool:
    return not name.startswith('.') and name.lower().endswith(STATEMENT_SUFFIX)


def path_key(path: str) -> tuple[str, ...]:
    """Sorts by folder before name, so that `a/z.txt` comes before `a-b/y.txt` on every
    platform, whatever the separator's place in the character table."""
    return tuple(re.split(r'[\\/]', path))


def folder_files(folder: str, recursive: bool) -> list[str]:
    found: list[str] = []
    for root, folders, files in os.walk(folder):
        # Descended in place, in name order; a hidden folder is skipped like a hidden file.
        folders[:] = sorted(name for name in folders if not name.startswith('.')) \
            if recursive else []
        found.extend(os.path.join(root, name) for name in files if is_statement_file(name)
                     and os.path.isfile(os.path.join(root, name)))
    return sorted(found, key=path_key)


def pattern_root(pattern: str) -> tuple[str, str]:
    """The pattern split into its leading folder without wildcards and the rest."""
    parts = re.split(r'[\\/]', pattern) if os.sep == '\\' else pattern.split('/')
    fixed = 0
    while fixed < len(parts) - 1 and not GLOB_CHARACTERS.search(parts[fixed]):
        fixed += 1
    root = pattern[:sum(len(part) + 1 for part in parts[:fixed])]
    return root, pattern[len(root):]


def pattern_files(pattern: str, recursive: bool) -> list[str]:
    """The files a pattern matches: `*`, `?` and `[...]` within a name, `**` across folders
    (with --recursive, any `*` across folders too, as in a folder argument)."""
    root, rest = pattern_root(pattern)
    seps = ('/', '\\') if os.sep == '\\' else ('/',)
    if recursive and '**' not in rest:
        folder, name = os.path.split(rest)
        rest = os.path.join(folder, '**', name) if folder else os.path.join('**', name)
    matcher = re.compile(glob.translate(rest, recursive=True, include_hidden=False, seps=seps),
                         re.IGNORECASE)
    depth = None if '**' in rest else len(re.split(r'[\\/]', rest))
    found: list[str] = []
    for folder, folders, files in os.walk(root or os.curdir):
        relative = os.path.relpath(folder, root or os.curdir)
        level = 0 if relative == os.curdir else len(relative.split(os.sep))
        folders[:] = sorted(name for name in folders if not name.startswith('.')) \
            if depth is None or level + 1 < depth else []
        for name in files:
            path = name if relative == os.curdir else os.path.join(relative, name)
            if matcher.match(path) and not name.startswith('.') \
                    and os.path.isfile(os.path.join(folder, name)):
                found.append(root + path if root else path)
    return sorted(found, key=path_key)


def expand(arguments: Sequence[str], recursive: bool) -> Iterator[str]:
    """The input files in the order given; each folder's and pattern's in path order.

    Raises NoMatch for a folder or pattern that names no statement file: a batch that silently
    converts nothing looks like a batch that worked.
    """
    return (path for path, _relative in expand_relative(arguments, recursive))


def expand_relative(arguments: Sequence[str], recursive: bool) -> Iterator[tuple[str, str]]:
    """expand(), each file with its path relative to the folder, or to the fixed folder of
    the pattern, that it was found in; a file given by itself has its own name."""
    for argument in arguments:
        if argument == STDIN or os.path.isfile(argument):
            yield argument, os.path.basename(argument)
        elif os.path.isdir(argument):
            files = folder_files(argument, recursive)
            if not files:
                raise NoMatch(argument, _('no statement files (*{suffix}) in this folder')
                              .format(suffix=STATEMENT_SUFFIX) + ('' if recursive else _(
                                  '; --recursive descends into its subfolders')))
            yield from ((path, os.path.relpath(path, argument)) for path in files)
        elif GLOB_CHARACTERS.search(argument) and not os.path.lexists(argument):
            files = pattern_files(argument, recursive)
            if not files:
                raise NoMatch(argument, _('no file matches this pattern'))
            root = pattern_root(argument)[0] or os.curdir
            yield from ((path, os.path.relpath(path, root)) for path in files)
        else:
            # A missing file is reported with the others, in its turn.
            yield argument, os.path.basename(argument)
