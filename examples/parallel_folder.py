"""Parses every statement in a folder across worker processes.

Usage: python parallel_folder.py FOLDER [--pattern '*.txt'] [--workers N]
                                        [--engine auto|dask|futures|serial] [--scheduler ADDRESS]
                                        [--table]

Each worker reads and parses one file and hands back plain dicts, lists and texts, never the
parser's objects, so the results travel between processes (or machines) as ordinary pickles.
--engine dask sends the files through a dask.bag on its local multiprocessing scheduler; give
--scheduler the address of a dask.distributed scheduler and the same bag runs on that cluster
instead (its workers need corvina_py installed). --engine futures does the same with
concurrent.futures. On one machine, sending parsed documents back costs workers more than the
parse they take over, so --engine auto (the default) parses in this process, as --engine
serial does, and uses Dask only when --scheduler names a cluster.

With --table (Dask, pandas and pyarrow needed) the folder becomes one Dask DataFrame instead,
one partition per file, each built from Statement.documents_table() with exact decimals and
real dates (corvina_convert.dask.documents_frame).
"""

from __future__ import annotations

import argparse
import concurrent.futures
import decimal
import importlib
import os
import pathlib
import sys
from typing import Any

import corvina_py
# The converter installed with the package already turns a statement into plain data, with
# one entry per field of these lists.
from corvina_convert import DOCUMENT_FIELDS, INTERVAL_FIELDS, statement_to_dict  # noqa: F401
# The frame's functions live in the installed package, where a cluster's workers find them.
from corvina_convert.dask import documents_frame, read_documents  # noqa: F401


def parse_file(path: str) -> dict[str, Any]:
    """One file as plain data; a failure is data too, so one bad file never stops the rest."""
    try:
        statement = corvina_py.parse(pathlib.Path(path).read_bytes())
    except OSError as error:
        return {'file': path, 'error': error.strerror or str(error), 'lineno': None}
    except corvina_py.ParseError as error:
        detail = getattr(error, 'detail', None)
        return {'file': path, 'error': str(error), 'lineno': getattr(detail, 'lineno', None)}
    return {'file': path, **statement_to_dict(statement)}


def parse_with_dask(paths: list[str], workers: int, scheduler: str | None) -> list[dict[str, Any]]:
    bag_module = importlib.import_module('dask.bag')
    # One partition per file keeps a large file from holding up a whole batch of small ones.
    bag = bag_module.from_sequence(paths, npartitions=max(1, len(paths))).map(parse_file)
    if scheduler is not None:
        client = importlib.import_module('dask.distributed').Client(scheduler)
        try:
            results: list[dict[str, Any]] = bag.compute()
        finally:
            client.close()
        return results
    results = bag.compute(scheduler='processes', num_workers=workers)
    return results


def parse_with_futures(paths: list[str], workers: int) -> list[dict[str, Any]]:
    with concurrent.futures.ProcessPoolExecutor(max_workers=workers) as pool:
        return list(pool.map(parse_file, paths))


def parse_folder(folder: str, pattern: str = '*.txt', workers: int | None = None,
                 engine: str = 'auto', scheduler: str | None = None) -> list[dict[str, Any]]:
    """Parses the matching files of the folder; results come back in file-name order."""
    paths = sorted(str(path) for path in pathlib.Path(folder).glob(pattern) if path.is_file())
    if not paths:
        return []
    # auto parses here: on one machine, turning the documents into dicts and sending them back
    # costs workers more than the parse they take over (README, "Parsing many files in
    # parallel"), and Dask's local processes, the engine auto used to pick, are the slowest.
    if engine in ('serial', 'auto') and scheduler is None:
        return [parse_file(path) for path in paths]
    workers = workers or os.cpu_count() or 1
    if engine == 'dask' or scheduler is not None:
        return parse_with_dask(paths, workers, scheduler)
    return parse_with_futures(paths, workers)


def total_amount(results: list[dict[str, Any]]) -> decimal.Decimal:
    # Summed exactly: the amounts are decimal texts with up to 28 places, more digits in all
    # than the default context keeps.
    exact = decimal.Context(prec=decimal.MAX_PREC, traps=[decimal.Inexact])
    total = decimal.Decimal(0)
    for result in results:
        for document in result.get('documents', ()):
            total = exact.add(total, decimal.Decimal(document['amount']))
    return total


def partition_total(amounts: Any) -> tuple[int, decimal.Decimal]:
    # pyarrow sums the decimal column exactly, at its scale.
    total = amounts.sum() if amounts.count() else decimal.Decimal(0)
    return int(amounts.count()), decimal.Decimal(total)


def summarize_frame(folder: str, pattern: str, workers: int | None,
                    scheduler: str | None) -> int:
    dask = importlib.import_module('dask')
    frame = documents_frame(folder, pattern)
    # Each partition's count and total are computed where the partition is, and only those
    # travel back (Dask's own sum does not take Arrow decimals).
    parts = [dask.delayed(partition_total)(part) for part in frame['amount'].to_delayed()]
    if scheduler is not None:
        client = importlib.import_module('dask.distributed').Client(scheduler)
        try:
            results = dask.compute(*parts)
        finally:
            client.close()
    else:
        results = dask.compute(*parts, scheduler='processes',
                               num_workers=workers or os.cpu_count() or 1)
    exact = decimal.Context(prec=decimal.MAX_PREC, traps=[decimal.Inexact])
    total = decimal.Decimal(0)
    for _, part_total in results:
        total = exact.add(total, part_total)
    count = sum(part_count for part_count, _ in results)
    print(f"{len(results)} files, {count} documents, total {format(total, 'f')}")
    return 0


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument('folder')
    parser.add_argument('--pattern', default='*.txt')
    parser.add_argument('--workers', type=int)
    parser.add_argument('--engine', choices=('auto', 'dask', 'futures', 'serial'), default='auto')
    parser.add_argument('--scheduler', metavar='ADDRESS')
    parser.add_argument('--table', action='store_true',
                        help='one Dask DataFrame of every document (needs pandas, pyarrow)')
    args = parser.parse_args(argv)
    if args.table:
        return summarize_frame(args.folder, args.pattern, args.workers, args.scheduler)

    results = parse_folder(args.folder, args.pattern, args.workers, args.engine, args.scheduler)
    failed = 0
    for result in results:
        if 'error' in result:
            failed += 1
            where = result['file'] if result['lineno'] is None \
                else f"{result['file']}:{result['lineno']}"
            print(f"{where}: {result['error']}", file=sys.stderr)
        else:
            print(f"{result['file']}: {len(result['documents'])} documents, "
                  f"{len(result['accounts'])} accounts, {len(result['warnings'])} warnings")
    documents = sum(len(result.get('documents', ())) for result in results)
    print(f'{len(results)} files, {failed} failed, {documents} documents, '
          f"total {format(total_amount(results), 'f')}")
    return 1 if failed else 0


if __name__ == '__main__':
    sys.exit(main())
