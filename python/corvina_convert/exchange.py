"""Writes statements back in the exchange format: dumps() to bytes, dump() to a binary file.

What is written is read back by corvina_py.parse as the same statement: the same header (but
for its Кодировка, which follows the encoding written), the same accounts, their intervals in
the reader's order (by start date), the same documents field by field and text by text. What
could not be read back so is refused with a ValueError before a byte is written, never written
differently: documents the parse dropped too, unless the caller says to write without them.

The field keys are the ones the module shows: each field's getter carries its key as its doc
text, so the parser's record tables stay the one place where a key is spelled.
"""

from __future__ import annotations

import datetime
import decimal
import operator
import re
import types
from collections.abc import Iterable, Iterator, Mapping, Sequence
from typing import IO, Any, Literal

import corvina_py

__all__ = ['dumps', 'dump', 'ENCODINGS', 'DROPPED']

# The format's structure words; field keys come from the module below.
MARKER = '1CClientBankExchange'
ACCOUNT_START = 'СекцияРасчСчет'
ACCOUNT_END = 'КонецРасчСчет'
DOCUMENT_END = 'КонецДокумента'
FILE_END = 'КонецФайла'
ENCODING_KEY = 'Кодировка'

# Per encoding written: the Кодировка value put in its place, and the values (compared without
# case) that already say it and are kept as they are, so that a file saying "windows" comes
# back byte for byte.
ENCODINGS = {
    'cp1251': ('Windows', frozenset({'windows'})),
    'utf-8': ('UTF-8', frozenset({'utf-8', 'utf8'})),
}
NEWLINES = ('\r\n', '\n')
# What dumps() does with a statement that lost documents the parser could not build: refuse
# it, or write the documents it has.
DROPPED = ('raise', 'ignore')
# The dropped documents' lines named in a refusal; past these, a count.
_LINES_NAMED = 10


# A document's attributes that are no field of its own: where it stood in the file, its other
# keys, written after the fields, and which way it went, which the statement's accounts decide
# again when it is read back.
_NOT_FIELDS = frozenset({'lineno', 'extra', 'direction'})


def _field_keys(cls: type) -> dict[str, str]:
    """Attribute name -> the format's key, in the order the class declares its fields."""
    keys = {name: value.__doc__ for name, value in vars(cls).items()
            if isinstance(value, types.GetSetDescriptorType) and name not in _NOT_FIELDS}
    missing = [name for name, key in keys.items() if not key]
    if missing:
        raise ImportError(f'corvina_py.{cls.__name__} names no key for {", ".join(missing)}')
    return {name: str(key) for name, key in keys.items()}


DOCUMENT_KEYS = _field_keys(corvina_py.Document)
INTERVAL_KEYS = _field_keys(corvina_py.Interval)
ACCOUNT_NUMBER_KEY: str = corvina_py.Account.number.__doc__  # type: ignore[assignment]
DOCUMENT_START = DOCUMENT_KEYS['doc_type']

DATE_FIELDS = frozenset({'doc_date', 'outcome_date', 'income_date', 'date_start', 'date_end'})
AMOUNT_FIELDS = frozenset({'amount', 'start_amount', 'end_amount', 'total_income',
                           'total_expense'})
REQUIRED_FIELDS = frozenset({
    'doc_number', 'doc_type', 'doc_date', 'purpose', 'amount', 'counterparty_inn',
    'counterparty_bic', 'counterparty_bank1', 'counterparty_account', 'payee_inn',
    'payee_account', 'payee_bic', 'payee_bank1', 'date_start', 'start_amount'})

# The document's fields after its opening line, which carries the kind.
_BODY_FIELDS = tuple(name for name in DOCUMENT_KEYS if name != 'doc_type')
_BODY_PREFIXES = tuple(DOCUMENT_KEYS[name] + '=' for name in _BODY_FIELDS)
_BODY_DATES = tuple(i for i, name in enumerate(_BODY_FIELDS) if name in DATE_FIELDS)
_document_values = operator.attrgetter(*_BODY_FIELDS)
# An account section as banks write it: the period, the account, then the amounts.
_PERIOD = tuple(name for name in INTERVAL_KEYS if name in DATE_FIELDS)
_INTERVAL_ORDER = (*_PERIOD, None, *(name for name in INTERVAL_KEYS if name not in _PERIOD))
_INTERVAL_NAMES = tuple(name for name in _INTERVAL_ORDER if name is not None)
_interval_values = operator.attrgetter(*_INTERVAL_NAMES)
_INTERVAL_DATES = tuple(i for i, name in enumerate(_INTERVAL_NAMES) if name in DATE_FIELDS)
_NUMBER_AT = _INTERVAL_ORDER.index(None)
_INTERVAL_PREFIXES = tuple(
    (ACCOUNT_NUMBER_KEY if name is None else INTERVAL_KEYS[name]) + '=' for name in _INTERVAL_ORDER)
_FIELD_KEYS = frozenset(DOCUMENT_KEYS.values())

# The range the parser's dates cover.
_YEARS = range(-262143, 262143)
_DATE = re.compile(r'(?:([0-9]{4})|([+-])([0-9]{4,}))-([0-9]{2})-([0-9]{2})')
_AMOUNT = re.compile(r'-?(0|[1-9][0-9]*)(?:\.([0-9]{1,28}))?')
_MAGNITUDE = 2 ** 96 - 1

# What the reader counts as plausible in a Windows-1251 file, of which it looks at the first
# 20480 characters: more than 4% of anything else there and the file is not a statement.
_IMPLAUSIBLE = re.compile('[^\t\n\x0c\r\x20-\x7e\u0400-\U0010ffff]')
_PLAUSIBLE_BYTES = bytes(byte for byte in range(256)
                         if not _IMPLAUSIBLE.match(bytes([byte]).decode('cp1251', 'ignore')
                                                   or '\x98'))
_LOOKED_AT = 20480


def _sections_in_core(statement: Any, accounts: Mapping[str, Any], documents: Sequence[Any],
                      encoding: str, newline: str, head: bytes, tail: bytes) -> bytes | None:
    """The whole file, the account and document sections written by the module in one go,
    when it can write them all: the accounts and documents of a parsed statement."""
    if not isinstance(statement, corvina_py.Statement) or not isinstance(documents, list) or \
            type(accounts) is not dict:
        return None
    data: bytes | None = statement._exchange_documents(documents, encoding == 'utf-8',
                                                       newline == '\r\n', head, tail, accounts)
    return data


def dumps(statement: corvina_py.Statement | Mapping[str, Any], *, encoding: str = 'cp1251',
          newline: str = '\r\n', dropped: Literal['raise', 'ignore'] = 'raise') -> bytes:
    """The statement in the exchange format, as bytes in `encoding` ("cp1251" or "utf-8")
    with `newline` ("\\r\\n" or "\\n") after every line.

    `statement` is a corvina_py.Statement or a mapping shaped like corvina-convert's JSON
    object: "header" (key -> value), "accounts" (number -> list of intervals, each a mapping of
    the Interval attribute names) and "documents" (mappings of the Document attribute names,
    with an optional "extra" mapping of other keys); Interval and Document objects may stand
    for the mappings. Dates are "yyyy-mm-dd" texts (or datetime.date), amounts decimal texts
    (or int or decimal.Decimal) as the parser shows them; None leaves a field out.

    A statement whose parse dropped documents (its warnings; a mapping's "warnings" list) is
    refused with a ValueError listing their lines, since the file would lack them without a
    word: dropped="ignore" writes the documents it has.

    parse(dumps(s)) gives back the header (Кодировка following the encoding), the accounts,
    their intervals sorted by start date, and every document field by field with its extra
    keys. It cannot give back what the parser does not keep: the layout (all accounts are
    written before the documents, fields in the Document attributes' order), the earlier
    values of a repeated key (the last one is kept), the spelling of dates and amounts.

    Raises ValueError, naming the document or section, the field and the reason, for what the
    parser would not read back the same: a line break in a key or value, a character the
    encoding cannot write, a missing required field, a date or amount not in the parser's own
    form, a key holding "=", two equal intervals of one account. TypeError for a value of
    another type.
    """
    if encoding not in ENCODINGS:
        raise ValueError(f'encoding must be one of {", ".join(map(repr, ENCODINGS))}, '
                         f'not {encoding!r}')
    if newline not in NEWLINES:
        raise ValueError(f'newline must be "\\r\\n" or "\\n", not {newline!r}')
    if dropped not in DROPPED:
        raise ValueError(f'dropped must be "raise" or "ignore", not {dropped!r}')
    if dropped == 'raise':
        lines = dropped_lines(statement)
        if lines:
            raise ValueError(dropped_message(lines, 'pass dropped="ignore" to write it without '
                                                    'them'))
    writer = _Writer(encoding, newline)
    header, accounts, documents = _parts(statement)
    data = None
    if isinstance(statement, corvina_py.Statement) and documents:
        # The module writes the sections of a parsed statement's accounts and documents.
        ends = writer.checked_bytes(statement, [*writer.header_lines(header), FILE_END])
        cut = len((FILE_END + newline).encode(encoding))
        data = _sections_in_core(statement, accounts, documents, encoding, newline,
                                 ends[:-cut], ends[-cut:])
    if data is None:
        head = writer.head_lines(header, accounts)
        if len(head) == 1 + len(header) and not documents:
            raise ValueError('the statement has neither account intervals nor documents, and '
                             'the format needs at least one section')
        data = writer.checked_bytes(statement,
                                    [*head, *writer.document_lines(documents), FILE_END])
    if encoding == 'cp1251':
        # One byte per character: the reader's first characters are these bytes.
        looked_at = data[:_LOOKED_AT]
        implausible = len(looked_at.translate(None, _PLAUSIBLE_BYTES))
        if (len(looked_at) - implausible) * 100 // len(looked_at) <= 95:
            writer.refuse_line(statement, _implausible, implausible, len(looked_at))
    return data


def dump(statement: corvina_py.Statement | Mapping[str, Any], file: IO[bytes], *,
         encoding: str = 'cp1251', newline: str = '\r\n',
         dropped: Literal['raise', 'ignore'] = 'raise') -> None:
    """Writes dumps(statement, ...) to a binary file; nothing at all when it is refused."""
    file.write(dumps(statement, encoding=encoding, newline=newline, dropped=dropped))


def dropped_lines(statement: Any) -> list[int | None]:
    """The lines of the documents that the statement's parse dropped, None where unknown."""
    if isinstance(statement, corvina_py.Statement):
        return [lineno for lineno, _ in statement.warnings]
    warnings = statement.get('warnings') if isinstance(statement, Mapping) else None
    if not warnings or isinstance(warnings, (str, bytes)) or not isinstance(warnings, Iterable):
        return []
    # As the converter's JSON has them ({"lineno": ..., "message": ...}), or as the module's
    # (lineno, message) pairs.
    found = (warning.get('lineno') if isinstance(warning, Mapping)
             else warning[0] if isinstance(warning, Sequence) and warning else None
             for warning in warnings)
    return [line if isinstance(line, int) else None for line in found]


def dropped_message(lines: Sequence[int | None], remedy: str) -> str:
    """The refusal of a statement that lost documents, naming their lines."""
    named = ', '.join('?' if line is None else str(line) for line in lines[:_LINES_NAMED])
    if len(lines) > _LINES_NAMED:
        named += f' and {len(lines) - _LINES_NAMED} more'
    count = 'a document' if len(lines) == 1 else f'{len(lines)} documents'
    return (f'the parser dropped {count} of this statement (line{"s" if len(lines) > 1 else ""} '
            f'{named}), which the file written would silently lack; {remedy}')


def _encode(text: str, encoding: str) -> bytes | None:
    try:
        return text.encode(encoding)
    except UnicodeEncodeError:
        pass
    # The reader maps byte 0x98, which Windows-1251 leaves out, to U+0098; Python's codec has
    # no such byte, so that one character is put back by hand.
    if encoding == 'cp1251' and '\x98' in text:
        try:
            return b'\x98'.join(part.encode(encoding) for part in text.split('\x98'))
        except UnicodeEncodeError:
            pass
    return None


# --- Refusals found on the whole text, traced back to their line -----------------------------

def _line_break(key: str, value: str, newline: str, encoding: str) -> str | None:
    # A carriage return in a key is followed by "=", never taken for part of a line break.
    if '\n' in key:
        return 'a line break in the key'
    if '\n' in value:
        return 'a line break in the value'
    if newline == '\n' and value.endswith('\r'):
        return 'a carriage return ending the value, which would be read as part of the line break'
    return None


def _unencodable_in(text: str, encoding: str) -> str | None:
    try:
        _encode_strict(text, encoding)
    except UnicodeEncodeError as error:
        return f'{text[error.start]!r} (U+{ord(text[error.start]):04X})'
    return None


def _encode_strict(text: str, encoding: str) -> None:
    if encoding == 'cp1251':
        text = text.replace('\x98', '')
    text.encode(encoding)


def _unencodable(key: str, value: str, newline: str, encoding: str) -> str | None:
    for what, text in (('key', key), ('value', value)):
        found = _unencodable_in(text, encoding)
        if found is not None:
            return f'the {what} holds {found}, which {encoding} cannot write'
    return None


def _implausible(key: str, value: str, newline: str, encoding: str) -> str | None:
    found = _IMPLAUSIBLE.search(key + '=' + value)
    if found is None:
        return None
    return (f'{found.group()!r} (U+{ord(found.group()):04X}) is one of too many control '
            'characters or characters from U+0080 to U+03FF near the start of the file for it '
            'to be read as Windows-1251; write it as UTF-8')


_CACHED_DATES = frozenset({str, datetime.date})


class _DateTexts(dict[Any, str]):
    """Canonical date -> the text written, filled as dates are met: a statement has few."""

    def __init__(self, check: bool) -> None:
        super().__init__()
        self.check = check

    def __missing__(self, date: Any) -> str:
        written = _written_date(date) if self.check else _date_text(date)
        self[date] = written
        return written


def _date_text(date: str) -> str:
    # yyyy-mm-dd, or a signed year of more digits: written day.month.year, the sign kept, which
    # the reader takes for a year of any length.
    return f'{date[-2:]}.{date[-5:-3]}.{date[:-6]}'


def _exact(text: str) -> str:
    """The text's own characters as a plain str: a subclass may answer otherwise through
    __str__, __format__ or slicing, and the text written must be the one checked."""
    return text if type(text) is str else str.__str__(text)


def _written_date(date: Any) -> str:
    if isinstance(date, datetime.date) and not isinstance(date, datetime.datetime):
        date = datetime.date.isoformat(date)
    elif isinstance(date, str):
        date = _exact(date)
    else:
        raise TypeError(f'a date is a "yyyy-mm-dd" text or a datetime.date, not '
                        f'{type(date).__name__}')
    match = _DATE.fullmatch(date)
    if match is None:
        raise _Unreadable(f'the date {date!r} is not a "yyyy-mm-dd" text')
    unsigned, sign, signed, month, day = match.groups()
    year = int(unsigned) if unsigned is not None else int(sign + signed)
    if signed is not None and (signed != f'{abs(year):04d}' or 0 <= year <= 9999):
        raise _Unreadable(f'the date {date!r} would be read back as another text (a sign and '
                          'more than four digits only for years outside 0000 to 9999)')
    if year not in _YEARS or not 1 <= int(month) <= 12 \
            or not 1 <= int(day) <= _days_in(year, int(month)):
        raise _Unreadable(f'the date {date!r} is out of range')
    return _date_text(date)


def _days_in(year: int, month: int) -> int:
    if month == 2:
        return 29 if year % 4 == 0 and (year % 100 != 0 or year % 400 == 0) else 28
    return 30 if month in (4, 6, 9, 11) else 31


def _written_amount(given: Any) -> str:
    # The base classes' own methods: a subclass's text is not trusted to be its value.
    amount: str
    if isinstance(given, decimal.Decimal):
        amount = decimal.Decimal.__format__(given, 'f')
    elif isinstance(given, int) and not isinstance(given, bool):
        if given.bit_length() > _MAGNITUDE.bit_length():  # before Python's digit limit for str
            raise _Unreadable('the amount has more digits than the parser keeps')
        amount = int.__repr__(given)
    elif isinstance(given, str):
        amount = _exact(given)
    else:
        raise TypeError(f'an amount is a decimal text, int or decimal.Decimal, not '
                        f'{type(given).__name__}')
    match = _AMOUNT.fullmatch(amount)
    if match is None:
        raise _Unreadable(f'the amount {amount!r} is not a plain decimal as the parser shows '
                          'amounts (digits, one "." and a leading "-" at most)')
    whole, fraction = match.groups()
    magnitude = int(whole + (fraction or ''))
    if magnitude > _MAGNITUDE:
        raise _Unreadable(f'the amount {amount!r} has more digits than the parser keeps')
    if magnitude == 0 and amount.startswith('-'):
        raise _Unreadable(f'the amount {amount!r} would be read back without its sign')
    return amount


class _Unreadable(ValueError):
    """A value the parser would not read back as the same text; the writer says where."""


class _Writer:
    def __init__(self, encoding: str, newline: str) -> None:
        self.encoding = encoding
        self.newline = newline
        self.trusted_dates = _DateTexts(check=False)
        self.dates = _DateTexts(check=True)
        self.extra_keys: set[str] = set()

    # --- The lines ---------------------------------------------------------------------------

    def header_lines(self, header: Mapping[str, Any]) -> list[str]:
        """The marker and the header."""
        return [MARKER, *(f'{key}={value}' for key, value in self.header(header))]

    def head_lines(self, header: Mapping[str, Any], accounts: Mapping[str, Any]) -> list[str]:
        """The marker, the header and the account sections."""
        lines = self.header_lines(header)
        trusted = self.trusted_dates
        for number, position, interval in _intervals(accounts):
            lines.append(ACCOUNT_START)
            if type(interval) is corvina_py.Interval and type(number) is str:
                # A parsed interval's dates and amounts are the parser's own texts.
                values = list(_interval_values(interval))
                for i in _INTERVAL_DATES:
                    if values[i] is not None:
                        values[i] = trusted[values[i]]
                values.insert(_NUMBER_AT, number)
                lines += [prefix + value for prefix, value in zip(_INTERVAL_PREFIXES, values)
                          if value is not None]
            else:
                lines += [f'{key}={value}' for key, value in
                          self.interval_lines(number, position, interval)]
            lines.append(ACCOUNT_END)
        return lines

    def document_lines(self, documents: Sequence[Any]) -> list[str]:
        lines: list[str] = []
        start = DOCUMENT_START + '='
        trusted = self.trusted_dates
        for index, document in enumerate(documents):
            if type(document) is corvina_py.Document:
                values = list(_document_values(document))
                for i in _BODY_DATES:
                    if values[i] is not None:
                        values[i] = trusted[values[i]]
                lines.append(start + document.doc_type)
            else:
                kind, values = self.document_values(index, document)
                lines.append(start + kind)
            lines += [prefix + value for prefix, value in zip(_BODY_PREFIXES, values)
                      if value is not None]
            extra = _extra_of(document)
            if extra:
                lines += [f'{key}={value}' for key, value in self.extra(index, document, extra)]
            lines.append(DOCUMENT_END)
        return lines

    def header(self, header: Mapping[str, Any]) -> Iterator[tuple[str, str]]:
        written, kept = ENCODINGS[self.encoding]
        for key, value in header.items():
            _check_key(key, 'the header', _header_reserved)
            if not isinstance(value, str):
                raise TypeError(f'the header, key {key!r}: the value is '
                                f'{type(value).__name__}, not str')
            key, value = _exact(key), _exact(value)
            if key == ENCODING_KEY and value.casefold() not in kept:
                value = written
            yield key, value

    def interval_lines(self, number: str, position: int,
                       interval: Any) -> Iterator[tuple[str, str]]:
        where = _interval_where(number, position)
        for name in _INTERVAL_ORDER:
            if name is None:
                if not isinstance(number, str):
                    raise TypeError(f'{where}: the account number is '
                                    f'{type(number).__name__}, not str')
                yield ACCOUNT_NUMBER_KEY, _exact(number)
                continue
            written = self.value(where, name, INTERVAL_KEYS[name], _field(interval, name))
            if written is not None:
                yield INTERVAL_KEYS[name], written

    def document_values(self, index: int, document: Any) -> tuple[str, list[str | None]]:
        where = _document_where(index, document)
        if not isinstance(document, (Mapping, corvina_py.Document)):
            raise TypeError(f'{where} is {type(document).__name__}, not a mapping or Document')
        kind = self.value(where, 'doc_type', DOCUMENT_START, _field(document, 'doc_type'))
        values = [self.value(where, name, DOCUMENT_KEYS[name], _field(document, name))
                  for name in _BODY_FIELDS]
        return kind, values  # type: ignore[return-value]

    def value(self, where: str, name: str, key: str, value: Any) -> str | None:
        """The text written for one field, None to leave it out."""
        if value is None:
            if name in REQUIRED_FIELDS:
                raise ValueError(f'{where}, field {name} ({key}): missing, and the field is '
                                 'required')
            return None
        try:
            if name in DATE_FIELDS:
                # Only plain values are cached: a subclass may hash and compare as it likes.
                if type(value) in _CACHED_DATES:
                    return self.dates[value]
                return _written_date(value)
            if name in AMOUNT_FIELDS:
                return _written_amount(value)
        except _Unreadable as error:
            raise ValueError(f'{where}, field {name} ({key}): {error}') from None
        except TypeError as error:
            raise TypeError(f'{where}, field {name} ({key}): {error}') from None
        if not isinstance(value, str):
            raise TypeError(f'{where}, field {name} ({key}): the value is '
                            f'{type(value).__name__}, not str')
        return _exact(value)

    def extra(self, index: int, document: Any,
              extra: Mapping[str, Any]) -> Iterator[tuple[str, str]]:
        if not isinstance(extra, Mapping):
            raise TypeError(f'{_document_where(index, document)}: its extra is '
                            f'{type(extra).__name__}, not a mapping of keys to texts')
        for key, value in extra.items():
            if type(key) is not str or key not in self.extra_keys:
                _check_key(key, _document_where(index, document), _extra_reserved)
                key = _exact(key)
                self.extra_keys.add(key)
            if not isinstance(value, str):
                raise TypeError(f'{_document_where(index, document)}, key {key!r}: the value '
                                f'is {type(value).__name__}, not str')
            yield key, _exact(value)

    def checked_bytes(self, statement: Any, lines: list[str]) -> bytes:
        """The lines encoded, each followed by the newline, or the refusal of the first line
        that would not read back the same."""
        newline = self.newline
        text = newline.join(lines)
        text += newline
        # One look over the whole text instead of one per value: only when something is wrong
        # does the writer go back over the lines to say where.
        if text.count('\n') != len(lines) or (newline == '\n' and '\r\n' in text):
            self.refuse_line(statement, _line_break)
        data = _encode(text, self.encoding)
        if data is None:
            self.refuse_line(statement, _unencodable)
        return data  # type: ignore[return-value]

    # --- Saying where a refusal found on the whole text lies ----------------------------------

    def refuse_line(self, statement: Any, check: Any, *args: Any) -> None:
        for where, field, key, value in self.keyed_lines(statement):
            reason = check(key, value, self.newline, self.encoding)
            if reason is not None:
                what = f'field {_NAMES[key]} ({key})' if field else f'key {key!r}'
                raise ValueError(f'{where}, {what}: {reason}')
        if args:  # the plausibility count, with no single character to blame
            implausible, looked_at = args
            raise ValueError(f'{implausible} of the first {looked_at} characters are control '
                             'characters or lie from U+0080 to U+03FF: the file would not be '
                             'read as Windows-1251; write it as UTF-8')
        raise AssertionError('a refused text without a line to blame')  # pragma: no cover

    def keyed_lines(self, statement: Any) -> Iterator[tuple[str, bool, str, str]]:
        """(where, whether the key is a field's, key, value) of every line but the keywords."""
        header, accounts, documents = _parts(statement)
        for key, value in self.header(header):
            yield 'the header', False, key, value
        for number, position, interval in _intervals(accounts):
            for key, value in self.interval_lines(number, position, interval):
                yield _interval_where(number, position), key in _NAMES, key, value
        for index, document in enumerate(documents):
            where = _document_where(index, document)
            kind, values = self.document_values(index, document)
            yield where, True, DOCUMENT_START, kind
            for prefix, text in zip(_BODY_PREFIXES, values):
                if text is not None:
                    yield where, True, prefix[:-1], text
            extra = _extra_of(document)
            if extra:
                for key, value in self.extra(index, document, extra):
                    yield where, False, key, value


_NAMES = {key: name for name, key in (*DOCUMENT_KEYS.items(), *INTERVAL_KEYS.items())}


def _header_reserved(key: str) -> str | None:
    if key == DOCUMENT_START:
        return 'the key would open a document section'
    return None


def _extra_reserved(key: str) -> str | None:
    if key in _FIELD_KEYS:
        return "the key is a field's key; give its value as the field"
    return None


def _check_key(key: Any, where: str, reserved: Any) -> None:
    if not isinstance(key, str):
        raise TypeError(f'{where}: a key is {type(key).__name__}, not str')
    key = _exact(key)
    if '=' in key:
        raise ValueError(f'{where}, key {key!r}: the key holds "=", which ends a key')
    reason = reserved(key)
    if reason is not None:
        raise ValueError(f'{where}, key {key!r}: {reason}')


def _parts(statement: Any) -> tuple[Mapping[str, Any], Mapping[str, Any], Sequence[Any]]:
    if isinstance(statement, corvina_py.Statement):
        return statement.header, statement.accounts, statement.documents
    if not isinstance(statement, Mapping):
        raise TypeError(f'a statement is a corvina_py.Statement or a mapping, not '
                        f'{type(statement).__name__}')
    header = statement.get('header') or {}
    accounts = statement.get('accounts') or {}
    documents = statement.get('documents') or []
    if not isinstance(header, Mapping) or not isinstance(accounts, Mapping):
        raise TypeError('a statement\'s "header" and "accounts" are mappings')
    return header, accounts, documents


def _intervals(accounts: Mapping[str, Any]) -> Iterator[tuple[str, int, Any]]:
    """Each account's intervals in the order that the reader files them back in.

    The reader keeps an account's intervals sorted by start date, whatever form the date was
    given in, and puts each new one just before the last of those starting on the same day;
    so they are written sorted by start date (one day's keeping their order), a run of one day
    with its last first. It keeps one of two equal intervals: such a pair is refused.
    """
    for number, account in accounts.items():
        intervals = account.intervals if isinstance(account, corvina_py.Account) else account
        if isinstance(intervals, (str, bytes, Mapping)) or not isinstance(intervals, Sequence):
            raise TypeError(f'account {number!r}: its intervals are a list, not '
                            f'{type(intervals).__name__}')
        if not intervals:
            raise ValueError(f'account {number!r}: no intervals, and an account exists in the '
                             'format only as its intervals')
        keys = [_interval_key(interval) for interval in intervals]
        positions: Sequence[int] = range(len(intervals))
        if all(key is not None for key in keys):
            _refuse_equal(number, keys)  # type: ignore[arg-type]
            positions = sorted(positions, key=lambda i: keys[i][_START_AT])  # type: ignore
            starts = [key[_START_AT] for key in keys]  # type: ignore[index]
        else:  # a value the writer refuses, saying which, once it comes to it
            starts = [_field(interval, 'date_start') for interval in intervals]
        run_start = 0
        for i in range(1, len(positions) + 1):
            if i < len(positions) and starts[positions[i]] == starts[positions[run_start]]:
                continue
            for at in (i - 1, *range(run_start, i - 1)):
                yield number, positions[at], intervals[positions[at]]
            run_start = i


_START_AT = _INTERVAL_NAMES.index('date_start')


def _interval_key(interval: Any) -> tuple[Any, ...] | None:
    """The interval's values as the reader compares them: dates as (year, month, day) and
    amounts as numbers, so that 100 and 100.00 are one. None when a value is one the writer
    refuses anyway."""
    key: list[Any] = []
    for name in _INTERVAL_NAMES:
        value = _field(interval, name)
        if value is None:
            if name in REQUIRED_FIELDS:
                return None
            key.append(None)
            continue
        found = _date_key(value) if name in DATE_FIELDS else _amount_key(value)
        if found is None:
            return None
        key.append(found)
    return tuple(key)


def _date_key(date: Any) -> tuple[int, int, int] | None:
    if isinstance(date, datetime.date) and not isinstance(date, datetime.datetime):
        date = datetime.date.isoformat(date)
    elif not isinstance(date, str):
        return None
    match = _DATE.fullmatch(_exact(date))
    if match is None:
        return None
    unsigned, sign, signed, month, day = match.groups()
    return int(unsigned) if unsigned is not None else int(sign + signed), int(month), int(day)


def _amount_key(amount: Any) -> decimal.Decimal | None:
    if isinstance(amount, str):
        amount = _exact(amount)
        return decimal.Decimal(amount) if _AMOUNT.fullmatch(amount) else None
    if isinstance(amount, decimal.Decimal):
        return decimal.Decimal(amount) if amount.is_finite() else None
    if isinstance(amount, int) and not isinstance(amount, bool):
        return decimal.Decimal(amount)
    return None


def _refuse_equal(number: str, keys: Sequence[tuple[Any, ...]]) -> None:
    seen: dict[tuple[Any, ...], int] = {}
    for position, key in enumerate(keys):
        first = seen.setdefault(key, position)
        if first != position:
            raise ValueError(f'account {number!r}: intervals {first} and {position} are equal '
                             '(the same dates, and amounts equal as numbers), and the file '
                             'would read back with one of them')


def _interval_where(number: str, position: int) -> str:
    return f'account {number!r}, interval {position}'


def _field(record: Any, name: str) -> Any:
    if type(record) is corvina_py.Interval:  # a parsed statement's: no abstract class to ask
        return getattr(record, name)
    if type(record) is dict or isinstance(record, Mapping):
        return record.get(name)
    return getattr(record, name, None)


# Looked up once: asking each document for an attribute its class lacks costs an exception.
_DOCUMENTS_HAVE_EXTRA = hasattr(corvina_py.Document, 'extra')


def _extra_of(document: Any) -> Any:
    if isinstance(document, Mapping):
        return document.get('extra')
    return document.extra if _DOCUMENTS_HAVE_EXTRA else getattr(document, 'extra', None)


def _document_where(index: int, document: Any) -> str:
    lineno = document.get('lineno') if isinstance(document, Mapping) \
        else getattr(document, 'lineno', None)
    # Anything but a number is left out: its text may be large, or not end at all.
    if not isinstance(lineno, int):
        return f'document {index}'
    return f'document {index} (line {int.__repr__(lineno)})'
