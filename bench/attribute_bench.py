"""Reading every attribute of every document, against csv.reader reading the same values.

    python bench/attribute_bench.py FILE [--runs 5]

The statement is parsed once; its documents' attributes are written to a CSV in memory (every
value as its str, absent ones empty). Then, in turn, medians of: a loop that reads every
attribute of every Document, and csv.reader yielding every row of that CSV with a loop over its
values. Reading the documents must be no slower than reading the CSV; exits with 1 when it is,
on 10 MB or more.
"""

import argparse
import csv
import io
import sys

import corvina_py
from timing import medians


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('file')
    parser.add_argument('--runs', type=int, default=5)
    args = parser.parse_args()
    with open(args.file, 'rb') as f:
        data = f.read()
    documents = corvina_py.parse(data).documents
    names = [name for name, value in vars(corvina_py.Document).items()
             if isinstance(value, type(corvina_py.Document.amount))]
    out = io.StringIO()
    writer = csv.writer(out)
    for document in documents:
        writer.writerow(['' if (value := getattr(document, name)) is None else str(value)
                         for name in names])
    text = out.getvalue()

    def read_documents() -> None:
        for document in documents:
            for name in names:
                getattr(document, name)

    def read_csv() -> None:
        for row in csv.reader(io.StringIO(text)):
            for _ in row:
                pass

    times = medians(args.runs, {'documents': read_documents, 'csv': read_csv})
    ours, theirs = times['documents'], times['csv']
    print(f'{len(documents)} documents, {len(names)} attributes each')
    print(f'every attribute of every Document  {ours * 1e3:9.1f} ms')
    print(f'csv.reader over the same values    {theirs * 1e3:9.1f} ms  '
          f'{theirs / ours:5.2f}x the documents\' time (target >= 1)')
    return 1 if len(data) >= 10_000_000 and ours > theirs else 0


if __name__ == '__main__':
    sys.exit(main())
