"""MkDocs hook: the reference pages, made from the code when the site is built.

A page holding the marker line gets, in its place, the help that `corvina-convert --help`
prints, so the option reference cannot drift from the options the program really takes. And the
module's stubs are laid out as a package for the API reference: the reference's loader reads a
stub file only as a package's `__init__.pyi`, and the compiled module itself gives it no
signatures.
"""

from __future__ import annotations

import os
import shutil
from pathlib import Path
from typing import Any

MARKER = '<!-- corvina-convert --help -->'
CHECK_MARKER = '<!-- corvina-convert check --help -->'


ROOT = Path(__file__).resolve().parents[2]
# Named in mkdocs.yml's search paths of the reference.
STUBS = ROOT / 'build' / 'docs-api'


def lay_out_stubs() -> None:
    package = STUBS / 'corvina_py'
    package.mkdir(parents=True, exist_ok=True)
    shutil.copyfile(ROOT / 'python' / 'corvina_py.pyi', package / '__init__.pyi')


# When the hook is loaded, with the configuration: the reference's handler resolves its search
# paths in its own on_config, which runs before a hook's, and drops a path that is not there.
lay_out_stubs()


def parser_help(command: str = 'convert') -> str:
    # argparse wraps to the terminal's width; a fixed one keeps the page the same wherever the
    # site is built.
    previous = os.environ.get('COLUMNS')
    os.environ['COLUMNS'] = '100'
    try:
        if command == 'check':
            from corvina_convert.checks import build_parser
        else:
            from corvina_convert import build_parser
        return build_parser().format_help()
    finally:
        if previous is None:
            del os.environ['COLUMNS']
        else:
            os.environ['COLUMNS'] = previous


def on_page_markdown(markdown: str, page: Any, **_: Any) -> str:
    for marker, command in ((MARKER, 'convert'), (CHECK_MARKER, 'check')):
        if marker in markdown:
            markdown = markdown.replace(
                marker, '```text\n' + parser_help(command).rstrip('\n') + '\n```')
    return markdown
