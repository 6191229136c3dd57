"""Control digits and shapes of Russian bank requisites: INN, KPP, BIC and account numbers.

Each function takes the text as written in a statement and returns None when it holds, or a
Flaw: what a sound value would have and what this one has instead, as short texts that the
checks quote, in the language chosen.
"""

from __future__ import annotations

import re
from typing import NamedTuple

from corvina_convert.i18n import _


class Flaw(NamedTuple):
    expected: str
    found: str


_INN10 = (2, 4, 10, 3, 5, 9, 4, 6, 8)
_INN11 = (7, 2, 4, 10, 3, 5, 9, 4, 6, 8)
_INN12 = (3, 7, 2, 4, 10, 3, 5, 9, 4, 6, 8)
# The account key's weights over the 23 digits of the bank's part and the account.
_ACCOUNT_WEIGHTS = (7, 1, 3) * 8

# str.isdigit would take Arabic-Indic and other Unicode digits, which int() reads as well.
_DIGITS = re.compile(r'[0-9]+')
# Divisions of the Bank of Russia (their BICs end in these) keep accounts whose key counts the
# BIC's fifth and sixth digits, as a correspondent account's does.
CENTRAL_BANK_UNITS = frozenset(('000', '001', '002'))
# Treasury accounts (balance accounts 03...) carry a fixed digit where others have their key.
TREASURY = '03'
_KPP = re.compile(r'[0-9]{4}[0-9A-Z]{2}[0-9]{3}')


def _digits(text: str, count: int) -> bool:
    return len(text) == count and _DIGITS.fullmatch(text) is not None


def _control(digits: str, weights: tuple[int, ...]) -> str:
    return str(sum(int(digit) * weight for digit, weight in zip(digits, weights)) % 11 % 10)


def inn_flaw(inn: str) -> Flaw | None:
    """An organisation's INN has 10 digits, the last a control digit of the nine before it; a
    person's has 12, the last two control digits of the ten and eleven before them."""
    if _digits(inn, 10):
        expected = _control(inn, _INN10)
        if inn[9] == expected:
            return None
        return Flaw(_('control digit {digit}').format(digit=expected),
                    _('{found} in {value}').format(found=inn[9], value=inn))
    if _digits(inn, 12):
        # The twelfth digit is computed over the eleven digits as written, so a wrong eleventh
        # digit does not make a right twelfth one look wrong too.
        expected = _control(inn, _INN11) + _control(inn, _INN12)
        if inn[10:] == expected:
            return None
        return Flaw(_('control digits {digits}').format(digits=expected),
                    _('{found} in {value}').format(found=inn[10:], value=inn))
    return Flaw(_('10 or 12 digits'), repr(inn))


def kpp_flaw(kpp: str) -> Flaw | None:
    """Nine characters: a tax office's four digits, a reason's two digits or capital Latin
    letters, and a three-digit number."""
    if _KPP.fullmatch(kpp):
        return None
    return Flaw(_('4 digits, 2 digits or capital Latin letters, 3 digits'), repr(kpp))


def bic_flaw(bic: str) -> Flaw | None:
    return None if _digits(bic, 9) else Flaw(_('9 digits'), repr(bic))


def is_account(text: str) -> bool:
    return _digits(text, 20)


def _account_flaw(bank_part: str, account: str, bic: str) -> Flaw | None:
    if not _digits(account, 20):
        return Flaw(_('20 digits'), repr(account))
    if not _digits(bic, 9):
        return None  # no key to compute: the BIC's own check says why
    total = sum(int(digit) * weight
                for digit, weight in zip(bank_part + account, _ACCOUNT_WEIGHTS)) % 10
    if total == 0:
        return None
    # The key is the account's ninth digit, weighed 3; 7 is the inverse of 3 modulo 10, so this
    # is the one key that brings the sum to a multiple of ten.
    key = (int(account[8]) - 7 * total) % 10
    return Flaw(_('control key {key} with BIC {bic}').format(key=key, bic=bic),
                _('{found} in {value}').format(found=account[8], value=account))


def account_flaw(account: str, bic: str) -> Flaw | None:
    """An account in the bank of the BIC: its key counts the BIC's last three digits first."""
    if account.startswith(TREASURY) and _digits(account, 20):
        return None
    if bic[6:9] in CENTRAL_BANK_UNITS:
        return correspondent_account_flaw(account, bic)
    return _account_flaw(bic[6:9], account, bic)


def correspondent_account_flaw(account: str, bic: str) -> Flaw | None:
    """A bank's correspondent account at the Bank of Russia: its key counts a zero and the
    BIC's fifth and sixth digits first."""
    return _account_flaw('0' + bic[4:6], account, bic)
