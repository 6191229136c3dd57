"""What the converter tells its user about a file: what went wrong and what to do about it.

The parser's messages are precise but terse, and some of its value messages, and those of the
libraries underneath (pyarrow, the operating system), speak of types rather than of the
statement. Each message here keeps the parser's own words, so that a search finds it, and adds
what the user can do.
"""

from __future__ import annotations

import codecs
import errno
import re

import corvina_py
from corvina_convert import culprits
from corvina_convert.i18n import _

# UTF-32 first: its little-endian mark starts with the UTF-16 one.
BYTE_ORDER_MARKS = (
    (codecs.BOM_UTF32_LE, 'UTF-32'), (codecs.BOM_UTF32_BE, 'UTF-32'),
    (codecs.BOM_UTF16_LE, 'UTF-16'), (codecs.BOM_UTF16_BE, 'UTF-16'), (codecs.BOM_UTF8, 'UTF-8'),
)

# The header line that 1C writes into a statement in the DOS code page (cp866), spelled in the
# code pages a header may reach us in. Only the start of the file is searched: the header
# comes before any section.
DOS_HEADER = tuple(f'{key}=DOS'.encode(encoding)
                   for key in ('Кодировка',) for encoding in ('cp866', 'cp1251', 'utf-8'))
HEADER_BYTES = 4096

# What to do about each fatal error, by its detail class (syntax errors) or exception class.
ADVICE: dict[type, str] = {
    corvina_py.UnrecognizedLine: 'every line is a key=value pair or a section marker: fix or '
                                 'remove this line',
    corvina_py.UnexpectedSection: 'a section starts or ends out of place: check that each '
                                  'section ends (КонецДокумента, КонецРасчСчет) before the next '
                                  'one starts',
    corvina_py.UnexpectedAttribute: 'a key=value line stands outside any section after the '
                                    'header: move it into its section or remove it',
    corvina_py.MissingField: 'add the missing line to the section',
    corvina_py.EmptyInputError: 'the file holds nothing: export the statement again',
    corvina_py.UnfinishedError: 'the file ends before its КонецФайла line and may be cut '
                                'short: export the statement again',
}
NOT_STATEMENT = 'its first line is not 1CClientBankExchange: check that this is a statement file'

# The value messages of the parser, which name neither the field nor the format expected.
DATE_PROBLEMS = {
    'empty string is not a valid date': 'a date is empty',
    'input contains invalid characters': 'a date holds characters other than digits and points',
    'premature end of input': 'a date is cut short',
    'trailing input': 'a date has text after its year',
    'input is out of range': 'a date names no day of the calendar',
}
DATE_ADVICE = 'dates are written DD.MM.YYYY, as 05.03.2024'
AMOUNT = re.compile(r'invalid value: string (".*"), expected a Decimal type representing a '
                    r'fixed-point number', re.DOTALL)
AMOUNT_ADVICE = ('amounts are digits with a point before the kopecks, as 1250.50 (no comma, '
                 'no spaces)')
MISSING = re.compile(r'missing field `(.*)`', re.DOTALL)


MONTHS = ('January', 'February', 'March', 'April', 'May', 'June', 'July', 'August',
          'September', 'October', 'November', 'December')
# Day, month and year as the parser reads them: spaces before each number, a signed year.
DATE_PARTS = re.compile(r'\s*(\d{1,2})\.\s*(\d{1,2})\.\s*([+-]\d+|\d{1,4})')


def no_such_day(value: str) -> str | None:
    """Why a date of the right shape names no day: the words an accountant would use."""
    parts = DATE_PARTS.fullmatch(value)
    if parts is None:
        return None
    day, month, year = (int(part) for part in parts.groups())
    if not 1 <= month <= 12:
        return _('there is no month {month}').format(month=month)
    if not 1 <= day <= 31:
        return _('there is no day {day} in any month').format(day=day)
    leap = year % 4 == 0 and (year % 100 != 0 or year % 400 == 0)
    if month == 2 and day == 29 and not leap:
        return _('{year} is not a leap year: there is no 29 February').format(year=year)
    if day > (29 if month == 2 else 30 if month in (4, 6, 9, 11) else 31):
        return _('there is no {day} {month}').format(day=day, month=_(MONTHS[month - 1]))
    return _('the year {year} is out of range').format(year=year)


def value_problem(message: str, culprit: tuple[str, str] | None = None) -> str:
    """A date or amount message of the parser, in words that say what to fix; with the key
    and the value at fault when they are known."""
    if message in DATE_PROBLEMS:
        problem = None
        if culprit is not None and message == 'input is out of range':
            problem = no_such_day(culprit[1])
        if problem is None:
            problem = _(DATE_PROBLEMS[message])
        problem = f'{problem}; {_(DATE_ADVICE)}'
    else:
        amount = AMOUNT.fullmatch(message)
        if amount is None:
            return message
        if culprit is None:
            return _('the amount {amount} is not a number; {advice}').format(
                amount=amount.group(1), advice=_(AMOUNT_ADVICE))
        problem = _('not a number; {advice}').format(advice=_(AMOUNT_ADVICE))
    return problem if culprit is None else f'{culprit[0]}={culprit[1]}: {problem}'


def dropped_document(message: str, culprit: tuple[str, str] | None = None) -> str:
    """Why a document was left out, for a warning at its КонецДокумента line."""
    missing = MISSING.fullmatch(message)
    if missing is not None:
        problem = _('it has no {key} line; add it, or export the statement again').format(
            key=missing.group(1))
    else:
        problem = value_problem(message, culprit)
    return _('document left out: {problem}').format(problem=problem)


def refusal_hint(data: bytes) -> str:
    """Why a refused file may still be a statement, and what makes it readable: editors on
    Windows like to start a file with a byte-order mark, which hides the statement's marker,
    and 1C can still write a statement in the DOS code page, which the parser does not read."""
    for mark, encoding in BYTE_ORDER_MARKS:
        if data.startswith(mark):
            return ' ({})'.format(_(
                'the file starts with a {encoding} byte-order mark; save it as Windows-1251, '
                'or as UTF-8 without a byte-order mark').format(encoding=encoding))
    head = data[:HEADER_BYTES]
    if any(line in head for line in DOS_HEADER):
        return ' ({})'.format(_('its header says Кодировка=DOS: the file is in the DOS code '
                                'page; convert it with --encoding cp866'))
    return f' ({_(NOT_STATEMENT)})'


def parse_error(error: corvina_py.ParseError, data: bytes) -> str:
    """The message of a file the parser refused, with what to do, then the parser's notes on
    the likely cause (a refused file's own hint here already says what they would)."""
    notes = list(getattr(error, '__notes__', ()))
    if isinstance(error, corvina_py.NotStatementError):
        hint = refusal_hint(data)
        return str(error) + hint if hint != f' ({_(NOT_STATEMENT)})' else '. '.join(
            [str(error) + hint, *notes])
    detail = getattr(error, 'detail', None)
    if isinstance(detail, corvina_py.AccountParseError):
        culprit = culprits.account_culprit(data, detail.lineno, detail.message)
        message = _('account section unreadable: {problem}; the statement cannot be converted '
                    'without it').format(problem=value_problem(detail.message, culprit))
    else:
        advice = ADVICE.get(type(detail)) or ADVICE.get(type(error))
        message = str(error) if advice is None else f'{error}; {_(advice)}'
    return '. '.join([message, *notes])


OS_ADVICE = {
    errno.ENOENT: 'check the name and the folder',
    errno.EACCES: 'check the permissions',
    errno.EPERM: 'check the permissions',
    errno.ENOSPC: 'free some space and run again',
    errno.EISDIR: 'give its files, or the folder as the only thing in its argument',
    errno.EROFS: 'write the output somewhere else',
}


def os_error(error: OSError) -> str:
    # The system's own text is left as the C library gives it: in the locale's language
    # already, where the system has one.
    text = error.strerror or str(error)
    advice = OS_ADVICE.get(error.errno) if error.errno is not None else None
    return text if advice is None else f'{text}; {_(advice)}'


def transcoding_error(error: UnicodeError, data: bytes, source: str) -> tuple[int, str]:
    """The line of a character that has no Windows-1251 form, and the message for it."""
    start = getattr(error, 'start', 0)
    if isinstance(error, UnicodeDecodeError):
        # cp866 decodes every byte, so this only happens for a code page that does not.
        return data.count(b'\n', 0, start) + 1, _(
            'byte {byte} has no meaning in {source}; check --encoding').format(
                byte=repr(data[start:start + 1]), source=source)
    text = getattr(error, 'object', '')
    text = text if isinstance(text, str) else ''
    return text.count('\n', 0, start) + 1, _(
        'the character {character} (from {source}) has no Windows-1251 form; replace it in '
        'the file').format(character=repr(text[start:start + 1]), source=source)


def table_join(error: Exception) -> str:
    """A pyarrow failure to join the inputs' tables into one file."""
    return _("the inputs' amounts do not fit one column: with the most decimals any input "
             'has, some amount needs more than 38 digits; convert those files separately '
             '(pyarrow: {error})').format(error=error)
