"""Every code block of the README and of the guides under docs/, run as a reader runs it.

The blocks of one page run in order in a scratch folder that holds a copy of examples/, with
`.venv` there pointing at the environment under test, so `.venv/bin/corvina-convert` is the
installed converter. The Python blocks of a page share one namespace, as if typed into one
interpreter session; shell blocks run with `bash -e`. A block that cannot run here says so in an
HTML comment right before it (`<!-- not run: why -->`); those are reported as skipped, each
with its reason, and a runnable block without one fails when it fails.
"""

from __future__ import annotations

import dataclasses
import importlib.util
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import FREE_THREADED, UNDER_ASAN

ROOT = Path(__file__).resolve().parents[2]

# The benchmarks page's commands run the benchmarks for minutes on large generated inputs; the
# test run runs every benchmark once on a small input instead.
PAGES = [ROOT / 'README.md'] + sorted(page for page in (ROOT / 'docs').rglob('*.md')
                                      if page.name != 'benchmarks.md')

PYTHON = {'python', 'py'}
SHELL = {'sh', 'bash', 'shell', 'console'}
# Fenced blocks that show text rather than code to run.
NOT_CODE = {'', 'text', 'toml', 'yaml', 'json', 'ini', 'csv'}

NOTE = re.compile(r'<!--\s*(not run|partly run):\s*(.*?)\s*-->')
FENCE = re.compile(r'^(\s*)(`{3,})\s*([\w+-]*)')

# What the guides' blocks import beyond the package; the free-threaded interpreter has no
# wheels of them, and there these pages are checked by the main run.
NEEDED = ['pyarrow', 'pandas', 'polars', 'duckdb', 'dask.dataframe']


@dataclasses.dataclass(frozen=True)
class Block:
    page: str
    line: int
    language: str
    code: str
    note: str | None = None      # 'not run' or 'partly run'
    reason: str = ''

    @property
    def where(self) -> str:
        return f'{self.page}:{self.line}'


def code_blocks(text: str, page: str = 'page.md') -> list[Block]:
    """The fenced blocks of a Markdown text in order, each with the note that precedes it."""
    blocks: list[Block] = []
    lines = text.split('\n')
    index = 0
    while index < len(lines):
        fence = FENCE.match(lines[index])
        if not fence:
            index += 1
            continue
        indent, ticks, language = fence.groups()
        start = index
        body: list[str] = []
        index += 1
        while index < len(lines) and not lines[index].strip().startswith(ticks):
            line = lines[index]
            body.append(line[len(indent):] if line.startswith(indent) else line.lstrip())
            index += 1
        index += 1
        previous = lines[start - 1].strip() if start > 0 else ''
        note = NOTE.fullmatch(previous)
        blocks.append(Block(page, start + 1, language.lower(), '\n'.join(body) + '\n',
                            *(note.groups() if note else ())))
    return blocks


def shell_script(block: Block) -> str:
    code = block.code
    if block.language == 'console':
        code = '\n'.join(line[2:] for line in code.split('\n') if line.startswith('$ '))
    if block.note == 'partly run':
        # The part before the first && is what cannot run here (a build from source).
        code = code.split('&&', 1)[1]
    return code


class TestCodeBlocks:
    CASES = [
        # markdown, [(line, language, code, note)]
        ('```python\nx = 1\n```\n', [(1, 'python', 'x = 1\n', None)]),
        ('text\n<!-- not run: slow -->\n```sh\nmake\n```\n',
         [(3, 'sh', 'make\n', 'not run')]),
        # A note separated from its block by other text belongs to nothing.
        ('<!-- not run: slow -->\n\n```sh\nmake\n```\n', [(3, 'sh', 'make\n', None)]),
        # A block inside a list item is dedented; a longer fence holds a shorter one.
        ('- item:\n\n  ```python\n  if x:\n      y()\n  ```\n',
         [(3, 'python', 'if x:\n    y()\n', None)]),
        ('````markdown\n```python\nx\n```\n````\n', [(1, 'markdown', '```python\nx\n```\n', None)]),
        ('```Console\n$ ls\n```\n```\nplain\n```\n',
         [(1, 'console', '$ ls\n', None), (4, '', 'plain\n', None)]),
    ]

    @pytest.mark.parametrize(('markdown', 'expected'), CASES)
    def test_blocks_and_their_notes(self, markdown, expected):
        assert [(b.line, b.language, b.code, b.note) for b in code_blocks(markdown)] == expected

    def test_partly_run_drops_what_precedes_the_first_and(self):
        block = Block('README.md', 1, 'sh', 'bash build.sh && run a && run b\n', 'partly run')
        assert shell_script(block) == ' run a && run b\n'


def page_blocks(page: Path) -> list[Block]:
    return code_blocks(page.read_text(encoding='utf-8'), str(page.relative_to(ROOT)))


ALL_BLOCKS = [block for page in PAGES for block in page_blocks(page)]


@pytest.mark.parametrize('block', [b for b in ALL_BLOCKS if b.note == 'not run'],
                         ids=lambda block: block.where)
def test_not_run(block):
    """Lists each block the test run does not run, with the reason its page gives."""
    assert block.reason, f'{block.where}: a block that is not run says why'
    pytest.skip(f'{block.where}: {block.reason}')


def test_every_block_is_code_to_run_or_text():
    unknown = [b.where for b in ALL_BLOCKS
               if b.language not in PYTHON | SHELL | NOT_CODE and b.language != 'markdown']
    assert unknown == []
    # A note in front of text that is not run anyway would hide nothing but mislead.
    assert [b.where for b in ALL_BLOCKS if b.note and b.language in NOT_CODE] == []


def test_readme_stays_a_front_page():
    assert len((ROOT / 'README.md').read_text(encoding='utf-8').splitlines()) <= 250


def missing_modules() -> list[str]:
    missing = []
    for name in NEEDED:
        try:
            found = importlib.util.find_spec(name) is not None
        except ModuleNotFoundError:
            found = False
        if not found:
            missing.append(name)
    return missing


@pytest.mark.skipif(UNDER_ASAN, reason='checked by the main run')
@pytest.mark.skipif(FREE_THREADED, reason='the guides use packages without free-threaded wheels')
@pytest.mark.parametrize('page', PAGES, ids=lambda page: str(page.relative_to(ROOT)))
def test_page_runs_as_written(page, tmp_path, monkeypatch):
    missing = missing_modules()
    if missing:
        pytest.skip(f'not installed: {", ".join(missing)}')
    blocks = [b for b in page_blocks(page)
              if b.note != 'not run' and b.language in PYTHON | SHELL]
    if not blocks:
        pytest.skip('no block to run')
    shutil.copytree(ROOT / 'examples', tmp_path / 'examples')
    (tmp_path / '.venv').symlink_to(sys.prefix, target_is_directory=True)
    assert (tmp_path / '.venv' / 'bin' / 'corvina-convert').exists()
    monkeypatch.chdir(tmp_path)
    session: dict[str, object] = {'__name__': '__main__'}
    for block in blocks:
        if block.language in PYTHON:
            # Line numbers in a traceback are those of the page.
            code = '\n' * block.line + block.code
            exec(compile(code, str(ROOT / block.page), 'exec'), session)  # noqa: S102
            continue
        done = subprocess.run(['bash', '-e', '-c', shell_script(block)], cwd=tmp_path,
                              capture_output=True, text=True, timeout=300, check=False)
        assert done.returncode == 0, f'{block.where}: exit status {done.returncode}\n' \
            f'{done.stdout}{done.stderr}'
