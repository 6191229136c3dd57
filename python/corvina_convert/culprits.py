"""Which key and value of a section a parser message is about.

The parser's value messages ("input is out of range") name neither the field nor the value,
and its warnings only give the line that ends the section. An accountant needs to see
`ДатаСписано=31.02.2024`, so the converter reads the section back from the input and asks
the parser itself which of its typed values fails, and how: a rule copied here would drift
from the parser's.

This runs only for inputs that have a warning or an unreadable account section, so the whole
input is searched again at most once per such input.
"""

from __future__ import annotations

import codecs
import itertools
from collections.abc import Iterator, Sequence

import corvina_py

ACCOUNT_START = 'СекцияРасчСчет'
DOCUMENT_START = 'СекцияДокумент='
DOCUMENT_END = 'КонецДокумента'

DATE, OPTIONAL_DATE, AMOUNT = 'date', 'optional date', 'amount'
DOCUMENT_VALUES = {'Дата': DATE, 'ДатаПоступило': OPTIONAL_DATE, 'ДатаСписано': OPTIONAL_DATE,
                   'Сумма': AMOUNT}
ACCOUNT_VALUES = {'ДатаНачала': DATE, 'ДатаКонца': OPTIONAL_DATE, 'НачальныйОстаток': AMOUNT,
                  'КонечныйОстаток': AMOUNT, 'ВсегоПоступило': AMOUNT, 'ВсегоСписано': AMOUNT}

# A document that parses, but for the key standing in for the kind of value tried. Every key
# is there already (an empty ДатаСписано is absent), so each trial takes as many lines.
TRIAL_KEYS = {DATE: 'Дата', OPTIONAL_DATE: 'ДатаСписано', AMOUNT: 'Сумма'}
TRIAL_DOCUMENT = {
    'Номер': '1', 'Дата': '01.01.2024', 'ДатаСписано': '', 'Сумма': '1', 'ПлательщикСчет': '1',
    'ПлательщикИНН': '1', 'ПлательщикБИК': '1', 'ПлательщикБанк1': '1', 'ПолучательСчет': '1',
    'ПолучательИНН': '1', 'ПолучательБИК': '1', 'ПолучательБанк1': '1',
    'НазначениеПлатежа': '1',
}
TRIAL_LINES = len(TRIAL_DOCUMENT) + 2  # with its start and end lines


def value_failures(values: Sequence[tuple[str, str]]) -> list[str | None]:
    """The parser's message for each (kind, value), None for one it reads: one parse of a
    statement with a document per value."""
    lines = ['1CClientBankExchange']
    for kind, value in values:
        lines.append(DOCUMENT_START + '1')
        trial = {**TRIAL_DOCUMENT, TRIAL_KEYS[kind]: value}
        lines += [f'{key}={text}' for key, text in trial.items()]
        lines.append(DOCUMENT_END)
    lines.append('КонецФайла')
    try:
        warnings = corvina_py.parse('\n'.join(lines) + '\n').warnings
    except corvina_py.ParseError:
        return [None] * len(values)
    # Document i ends on line 1 + (i + 1) * TRIAL_LINES.
    failures: list[str | None] = [None] * len(values)
    for lineno, message in warnings:
        index, rest = divmod(lineno - 1, TRIAL_LINES)
        if rest == 0 and 0 < index <= len(values):
            failures[index - 1] = message
    return failures


def typed_keys(section: dict[str, str], typed: dict[str, str]) -> list[str]:
    """The section's typed keys in the parser's order of visit (the keys' UTF-8 bytes)."""
    keys = sorted((key for key in section if key in typed), key=lambda key: key.encode())
    # A value that ends in CR, or holds a line break, cannot stand on a line of the trial.
    return [key for key in keys if '\n' not in section[key] and not section[key].endswith('\r')]


def culprits(sections: Sequence[tuple[dict[str, str] | None, str]],
             typed: dict[str, str]) -> list[tuple[str, str] | None]:
    """For each (section, message), the (key, value) that the message is about: the first
    typed value in the order of visit that fails, if it fails with this message. The values
    of every section are tried in one parse."""
    keys = [[] if section is None else typed_keys(section, typed)
            for section, _message in sections]
    failures = iter(value_failures([(typed[key], section[key])
                                    for (section, _message), own in zip(sections, keys)
                                    if section is not None for key in own]))
    found: list[tuple[str, str] | None] = []
    for (section, message), own in zip(sections, keys):
        tried = list(zip(own, itertools.islice(failures, len(own))))
        first = next(((key, failure) for key, failure in tried if failure is not None), None)
        if section is None or first is None or first[1] != message:
            found.append(None)
        else:
            found.append((first[0], section[first[0]]))
    return found


class Lines:
    """The input's lines by number, searched forward once, whatever its encoding."""

    CHUNK = 1 << 20
    WALK = 4096

    def __init__(self, data: bytes, encoding: str) -> None:
        self.text: bytes | str
        if encoding == 'utf-16':
            # The one encoding whose line breaks are not the byte 0x0A: decoded whole.
            mark = data[:2]
            self.text = data[2:].decode('utf-16-le' if mark == codecs.BOM_UTF16_LE
                                        else 'utf-16-be', 'replace')
            self.newline: bytes | str = '\n'
            self.codec = ''
        else:
            self.text = data
            self.newline = b'\n'
            self.codec = encoding
        self.at = 0  # an offset within line number self.line
        self.line = 1

    def decode(self, line: bytes | str) -> str:
        if isinstance(line, str):
            return line
        return line.decode(self.codec, 'replace')

    def start(self, lineno: int) -> int | None:
        """The offset where the line starts; lines must be asked for in ascending order."""
        text, newline = self.text, self.newline
        while self.line < lineno:
            # Whole blocks are skipped by counting their line breaks; the block that holds
            # the line is halved the same way down to a few lines, then walked break by
            # break: a step per line would cost a call per line of the file.
            end = min(len(text), self.at + self.CHUNK)
            breaks = text.count(newline, self.at, end)  # type: ignore[arg-type]
            if self.line + breaks < lineno:
                if end == len(text):
                    return None
                self.line += breaks
                self.at = end
                continue
            while end - self.at > self.WALK:
                middle = (self.at + end) // 2
                breaks = text.count(newline, self.at, middle)  # type: ignore[arg-type]
                if self.line + breaks < lineno:
                    self.line += breaks
                    self.at = middle
                else:
                    end = middle
            while self.line < lineno:
                self.at = text.find(newline, self.at, end) + 1  # type: ignore[arg-type]
                self.line += 1
        return text.rfind(newline, 0, self.at) + 1  # type: ignore[arg-type]

    def section_before(self, lineno: int) -> dict[str, str] | None:
        """The key=value lines of the section that ends on the line, the last value of a
        repeated key kept, as the parser keeps it."""
        end = self.start(lineno)
        if end is None:
            return None
        text, newline = self.text, self.newline
        section: dict[str, str] = {}
        while end > 0:
            begin = text.rfind(newline, 0, end - 1) + 1  # type: ignore[arg-type]
            line = self.decode(text[begin:end - 1])
            end = begin
            line = line[:-1] if line.endswith('\r') else line
            if line == ACCOUNT_START or line.startswith(DOCUMENT_START):
                return section
            key, equals, value = line.partition('=')
            if equals:
                section.setdefault(key, value)  # read backwards: the first seen is the last
        return None


def encoding_of(data: bytes, parsed: str | None = None) -> str:
    """The codec the parser read the input with ('utf-16' for either byte order), from the
    statement's encoding when there is one: a full check of the bytes costs a copy of them."""
    if parsed is None:
        try:
            data.decode('utf-8')
            parsed = 'utf-8'
        except UnicodeDecodeError:
            parsed = 'cp1251'
    if parsed == 'utf-8':
        return 'utf-8'
    # A statement read as Windows-1251 that starts with a UTF-16 mark was UTF-16: in
    # Windows-1251 those bytes would have hidden the first line's marker.
    if data.startswith((codecs.BOM_UTF16_LE, codecs.BOM_UTF16_BE)):
        return 'utf-16'
    return 'cp1251'


def document_culprits(data: bytes, warnings: Sequence[tuple[int, str]],
                      encoding: str) -> Iterator[tuple[str, str] | None]:
    """For each warning of the statement, the document's key and value it is about, or None
    (a missing field, or a section that cannot be found again); `encoding` is the
    statement's."""
    lines = Lines(data, encoding_of(data, encoding))
    sections = [(lines.section_before(lineno), message) for lineno, message in warnings]
    yield from culprits(sections, DOCUMENT_VALUES)


def account_culprit(data: bytes, lineno: int, message: str) -> tuple[str, str] | None:
    """The key and value of the account section ending on the line that the message is
    about."""
    section = Lines(data, encoding_of(data)).section_before(lineno)
    return culprits([(section, message)], ACCOUNT_VALUES)[0]
