"""The language the converter speaks: Russian where the locale asks for it, English otherwise.

Texts are written in English in the code and looked up in the package's gettext catalogs
(locale/<language>/LC_MESSAGES/corvina_convert.mo). With no --lang the standard variables
decide, in gettext's order (LANGUAGE, LC_ALL, LC_MESSAGES, LANG), so LC_ALL=C keeps English
even under LANG=ru_RU.UTF-8, as every other POSIX program does.

The parser's own messages (the module's exception texts) are not translated: a search for
them must find them, so the converter puts its Russian words around them instead.
"""

from __future__ import annotations

import gettext
import locale
import os
import sys
from collections.abc import Sequence

DOMAIN = 'corvina_convert'
LOCALE_DIR = os.path.join(os.path.dirname(__file__), 'locale')
LANGUAGES = ('ru', 'en')
VARIABLES = ('LANGUAGE', 'LC_ALL', 'LC_MESSAGES', 'LANG')

# The one translation of the process: set once by the command line before it prints anything,
# and again in each worker process, which may not inherit it (spawn and forkserver start
# afresh).
_translation: gettext.NullTranslations = gettext.NullTranslations()
_language: str | None = None


def use(language: str | None) -> None:
    """Speaks the language given ('ru' or 'en'), or the locale's when None."""
    global _translation, _language
    wanted = language or system_language()
    languages = None if wanted is None else [wanted]
    _translation = gettext.translation(DOMAIN, LOCALE_DIR, languages=languages, fallback=True)
    _language = language


def system_language() -> str | None:
    """Windows sets none of the variables gettext reads: there the language is the system
    locale's ('Russian_Russia'), which gettext does not look at."""
    if sys.platform != 'win32' or any(os.environ.get(name) for name in VARIABLES):
        return None
    name = (locale.getlocale()[0] or '').lower()
    return 'ru' if name.startswith(('ru_', 'russian')) else None


def chosen() -> str | None:
    """What use() was given: passed to worker processes so that they speak alike."""
    return _language


def _(text: str) -> str:
    return _translation.gettext(text)


def n_(singular: str, plural: str, count: int) -> str:
    """The form for the count: Russian has three (1 документ, 2 документа, 5 документов)."""
    return _translation.ngettext(singular, plural, count)


def language_in(argv: Sequence[str] | None) -> str | None:
    """The --lang of a command line, looked for before the parser exists, so that the
    parser's own complaints already speak it. An unknown value is left for the parser to
    refuse."""
    arguments = list(sys.argv[1:] if argv is None else argv)
    found = None  # the last one wins, as it does in the parser
    for index, argument in enumerate(arguments):
        if argument == '--':
            break
        if argument == '--lang' and index + 1 < len(arguments):
            found = arguments[index + 1]
        elif argument.startswith('--lang='):
            found = argument.partition('=')[2]
    return found if found in LANGUAGES else None
