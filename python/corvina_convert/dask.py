"""A folder of statements as one Dask DataFrame, one partition per file.

It lives in the installed package so that the workers of a dask.distributed cluster, which
import the functions a task names, find it wherever corvina_py is installed. Dask, pandas and
pyarrow are imported only when a frame is made or read (the `dask` extra installs them).

Nothing is dropped unsaid: a file that fails and a document left out are reported on the
worker's standard error as they are met, and problems_frame() gives them as rows.
"""

from __future__ import annotations

import functools
import glob
import importlib
import os
import sys
from typing import Any

import corvina_py
from corvina_convert import inputs, messages, reading
from corvina_convert.reading import NO_DOCUMENTS

MISSING = ("corvina_convert.dask needs {module}, which is not installed; install it with "
           "`pip install 'corvina_py[dask]'`")


def needed(name: str) -> Any:
    try:
        return importlib.import_module(name)
    except ModuleNotFoundError as error:
        top = name.partition('.')[0]
        if error.name is None or error.name.partition('.')[0] != top:
            raise
        module = 'dask[dataframe]' if top == 'dask' else top
        raise ModuleNotFoundError(MISSING.format(module=module), name=error.name) from error


class ScaleError(ValueError):
    """A file whose amounts need more decimal places than the frame's declared scale."""


def scale_error(path: str, needs: int, scale: int) -> str:
    return (f'{path}: its amounts need {needs} decimal places, more than the frame\'s '
            f'scale={scale}; make the frame with scale={needs} or more, or scale=None to find '
            'the widest among the files')


def parsed(path: str, quiet: bool = False) -> corvina_py.Statement:
    """The file's statement, or one without documents when it gives none; unless quiet, a file
    that fails and each document left out are printed as `file:line: message`, as the converter
    prints them."""
    statement: corvina_py.Statement | None
    try:
        with open(path, 'rb') as stream:
            data, _ = reading.parser_bytes(stream.read())
        statement = corvina_py.parse(data)
    except OSError as error:
        say = f'{path}: {error.strerror or error}'
        statement = None
    except corvina_py.ParseError as error:
        lineno = getattr(getattr(error, 'detail', None), 'lineno', None)
        # The parser's notes on the likely cause follow its message.
        message = '. '.join([str(error), *getattr(error, '__notes__', ())])
        say = f'{path if lineno is None else f"{path}:{lineno}"}: {message}'
        statement = None
    else:
        say = ''.join(f'{path}:{lineno}: warning: {messages.dropped_document(message)}\n'
                      for lineno, message in statement.warnings).removesuffix('\n')
    if say and not quiet:
        print(say, file=sys.stderr)
    return corvina_py.parse(NO_DOCUMENTS) if statement is None else statement


def amount_scale(path: str) -> int:
    """The scale the file's amounts need: at least 2, as every statement's table has."""
    # Quiet, and no failure here: the frame's own reading says what is wrong, once.
    try:
        table = needed('pyarrow').table(parsed(path, quiet=True).documents_table())
    except ValueError:
        return 2
    return int(table.schema.field('amount').type.scale)


def read_documents(path: str, scale: int = 2) -> Any:
    """One file's documents as a pandas DataFrame on Arrow types (exact decimals, dates).

    Every partition of a Dask DataFrame must have the same types, so amounts are widened to
    `scale` places. Widening is exact; a file written with more places raises ScaleError,
    naming the file and the scale it needs, rather than being rounded. A file that does not
    parse is reported and gives no rows.
    """
    pyarrow = needed('pyarrow')
    try:
        table = pyarrow.table(parsed(path).documents_table())
    except ValueError as error:  # an amount with no place in a 38-digit column
        raise ValueError(f'{path}: {error}') from error
    return documents_partition(table, path, scale)


def documents_partition(table: Any, path: str, scale: int) -> Any:
    pyarrow = needed('pyarrow')
    pandas = needed('pandas')
    index = table.schema.get_field_index('amount')
    needs = table.schema.field(index).type.scale
    if needs > scale:
        raise ScaleError(scale_error(path, needs, scale))
    # Through 76 digits: pyarrow rescales a 38-digit column in place without checking that the
    # values still fit, and narrowing afterwards is checked.
    amount = pyarrow.decimal128(38, scale)
    try:
        column = table.column(index).cast(pyarrow.decimal256(76, scale)).cast(amount)
    except pyarrow.ArrowInvalid as error:
        raise ValueError(f'{path}: an amount needs more than 38 digits at scale={scale} '
                         f'(pyarrow: {error})') from error
    table = table.set_column(index, table.schema.field(index).with_type(amount), column)
    frame = table.to_pandas(types_mapper=pandas.ArrowDtype)
    frame.insert(0, 'file', pandas.Series([path] * len(frame), dtype=pandas.ArrowDtype(
        pyarrow.string())))
    return frame


def read_problems(path: str) -> Any:
    """One file's problems as a pandas DataFrame: file, line, kind (error, warning or note)
    and message, one row each."""
    return problems_partition(reading.load(path, tables=False).problems)


def problems_partition(rows: list[tuple[str, int | None, str, str]]) -> Any:
    table = reading.problems_table(rows, needed('pyarrow').int64())
    return table.to_pandas(types_mapper=needed('pandas').ArrowDtype)


def matching(folder: str, pattern: str) -> list[str]:
    return inputs.pattern_files(os.path.join(glob.escape(folder), pattern), recursive=False)


def documents_frame(folder: str, pattern: str = '*.txt', scale: int | None = 2) -> Any:
    """Every document of the folder's matching files (names matched case-insensitively, as
    corvina-convert does) as one Dask DataFrame, one partition per file in path order.
    Nothing is read until the frame is computed, on whatever scheduler is in use: the local
    one, or a dask.distributed Client's cluster.

    Amounts have `scale` decimal places in every partition; a file that needs more fails the
    computation with ScaleError naming it. scale=None finds the widest scale first, which
    parses every file once more when the frame is made."""
    dataframe = needed('dask.dataframe')
    paths = matching(folder, pattern)
    if scale is None:
        dask = needed('dask')
        scales = dask.compute(*map(dask.delayed(amount_scale, pure=True), paths))
        scale = max(scales, default=2)
    # The frame's types given, not found by reading the first file: nothing is read (and no
    # problem reported) before the frame is computed.
    empty = needed('pyarrow').table(corvina_py.parse(NO_DOCUMENTS).documents_table())
    return dataframe.from_map(functools.partial(read_documents, scale=scale), paths,
                              meta=documents_partition(empty, '', scale))


def problems_frame(folder: str, pattern: str = '*.txt') -> Any:
    """The problems of the files documents_frame reads, as one Dask DataFrame: a row per
    document left out (kind "warning"), per file that failed ("error") and per byte-order
    mark taken off ("note"), with the file and line."""
    dataframe = needed('dask.dataframe')
    return dataframe.from_map(read_problems, matching(folder, pattern),
                              meta=problems_partition([]))
