"""Prints a readable summary of a 1CClientBankExchange statement.

Usage: python summary.py [statement-file]

Without an argument it reads statement.txt next to this script.
"""

from __future__ import annotations

import pathlib
import sys
from collections.abc import Container

import corvina_py


def counterparty_of(document: corvina_py.Document, own_accounts: Container[str]) -> str:
    """The other side of a payment: the payee when the money left one of our accounts."""
    if document.counterparty_account in own_accounts:
        return "-> " + (document.payee or f"ИНН {document.payee_inn}")
    name = document.counterparty or document.counterparty_1
    return "<- " + (name or f"ИНН {document.counterparty_inn}")


def summarize(statement: corvina_py.Statement) -> str:
    lines = [f"Encoding: {statement.encoding}"]
    sender = statement.header.get("Отправитель")
    if sender:
        lines.append(f"Sender:   {sender}")

    lines.append("")
    lines.append(f"Accounts ({len(statement.accounts)}):")
    for number, account in statement.accounts.items():
        lines.append(f"  {number}")
        for interval in account.intervals:
            period = f"{interval.date_start} .. {interval.date_end or '(open)'}"
            closing = interval.end_amount if interval.end_amount is not None else "?"
            lines.append(
                f"    {period}: {interval.start_amount} -> {closing}"
                f" (in {interval.total_income or '-'}, out {interval.total_expense or '-'})"
            )

    lines.append("")
    lines.append(f"Documents ({len(statement.documents)}):")
    for document in statement.documents:
        lines.append(
            f"  {document.doc_date}  №{document.doc_number:<8} {document.amount:>14}"
            f"  {document.doc_type}: {counterparty_of(document, statement.accounts)}"
        )

    if statement.warnings:
        lines.append("")
        lines.append(f"Warnings ({len(statement.warnings)}):")
        for lineno, message in statement.warnings:
            lines.append(f"  line {lineno}: {message}")
    return "\n".join(lines)


def main(argv: list[str]) -> int:
    if len(argv) > 2:
        print((__doc__ or "").strip(), file=sys.stderr)
        return 2
    path = pathlib.Path(argv[1]) if len(argv) == 2 else pathlib.Path(__file__).with_name(
        "statement.txt"
    )
    try:
        statement = corvina_py.parse(path.read_bytes())
    except OSError as error:
        print(f"{path}: {error.strerror}", file=sys.stderr)
        return 1
    except corvina_py.ParseError as error:
        detail = getattr(error, "detail", None)
        where = f" (line {detail.lineno})" if detail is not None else ""
        print(f"{path}: {error}{where}", file=sys.stderr)
        return 1
    print(summarize(statement))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
