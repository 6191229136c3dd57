"""Whether statements add up: balances, turnovers against their documents, requisites, repeats.

    corvina-convert check [--json] [-r] FILE|FOLDER|PATTERN...

`check(statement)` and `check_files(paths)` return a list of Problem, empty when everything
holds. Sums are exact decimals: no amount passes through a float.
"""

from __future__ import annotations

import argparse
import bisect
import dataclasses
import datetime
import decimal
import json
import sys
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass
from decimal import Decimal
from typing import TextIO

import corvina_py
from corvina_convert import i18n, inputs, messages, requisites
from corvina_convert.cli import STDIN_NAME, ArgumentParser, one_line, readable_name
from corvina_convert.i18n import _, n_


@dataclass(frozen=True, slots=True)
class Problem:
    """One thing that does not hold.

    `file` is None for a statement checked without one, `line` None where the statement keeps
    no line (an account section checked without its file). `kind` is a stable code; `subject`
    the account number, or the document as kind, number and date.
    """

    file: str | None
    line: int | None
    kind: str
    subject: str
    expected: str | None
    found: str | None
    message: str

    def __str__(self) -> str:
        where = self.file if self.file is not None else '<statement>'
        if self.line is not None:
            where = f'{where}:{self.line}'
        return f'{where}: {self.message}'


# The line of each account section, by account, first day and opening balance.
SectionLines = dict[tuple[str, str, Decimal], int]

# Turnovers of a busy account run past the default context's 28 digits; this one never rounds.
EXACT = decimal.Context(prec=decimal.MAX_PREC, traps=[decimal.Inexact, decimal.InvalidOperation])
ZERO = Decimal(0)


def _requisites(prefix: str) -> tuple[tuple[str, str, str], ...]:
    bic = f'{prefix}_bic'
    return (('inn', f'{prefix}_inn', bic), ('kpp', f'{prefix}_kpp', bic), ('bic', bic, bic),
            ('account', f'{prefix}_account', bic), ('account', f'{prefix}_ras_account', bic),
            ('correspondent', f'{prefix}_cor_account', bic))


# What the module's requisite codes stand for, in their order: the check, the field's
# attribute and the attribute of its side's BIC.
REQUISITES = (*_requisites('counterparty'), *_requisites('payee'))


def field_name(code: int) -> str:
    """What a message calls the requisite of a code, in the language chosen."""
    return (_('payer INN'), _('payer KPP'), _('payer BIC'), _('payer account'),
            _('payer account (ПлательщикРасчСчет)'), _("payer bank's correspondent account"),
            _('payee INN'), _('payee KPP'), _('payee BIC'), _('payee account'),
            _('payee account (ПолучательРасчСчет)'),
            _("payee bank's correspondent account"))[code]
JUDGES: dict[str, Callable[[str, str], requisites.Flaw | None]] = {
    'inn': lambda value, bic: requisites.inn_flaw(value),
    'kpp': lambda value, bic: requisites.kpp_flaw(value),
    'bic': lambda value, bic: requisites.bic_flaw(value),
    'account': requisites.account_flaw,
    'correspondent': requisites.correspondent_account_flaw,
}


def text(amount: Decimal) -> str:
    # 'f' keeps plain notation: str() writes a sum of 0.0000001 as 1E-7.
    return format(amount, 'f')


def day_key(value: str) -> int:
    """A canonical date as the module numbers days for its sums: year * 512 + month * 32 +
    day, in calendar order for any year (as text, dates sort only between 0 and 9999)."""
    return int(value[:-6]) * 512 + int(value[-5:-3]) * 32 + int(value[-2:])


def describe(document: corvina_py.Document) -> str:
    return _('{kind} № {number} of {date}').format(
        kind=document.doc_type, number=document.doc_number, date=document.doc_date)


def period(interval: corvina_py.Interval) -> str:
    return f'{interval.date_start}..{interval.date_end or ""}'


def where(number: str, interval: corvina_py.Interval) -> str:
    return _('account {number}, {period}').format(number=number, period=period(interval))


def between(number: str, previous: corvina_py.Interval, interval: corvina_py.Interval) -> str:
    return _('account {number}, {first} then {second}').format(
        number=number, first=period(previous), second=period(interval))


class Turnover:
    """An account's sums by day in one direction, ready to add up any period in two look-ups.
    Days come in calendar order, as the module lists them."""

    def __init__(self) -> None:
        self.days: list[int] = []
        self.running = [ZERO]

    def add(self, day: int, amount: Decimal) -> None:
        total = EXACT.add(self.running[-1], amount)
        if self.days and self.days[-1] == day:
            self.running[-1] = total
        else:
            self.days.append(day)
            self.running.append(total)

    def within(self, first: int, last: int | None) -> Decimal:
        """The sum from day `first` to day `last` (to the end when None), both included."""
        start = bisect.bisect_left(self.days, first)
        end = len(self.days) if last is None else bisect.bisect_right(self.days, last)
        return ZERO if end <= start else EXACT.subtract(self.running[end], self.running[start])


class Seen:
    """The documents of the files checked so far, by digest, for payments repeated across
    files. Each digest maps to its file's place in `files` and its index there, as one int:
    the dictionary is filled in C, without a Python object per document."""

    def __init__(self) -> None:
        self.first: dict[bytes, int] = {}
        self.files: list[tuple[str | None, memoryview]] = []

    def add(self, checker: Checker, documents: list[corvina_py.Document], digests: bytes,
            lines: memoryview) -> None:
        count = len(lines)
        listed = [digests[start:start + 16] for start in range(0, 16 * count, 16)]
        # Each digest's first document here: a later one repeats it, which the module found.
        current = dict(zip(reversed(listed), range(count - 1, -1, -1)))
        for digest in current.keys() & self.first.keys():
            index = current.pop(digest)
            place = self.first[digest]
            file, file_lines = self.files[place >> 32]
            checker.duplicate(documents[index], (file, file_lines[place & 0xFFFFFFFF]))
        base = len(self.files) << 32
        self.files.append((checker.file, lines))
        self.first.update(zip(current.keys(), map(base.__add__, current.values())))


class Checker:
    """Checks one statement; `seen` carries the documents of the files checked before it, so
    that a payment repeated across overlapping statements is found too."""

    def __init__(self, file: str | None, seen: Seen | None = None,
                 data: bytes | None = None) -> None:
        self.file = file
        self.seen = seen
        self.data = data
        # The problems of account sections, by their place in `problems`, with the section's
        # key in section_lines: their lines are looked up only when there are some.
        self.unlocated: list[tuple[int, tuple[str, str, Decimal]]] = []
        self.problems: list[Problem] = []
        # The module flags a failed requisite; the message is made here, once per distinct
        # value: a statement names the same few parties again and again.
        self.judged: dict[tuple[str, ...], requisites.Flaw | None] = {}

    def add(self, line: int | None, kind: str, subject: str, expected: str | None,
            found: str | None, message: str) -> None:
        self.problems.append(Problem(self.file, line, kind, subject, expected, found, message))

    def run(self, statement: corvina_py.Statement) -> list[Problem]:
        incoming, outgoing = self.documents(statement)
        for lineno, message in statement.warnings:
            self.add(lineno, 'warning', f'line {lineno}', None, message,
                     _('{reason}; it is missing from every sum checked here').format(
                         reason=messages.dropped_document(message)))
        dropped = len(statement.warnings)
        for number, account in statement.accounts.items():
            self.account(number, account.intervals, incoming.get(number) or Turnover(),
                         outgoing.get(number) or Turnover(), dropped)
        if self.unlocated and self.data is not None:
            lines = section_lines(self.data, statement.encoding)
            for index, key in self.unlocated:
                line = lines.get(key)
                if line is not None:
                    self.problems[index] = dataclasses.replace(self.problems[index], line=line)
        self.problems.sort(key=lambda problem: (problem.line is None, problem.line or 0))
        return self.problems

    # --- documents ---------------------------------------------------------------------------

    def documents(self, statement: corvina_py.Statement) -> tuple[
            dict[str, Turnover], dict[str, Turnover]]:
        """Checks each document and sums the amounts paid in to and out of each account of the
        statement, by day: what each of its intervals then adds up.

        The module walks the documents' own values for this and hands back only what failed,
        the sums and a digest per document, so no document's texts are made here.
        """
        own = tuple(statement.accounts)
        flaws, turnovers, repeats, digests, line_bytes = statement._check_documents(own)
        documents = statement.documents
        for index, code in flaws:
            self.requisite(documents[index], code)
        incoming: dict[str, Turnover] = {}
        outgoing: dict[str, Turnover] = {}
        for account, paid_in, day, scale, plus_high, plus_low, minus_high, minus_low in turnovers:
            value = ((plus_high << 64) | plus_low) - ((minus_high << 64) | minus_low)
            sums = incoming if paid_in else outgoing
            turnover = sums.get(own[account])
            if turnover is None:
                turnover = sums[own[account]] = Turnover()
            turnover.add(day, Decimal(value).scaleb(-scale, EXACT))
        lines = memoryview(line_bytes).cast('I')
        for index, first in repeats:
            self.duplicate(documents[index], (self.file, lines[first]))
        if self.seen is not None:
            self.seen.add(self, documents, digests, lines)
        return incoming, outgoing

    def duplicate(self, document: corvina_py.Document, first: tuple[str | None, int]) -> None:
        file, line = first
        place = _('line {line}').format(line=line) if file == self.file else f'{file}:{line}'
        self.add(document.lineno, 'duplicate', describe(document), _('once'),
                 _('also at {place}').format(place=place),
                 _('{document} for {amount} from {payer} to {payee} is the same payment as the '
                   'one at {place}').format(
                     document=describe(document), amount=document.amount,
                     payer=document.counterparty_account, payee=document.payee_account,
                     place=place))

    def judge(self, kind: str, value: str, bic: str) -> requisites.Flaw | None:
        key = (kind, value, bic)
        try:
            return self.judged[key]
        except KeyError:
            pass
        flaw = JUDGES[kind](value, bic)
        self.judged[key] = flaw
        return flaw

    def requisite(self, document: corvina_py.Document, code: int) -> None:
        kind, field, bic_field = REQUISITES[code]
        value = getattr(document, field) or ''
        flaw = self.judge(kind, value, getattr(document, bic_field))
        if flaw is None:
            return
        if kind in ('account', 'correspondent'):
            # Twenty digits with a flaw: their key; anything else: their shape.
            kind = 'account_key' if requisites.is_account(value) else 'account'
        subject = describe(document)
        self.add(document.lineno, kind, subject, flaw.expected, flaw.found,
                 _('{subject}: {field}: expected {expected}, found {found}').format(
                     subject=subject, field=field_name(code), expected=flaw.expected,
                     found=flaw.found))

    # --- accounts ----------------------------------------------------------------------------

    def account(self, number: str, intervals: list[corvina_py.Interval],
                incoming: Turnover, outgoing: Turnover, dropped: int) -> None:
        note = ''
        if dropped:
            note = n_('; {n} document of the statement could not be read and may make the '
                      'difference', '; {n} documents of the statement could not be read and may '
                      'make the difference', dropped).format(n=dropped)
        previous: corvina_py.Interval | None = None
        previous_last: int | None = None
        for interval in intervals:
            before = len(self.problems)
            # Each attribute read makes a new str: read each once.
            opening = Decimal(interval.start_amount)
            income, expense = interval.total_income, interval.total_expense
            first = day_key(interval.date_start)
            last = None if interval.date_end is None else day_key(interval.date_end)
            if income is not None and expense is not None:
                self.balance(number, interval, opening, income, expense)
            if income is not None:
                self.total('income_total', number, interval, income,
                           incoming.within(first, last), note)
            if expense is not None:
                self.total('expense_total', number, interval, expense,
                           outgoing.within(first, last), note)
            if previous is not None:
                self.sequence(number, previous, interval, opening,
                              previous_last is not None and first == previous_last + 1)
            previous, previous_last = interval, last
            if len(self.problems) > before:
                key = (number, interval.date_start, opening)
                self.unlocated.extend((index, key) for index in range(before, len(self.problems)))

    def balance(self, number: str, interval: corvina_py.Interval, opening: Decimal,
                income: str, expense: str) -> None:
        end = interval.end_amount
        if end is None:
            return
        expected = EXACT.subtract(EXACT.add(opening, Decimal(income)), Decimal(expense))
        if expected != Decimal(end):
            self.add(None, 'balance', number, text(expected), end,
                     _('{where}: opening {start} + paid in {income} - paid out {expense} = '
                       '{expected}, but the closing balance is {end}').format(
                         where=where(number, interval), start=interval.start_amount,
                         income=income, expense=expense, expected=text(expected), end=end))

    def total(self, kind: str, number: str, interval: corvina_py.Interval, total: str,
              found: Decimal, note: str) -> None:
        if found == Decimal(total):
            return
        message = (_('{where}: ВсегоПоступило is {total}, but the documents paid in within '
                     'the period sum to {found}{note}') if kind == 'income_total' else
                   _('{where}: ВсегоСписано is {total}, but the documents paid out within the '
                     'period sum to {found}{note}'))
        self.add(None, kind, number, total, text(found), message.format(
            where=where(number, interval), total=total, found=text(found), note=note))

    def sequence(self, number: str, previous: corvina_py.Interval,
                 interval: corvina_py.Interval, opening: Decimal, next_day: bool) -> None:
        closing = previous.end_amount
        if closing is not None and Decimal(closing) != opening:
            self.add(None, 'interval_balance', number, closing, interval.start_amount,
                     _('{between}: the opening balance {opening} is not the closing balance '
                       '{closing} before it').format(
                         between=between(number, previous, interval),
                         opening=interval.start_amount, closing=closing))
        if next_day or previous.date_end is None:
            return  # the common case, a section a day, needs no calendar
        try:
            end = datetime.date.fromisoformat(previous.date_end)
            start = datetime.date.fromisoformat(interval.date_start)
        except ValueError:  # years beyond 1..9999: no calendar to count days in
            return
        day = datetime.timedelta(days=1)
        if start > end + day:
            missing = str(end + day) if start - end == 2 * day else f'{end + day}..{start - day}'
            self.add(None, 'interval_gap', number, str(end + day), interval.date_start,
                     _('{between}: no section covers {missing}').format(
                         between=between(number, previous, interval), missing=missing))
        elif start <= end:
            self.add(None, 'interval_overlap', number, str(end + day), interval.date_start,
                     _('{between}: the periods overlap from {start} to {end}').format(
                         between=between(number, previous, interval),
                         start=interval.date_start, end=end))


# --- account sections' lines -----------------------------------------------------------------

def canonical_date(value: str) -> str | None:
    """A section's day.month.year as the parser renders it, or None where it would not read."""
    parts = value.split('.')
    if len(parts) != 3:
        return None
    try:
        day, month, year = (int(part.strip()) for part in parts)
    except ValueError:
        return None
    if not (1 <= month <= 12 and 1 <= day <= 31):
        return None
    shown = f'{year:04}' if 0 <= year <= 9999 else f'{year:+05}'
    return f'{shown}-{month:02}-{day:02}'


def section_lines(data: bytes, encoding: str) -> SectionLines:
    """The line of each account section, by account, first day and opening balance.

    A Statement keeps no lines of its intervals, so they are found again in the file: a search
    for the section lines over the bytes, without decoding what lies between. A section that
    hooks rewrote, or one written unlike the others, is simply not found: its problems then
    name no line.
    """
    codec = 'cp1251' if encoding == 'cp1251' else 'utf-8'
    opening = '\nСекцияРасчСчет'.encode(codec)
    closing = '\nКонецРасчСчет'.encode(codec)
    found: SectionLines = {}
    position, line = 0, 1
    while True:
        start = data.find(opening, position)
        if start < 0:
            return found
        end = data.find(closing, start + len(opening))
        if end < 0:
            return found
        line += data.count(b'\n', position, start + 1)
        position = start + 1
        attributes = {}
        for row in data[start + len(opening):end].decode(codec, 'replace').split('\n'):
            key, equals, value = row.rstrip('\r').partition('=')
            if equals:
                attributes[key.strip()] = value
        date = canonical_date(attributes.get('ДатаНачала', ''))
        try:
            opening_balance = Decimal(attributes.get('НачальныйОстаток', '').replace('_', ''))
        except decimal.InvalidOperation:
            continue
        if date is not None and 'РасчСчет' in attributes:
            found.setdefault((attributes['РасчСчет'], date, opening_balance), line)


# --- the public functions --------------------------------------------------------------------

def check(statement: corvina_py.Statement, *, file: str | None = None) -> list[Problem]:
    """The problems of one parsed statement, in line order; empty when everything holds.

    `file` only names the statement in the problems; the statement keeps no lines of its
    account sections, so their problems have `line` None here (check_files finds them).
    """
    return Checker(file).run(statement)


def check_files(paths: Iterable[str]) -> list[Problem]:
    """The problems of each file, in the order given, with documents repeated across them.

    A file that cannot be read or parsed is a problem of kind "read" or "parse".
    """
    problems: list[Problem] = []
    paths = list(paths)
    # A lone file's repeats are all the module's to find.
    seen = Seen() if len(paths) > 1 else None
    for path in paths:
        problems.extend(check_path(path, seen))
    return problems


def check_path(path: str, seen: Seen | None) -> list[Problem]:
    name = STDIN_NAME if path == inputs.STDIN else readable_name(path)
    try:
        data = inputs.read_bytes(path)
    except OSError as error:
        return [Problem(name, None, 'read', name, None, None, messages.os_error(error))]
    try:
        statement = corvina_py.parse(data)
    except corvina_py.ParseError as error:
        detail = getattr(error, 'detail', None)
        return [Problem(name, getattr(detail, 'lineno', None), 'parse', name, None, None,
                        messages.parse_error(error, data))]
    return Checker(name, seen, data).run(statement)


# --- the command -----------------------------------------------------------------------------

def build_parser() -> argparse.ArgumentParser:
    # The converter's parser: one line for a mistake, in the language chosen.
    parser = ArgumentParser(
        prog='corvina-convert check',
        description='Check that 1CClientBankExchange statements add up: opening + paid in - '
        'paid out = closing per account section; the documents against the sections\' '
        'turnovers; one section\'s closing balance against the next one\'s opening, with no '
        'days between them; documents the parser could not read; INN, KPP, BIC and account '
        'control digits of both sides; the same document twice, in one file or across the '
        'files given.',
        epilog='Exit status: 0 when everything holds, 1 when a problem is found (a file that '
        'cannot be read or parsed is one), 2 for a mistake in the command line.')
    parser.add_argument('files', nargs='+', metavar='FILE',
                        help="statement files, folders or quoted patterns; '-' reads standard "
                        'input')
    parser.add_argument('--json', action='store_true',
                        help='write the problems as one JSON list of objects with the keys '
                        'file, line, kind, subject, expected, found and message')
    parser.add_argument('-r', '--recursive', action='store_true',
                        help='descend into the subfolders of a folder argument')
    parser.add_argument('--lang', choices=i18n.LANGUAGES,
                        help="the language of messages (default: the locale's, as for "
                        'converting)')
    return parser


def write_report(problems: Sequence[Problem], files: Sequence[str], out: TextIO) -> None:
    """Each problem on a line of its own, as `file:line: message`, then what was found."""
    for problem in problems:
        print(one_line(str(problem)), file=out)
    names = dict.fromkeys(problem.file for problem in problems)
    if not problems:
        print(n_('{n} file checked: everything holds', '{n} files checked: everything holds',
                 len(files)).format(n=len(files)), file=out)
        return
    kinds: dict[str, int] = {}
    for problem in problems:
        kinds[problem.kind] = kinds.get(problem.kind, 0) + 1
    counts = ', '.join(f'{count} {kind}' for kind, count in
                       sorted(kinds.items(), key=lambda item: (-item[1], item[0])))
    print(_('{files} checked: {problems} in {failed} ({counts})').format(
        files=n_('{n} file', '{n} files', len(files)).format(n=len(files)),
        problems=n_('{n} problem', '{n} problems', len(problems)).format(n=len(problems)),
        failed=n_('{n} file', '{n} files', len(names)).format(n=len(names)), counts=counts),
        file=out)


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the check; returns 0 when everything holds, 1 for a problem, 2 for a wrong command
    line (argparse exits with it)."""
    i18n.use(i18n.language_in(argv))
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        files = list(inputs.expand(args.files, args.recursive))
    except inputs.NoMatch as error:
        parser.error(one_line(f'{readable_name(error.name)}: {error.message}'))
    if files.count(inputs.STDIN) > 1:
        parser.error(_("standard input ('-') can be given only once"))
    problems = check_files(files)
    if args.json:
        json.dump([dataclasses.asdict(problem) for problem in problems], sys.stdout,
                  ensure_ascii=False, indent=1)
        sys.stdout.write('\n')
    else:
        write_report(problems, files, sys.stdout)
    return 1 if problems else 0


if __name__ == '__main__':
    sys.exit(main())
