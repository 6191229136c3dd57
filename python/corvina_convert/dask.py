"""A folder of statements as one Dask DataFrame, one partition per file.

It lives in the installed package so that the workers of a dask.distributed cluster, which
import the functions a task names, find it wherever corvina_py is installed. Dask, pandas and
pyarrow are imported only when a frame is made or read (the `dask` extra installs them).
"""

from __future__ import annotations

import functools
import glob
import importlib
import os
import pathlib
import sys
from typing import Any

import corvina_py
from corvina_convert import inputs

MISSING = ("corvina_convert.dask needs {module}, which is not installed; install it with "
           "`pip install 'corvina_py[dask]'`")

# A statement without documents: its table has the columns and types every file's table has,
# and gives the empty partition of a file that does not parse.
NO_DOCUMENTS = ('1CClientBankExchange\nСекцияРасчСчет\nДатаНачала=01.01.2024\nРасчСчет=0\n'
                'НачальныйОстаток=0\nКонецРасчСчет\nКонецФайла\n')


def needed(name: str) -> Any:
    try:
        return importlib.import_module(name)
    except ModuleNotFoundError as error:
        top = name.partition('.')[0]
        if error.name is None or error.name.partition('.')[0] != top:
            raise
        module = 'dask[dataframe]' if top == 'dask' else top
        raise ModuleNotFoundError(MISSING.format(module=module), name=error.name) from error


def read_documents(path: str, scale: int = 2) -> Any:
    """One file's documents as a pandas DataFrame on Arrow types (exact decimals, dates).

    Every partition of a Dask DataFrame must have the same types, so amounts are widened to
    `scale` places; widening is exact, and a file written with more places fails the cast
    rather than being rounded. A file that does not parse is reported and gives no rows.
    """
    pyarrow = needed('pyarrow')
    pandas = needed('pandas')
    try:
        statement = corvina_py.parse(pathlib.Path(path).read_bytes())
    except OSError as error:
        print(f'{path}: {error.strerror or error}', file=sys.stderr)
        statement = corvina_py.parse(NO_DOCUMENTS)
    except corvina_py.ParseError as error:
        lineno = getattr(getattr(error, 'detail', None), 'lineno', None)
        message = '. '.join([str(error), *getattr(error, '__notes__', ())])
        print(f'{path if lineno is None else f"{path}:{lineno}"}: {message}', file=sys.stderr)
        statement = corvina_py.parse(NO_DOCUMENTS)
    table = pyarrow.table(statement.documents_table())
    index = table.schema.get_field_index('amount')
    amount = pyarrow.decimal128(38, scale)
    table = table.set_column(index, table.schema.field(index).with_type(amount),
                             table.column(index).cast(amount))
    frame = table.to_pandas(types_mapper=pandas.ArrowDtype)
    frame.insert(0, 'file', pandas.Series([path] * len(frame), dtype=pandas.ArrowDtype(
        pyarrow.string())))
    return frame


def documents_frame(folder: str, pattern: str = '*.txt', scale: int = 2) -> Any:
    """Every document of the folder's matching files (names matched case-insensitively, as
    corvina-convert does) as one Dask DataFrame, one partition per file in path order.
    Nothing is read until the frame is computed, on whatever scheduler is in use: the local
    one, or a dask.distributed Client's cluster."""
    dataframe = needed('dask.dataframe')
    paths = inputs.pattern_files(os.path.join(glob.escape(folder), pattern), recursive=False)
    return dataframe.from_map(functools.partial(read_documents, scale=scale), paths)
