"""Python-модуль для парсинга банковских выписок 1CClientBankExchange."""

# Dates and amounts are exposed as their canonical texts ("2024-03-05", "100.50"), never as
# float objects: on the result classes every value below is a str, and Statement.records()
# gives them typed as datetime.date and decimal.Decimal, the written scale kept.

import datetime
import decimal
from collections.abc import Callable, Sequence
from typing import ClassVar, Literal, Self, TypeAlias, TypedDict, final, overload

__all__ = [
    "Interval",
    "Account",
    "Document",
    "Statement",
    "SectionType",
    "UnexpectedSection",
    "UnexpectedAttribute",
    "UnrecognizedLine",
    "MissingField",
    "AccountParseError",
    "DocumentParseError",
    "HookError",
    "parse",
    "ParseError",
    "NotStatementError",
    "EmptyInputError",
    "UnfinishedError",
    "SyntaxError",
]

@final
class Interval:
    @property
    def date_start(self) -> str: ...
    @property
    def date_end(self) -> str | None: ...
    @property
    def start_amount(self) -> str: ...
    @property
    def end_amount(self) -> str | None: ...
    @property
    def total_income(self) -> str | None: ...
    @property
    def total_expense(self) -> str | None: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class Account:
    @property
    def number(self) -> str: ...
    # A new list of new Interval objects on each access: changing it leaves the account as is.
    @property
    def intervals(self) -> list[Interval]: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class Document:
    @property
    def doc_number(self) -> str: ...
    @property
    def doc_type(self) -> str: ...
    @property
    def doc_date(self) -> str: ...
    @property
    def amount(self) -> str: ...
    @property
    def purpose(self) -> str: ...
    @property
    def payment_type(self) -> str | None: ...
    @property
    def ordering(self) -> str | None: ...
    @property
    def counterparty_inn(self) -> str: ...
    @property
    def counterparty_kpp(self) -> str | None: ...
    @property
    def counterparty_bic(self) -> str: ...
    @property
    def counterparty_bank1(self) -> str: ...
    @property
    def counterparty_account(self) -> str: ...
    @property
    def counterparty(self) -> str | None: ...
    @property
    def counterparty_1(self) -> str | None: ...
    @property
    def counterparty_ras_account(self) -> str | None: ...
    @property
    def counterparty_cor_account(self) -> str | None: ...
    @property
    def outcome_date(self) -> str | None: ...
    @property
    def payee_inn(self) -> str: ...
    @property
    def payee(self) -> str | None: ...
    @property
    def payee_account(self) -> str: ...
    @property
    def payee_kpp(self) -> str | None: ...
    @property
    def payee_bic(self) -> str: ...
    @property
    def payee_bank1(self) -> str: ...
    @property
    def payee_ras_account(self) -> str | None: ...
    @property
    def payee_cor_account(self) -> str | None: ...
    @property
    def income_date(self) -> str | None: ...
    # The line of the section's "СекцияДокумент=" line, from 1.
    @property
    def lineno(self) -> int: ...
    # The section's keys that name no field, with their values, in order of first appearance
    # (a repeated key keeps its last value); a new dict on each access. Not part of equality.
    @property
    def extra(self) -> dict[str, str]: ...
    # Which way the money went relative to the statement's own accounts (its account sections'
    # numbers and the header's РасчСчет), the payer's and the payee's account or settlement
    # account compared: "in" (the payee's is ours), "out" (the payer's), "internal" (both),
    # None (neither). Not part of equality or the representation.
    @property
    def direction(self) -> _Direction: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class Statement:
    @property
    def encoding(self) -> str: ...
    # The containers below are the statement's own: the same object on every access.
    @property
    def header(self) -> dict[str, str]: ...
    @property
    def accounts(self) -> dict[str, Account]: ...
    @property
    def documents(self) -> list[Document]: ...
    @property
    def warnings(self) -> list[tuple[int, str]]: ...
    # corvina_convert.dumps writes accounts and documents through this: head, their sections
    # and tail as bytes, or None.
    def _exchange_documents(self, documents: list[Document], utf8: bool, crlf: bool,
                            head: bytes, tail: bytes, accounts: dict[str, Account],
                            /) -> bytes | None: ...
    # Snapshots of the containers as they are now, for Arrow consumers: pyarrow.table(t),
    # polars.DataFrame(t), or t named in a DuckDB query. Columns are the Document attributes in
    # order (texts utf8, dates date32, amounts decimal128(38, s) with s the largest scale in the
    # column but at least 2); the intervals table has an `account` column (each Account's number)
    # and then the Interval attributes. ValueError when an amount needs more than 38 digits at its
    # column's scale; TypeError when a container holds an object of another class.
    def documents_table(self) -> _ArrowTable: ...
    # corvina_convert's checks walk the documents (the list as it is now) through this, with
    # the numbers of the accounts whose turnovers to sum: (the requisites that fail their check
    # as (document index, requisite code), the sums by account index, incoming, day (year * 512
    # + month * 32 + day) and scale as (..., plus high word, plus low word, minus high word,
    # minus low word), the repeated documents as (index, index of the first), 16 bytes of
    # digest per document, the documents' lines as native uint32). TypeError for a list item
    # that is not a Document.
    def _check_documents(self, accounts: tuple[str, ...], /) -> tuple[
        list[tuple[int, int]], list[tuple[int, bool, int, int, int, int, int, int]],
        list[tuple[int, int]], bytes, bytes]: ...
    def intervals_table(self) -> _ArrowTable: ...
    # The same containers as lists of new dicts, one per document (interval), made in one call:
    # dates as datetime.date, amounts as decimal.Decimal with the scale as written, absent values
    # None. ValueError for a date datetime.date cannot hold (years before 1 or after 9999);
    # TypeError when a container holds an object of another class.
    def records(self) -> list[_DocumentRecord]: ...
    def interval_records(self) -> list[_IntervalRecord]: ...

# Not module attributes: the shapes of the records above.
_Direction: TypeAlias = Literal["in", "out", "internal"] | None

class _DocumentRecord(TypedDict):
    doc_number: str
    doc_type: str
    doc_date: datetime.date
    amount: decimal.Decimal
    purpose: str
    payment_type: str | None
    ordering: str | None
    counterparty_inn: str
    counterparty_kpp: str | None
    counterparty_bic: str
    counterparty_bank1: str
    counterparty_account: str
    counterparty: str | None
    counterparty_1: str | None
    counterparty_ras_account: str | None
    counterparty_cor_account: str | None
    outcome_date: datetime.date | None
    payee_inn: str
    payee: str | None
    payee_account: str
    payee_kpp: str | None
    payee_bic: str
    payee_bank1: str
    payee_ras_account: str | None
    payee_cor_account: str | None
    income_date: datetime.date | None
    lineno: int
    extra: dict[str, str]
    direction: _Direction

class _IntervalRecord(TypedDict):
    account: str
    date_start: datetime.date
    date_end: datetime.date | None
    start_amount: decimal.Decimal
    end_amount: decimal.Decimal | None
    total_income: decimal.Decimal | None
    total_expense: decimal.Decimal | None

# Not a module attribute: the type of the tables above, speaking the Arrow PyCapsule interface.
# The requested schema is accepted and ignored; the stream always has the table's own types.
@final
class _ArrowTable:
    def __arrow_c_schema__(self) -> object: ...
    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object: ...

@final
class SectionType:
    """Тип секции выписки для использования в hooks."""

    Document: ClassVar[SectionType]
    Account: ClassVar[SectionType]
    def __int__(self) -> int: ...
    # Members compare by value but are never hashable: a hook gets a fresh instance, so
    # `section_type is SectionType.Account` is always false.
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class UnexpectedSection:
    def __new__(cls, lineno: int, found: str, context: str) -> Self: ...
    @property
    def lineno(self) -> int: ...
    @property
    def found(self) -> str: ...
    @property
    def context(self) -> str: ...
    def __getnewargs__(self) -> tuple[int, str, str]: ...

@final
class UnexpectedAttribute:
    def __new__(cls, lineno: int, key: str, value: str) -> Self: ...
    @property
    def lineno(self) -> int: ...
    @property
    def key(self) -> str: ...
    @property
    def value(self) -> str: ...
    def __getnewargs__(self) -> tuple[int, str, str]: ...

@final
class UnrecognizedLine:
    def __new__(cls, lineno: int, line: str) -> Self: ...
    @property
    def lineno(self) -> int: ...
    @property
    def line(self) -> str: ...
    def __getnewargs__(self) -> tuple[int, str]: ...

@final
class MissingField:
    def __new__(cls, lineno: int, field: str, context: str) -> Self: ...
    @property
    def lineno(self) -> int: ...
    @property
    def field(self) -> str: ...
    @property
    def context(self) -> str: ...
    def __getnewargs__(self) -> tuple[int, str, str]: ...

@final
class AccountParseError:
    def __new__(cls, lineno: int, message: str) -> Self: ...
    @property
    def lineno(self) -> int: ...
    @property
    def message(self) -> str: ...
    def __getnewargs__(self) -> tuple[int, str]: ...

# Never attached by parse (a document that cannot be built becomes a warning); kept so that
# callers can build and pickle the same record shape.
@final
class DocumentParseError:
    def __new__(cls, lineno: int, message: str) -> Self: ...
    @property
    def lineno(self) -> int: ...
    @property
    def message(self) -> str: ...
    def __getnewargs__(self) -> tuple[int, str]: ...

@final
class HookError:
    def __new__(cls, lineno: int, message: str) -> Self: ...
    @property
    def lineno(self) -> int: ...
    @property
    def message(self) -> str: ...
    def __getnewargs__(self) -> tuple[int, str]: ...

_Detail: TypeAlias = (
    UnexpectedSection
    | UnexpectedAttribute
    | UnrecognizedLine
    | MissingField
    | AccountParseError
    | HookError
)

# A hook sees the section kind, the section's attributes (which it may change in place) and a
# copy of the header; whatever it returns is ignored.
_Hook: TypeAlias = Callable[[SectionType, dict[str, str], dict[str, str]], object]

@overload
def parse(statement: bytes, hooks: Sequence[_Hook] | None = None) -> Statement:
    """Парсит выписку 1CClientBankExchange из байтов или строки."""

@overload
def parse(statement: str, hooks: Sequence[_Hook] | None = None) -> Statement:
    """Парсит выписку 1CClientBankExchange из байтов или строки."""

class ParseError(Exception): ...

# The module's own class: `except SyntaxError` without importing this name does not catch it.
class SyntaxError(ParseError):
    detail: _Detail

class NotStatementError(ParseError): ...
class EmptyInputError(ParseError): ...
class UnfinishedError(ParseError): ...
