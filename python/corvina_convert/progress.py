"""Progress of a long batch on standard error: files done, megabytes per second, time left.

Shown only to a person watching a terminal: a run whose standard error is a file or a pipe
writes exactly what it wrote before progress existed, so scripts and logs see no difference.
tqdm draws the bar when it is installed (the `progress` extra); otherwise one line is
rewritten in place, at most a few times a second.
"""

from __future__ import annotations

import importlib
import importlib.util
import os
import time
from collections.abc import Iterable, Iterator, Sequence
from typing import Any, TextIO

from corvina_convert.i18n import _, n_

# A batch worth watching: several files, or one file big enough to take a while.
LONG_BATCH_BYTES = 64 * 1024 * 1024
MEGABYTE = 1_000_000
REDRAW_SECONDS = 0.2


def input_sizes(paths: Sequence[str], stdin: str) -> list[int]:
    """The size of each input file; 0 for standard input and for what cannot be looked at,
    which the conversion then reports in its turn."""
    sizes = []
    for path in paths:
        try:
            sizes.append(0 if path == stdin else os.stat(path).st_size)
        except OSError:
            sizes.append(0)
    return sizes


def is_long(sizes: Sequence[int]) -> bool:
    return len(sizes) > 1 or sum(sizes) > LONG_BATCH_BYTES


def is_terminal(stream: TextIO) -> bool:
    try:
        return stream.isatty()
    except (AttributeError, ValueError, OSError):
        return False


class LineBar:
    """The fallback: one line, redrawn in place, cleared before any message is written."""

    def __init__(self, stream: TextIO, files: int, total: int) -> None:
        self.stream = stream
        self.files = files
        self.total = total
        self.done_files = 0
        self.done_bytes = 0
        self.start = time.monotonic()
        self.drawn_at = 0.0
        self.width = 0  # of the line on screen; spaces wipe it, where escapes may not work

    def advance(self, size: int) -> None:
        self.done_files += 1
        self.done_bytes += size
        now = time.monotonic()
        if now - self.drawn_at >= REDRAW_SECONDS or self.done_files == self.files:
            self.drawn_at = now
            self.draw(now)

    def draw(self, now: float) -> None:
        elapsed = max(now - self.start, 1e-9)
        rate = self.done_bytes / elapsed
        left = (self.total - self.done_bytes) / rate if rate else None
        text = _('{files_done}, {rate:.1f} MB/s, {left} left').format(
            files_done=files_done(self.done_files, self.files), rate=rate / MEGABYTE,
            left='?' if left is None else clock(left))
        self.stream.write('\r' + text.ljust(self.width))
        self.stream.flush()
        self.width = len(text)

    def clear(self) -> None:
        if self.width:
            self.stream.write('\r' + ' ' * self.width + '\r')
            self.stream.flush()
            self.width = 0

    def redraw(self) -> None:
        if self.done_files:
            self.draw(time.monotonic())

    def close(self) -> None:
        self.clear()


class TqdmBar:
    """tqdm counting bytes, so that its rate reads in MB/s and its estimate weighs big files
    more than small ones; the files done go in its postfix."""

    def __init__(self, tqdm: Any, stream: TextIO, files: int, total: int) -> None:
        self.files = files
        self.done_files = 0
        self.bar = tqdm(total=total, unit='B', unit_scale=True,
                        file=stream, leave=False, dynamic_ncols=True,
                        postfix=files_done(0, files))

    def advance(self, size: int) -> None:
        self.done_files += 1
        self.bar.set_postfix_str(files_done(self.done_files, self.files), refresh=False)
        self.bar.update(size)
        if self.done_files == self.files:
            self.bar.refresh()  # the last state, which tqdm's rate limit would skip

    def clear(self) -> None:
        self.bar.clear()

    def redraw(self) -> None:
        self.bar.refresh()

    def close(self) -> None:
        self.bar.close()


def files_done(done: int, files: int) -> str:
    return n_('{done}/{files} file', '{done}/{files} files', files).format(done=done, files=files)


def clock(seconds: float) -> str:
    seconds = int(seconds + 0.5)
    hours, rest = divmod(seconds, 3600)
    return f'{hours}:{rest // 60:02}:{rest % 60:02}' if hours else f'{rest // 60}:{rest % 60:02}'


class Messages:
    """Standard error for the run's messages while a bar is shown: each whole line is written
    with the bar cleared and then drawn again below it."""

    def __init__(self, stream: TextIO, bar: LineBar | TqdmBar) -> None:
        self.stream = stream
        self.bar = bar
        self.pending = ''

    def write(self, text: str) -> int:
        self.pending += text
        if '\n' in self.pending:
            lines, _, self.pending = self.pending.rpartition('\n')
            self.bar.clear()
            self.stream.write(lines + '\n')
            self.stream.flush()
            self.bar.redraw()
        return len(text)

    def flush(self) -> None:
        self.stream.flush()


def make_bar(stream: TextIO, files: int, total: int) -> LineBar | TqdmBar:
    if importlib.util.find_spec('tqdm') is not None:  # optional: the `progress` extra
        return TqdmBar(importlib.import_module('tqdm').tqdm, stream, files, total)
    return LineBar(stream, files, total)


def tracked(items: Iterable[Any], sizes: Sequence[int], stream: TextIO,
            quiet: bool) -> tuple[Iterator[Any], TextIO]:
    """The items (one per input, in order) with a bar advancing as each passes, and the
    stream to write messages to meanwhile; the items unchanged when no bar is wanted."""
    if quiet or not is_long(sizes) or not is_terminal(stream):
        return iter(items), stream
    bar = make_bar(stream, len(sizes), sum(sizes))

    def advance() -> Iterator[Any]:
        try:
            for item, size in zip(items, sizes):
                yield item
                bar.advance(size)
        finally:
            bar.close()
    return advance(), Messages(stream, bar)  # type: ignore[return-value]
