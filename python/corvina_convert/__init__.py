"""Converts 1CClientBankExchange statements to JSON, CSV, a short summary, Parquet or Arrow.

    corvina-convert [-f FORMAT] [-o OUT] [options] FILE|FOLDER|PATTERN... | -

Amounts stay the exact decimal texts the parser produced: no value ever passes through a
float, and the summary adds amounts with decimal.Decimal in a context that cannot round.

The package's face: writing statements back (dumps, dump), reading them into rows and tables
(read, read_tables, Tables), checking that they add up (check, check_files, Problem) and the
command line (main, run, build_parser), which lives in corvina_convert.cli.
"""

from __future__ import annotations

from typing import TYPE_CHECKING

from corvina_convert.cli import (ARGPARSE_MESSAGES, DOCUMENT_FIELDS, EXTRA_COLUMNS,
                                 INTERVAL_FIELDS, STDIN, STDIN_NAME, Outcome, build_parser,
                                 convert_all, csv_writer, main, parse_or_refuse, read_csv_rows,
                                 readable_name, run, statement_to_dict, summary_pieces)
from corvina_convert.exchange import dump, dumps
from corvina_convert.reading import Tables, read, read_tables

if TYPE_CHECKING:
    from corvina_convert.checks import Problem, check, check_files

__all__ = ['dumps', 'dump', 'read', 'read_tables', 'Tables', 'check', 'check_files', 'Problem',
           'statement_to_dict', 'DOCUMENT_FIELDS', 'INTERVAL_FIELDS', 'main', 'run',
           'build_parser']


def __getattr__(name: str) -> object:
    # The checks load on first use: `python -m corvina_convert.checks` would otherwise find
    # its own module imported already, and runpy warns of that.
    if name in ('Problem', 'check', 'check_files'):
        from corvina_convert import checks
        return getattr(checks, name)
    raise AttributeError(f'module {__name__!r} has no attribute {name!r}')
