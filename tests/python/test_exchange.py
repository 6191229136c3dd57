"""Writing statements back in the exchange format: corvina_convert.dumps/dump and -f exchange."""

from __future__ import annotations

import datetime
import decimal
import hashlib
import io
import json
import os
import re
import shutil
from pathlib import Path

import pytest
from hypothesis import given, settings, strategies as st

import corvina_py
from conftest import many_sections, run_python, statement
from corvina_convert import dump, dumps, main, statement_to_dict
from corvina_convert.exchange import DOCUMENT_KEYS

SAMPLES = Path(os.environ.get('CORVINA_SAMPLES_DIR',
                              Path(__file__).resolve().parents[3] / 'shared' / 'samples'))
GUIDE = Path(__file__).resolve().parents[2] / 'docs' / 'writing.md'
ENCODINGS = ('cp1251', 'utf-8')

DOCUMENT = {
    'Номер': '7', 'Дата': '05.03.2024', 'Сумма': '100.50', 'ПлательщикСчет': '40702810000000000001',
    'ПлательщикИНН': '7701', 'ПлательщикБИК': '044525000', 'ПлательщикБанк1': 'Банк',
    'ПолучательСчет': '40702810000000000002', 'ПолучательИНН': '7702',
    'ПолучательБИК': '044525001', 'ПолучательБанк1': 'Банк получателя',
    'НазначениеПлатежа': 'Оплата по счету № 7',
}
ACCOUNT = {'ДатаНачала': '01.03.2024', 'РасчСчет': '40702810000000000001',
           'НачальныйОстаток': '10.00'}


def parsed(*sections, header=None) -> corvina_py.Statement:
    return corvina_py.parse(statement(*sections, header=header))


def as_dict(s: corvina_py.Statement, linenos: bool = False) -> dict:
    """What a round trip keeps: all but the encoding and the warnings, and the documents'
    lines unless asked for (the writer puts the sections in its own order)."""
    d = statement_to_dict(s)
    del d['encoding'], d['warnings']
    if not linenos:
        for document in d['documents']:
            del document['lineno']
    return d


def with_encoding_key(s: corvina_py.Statement, encoding: str) -> dict:
    """The statement as it is written in `encoding`: Кодировка, when there, says so."""
    d = as_dict(s)
    value = d['header'].get('Кодировка')
    if value is not None and value.casefold() not in (
            ('windows',) if encoding == 'cp1251' else ('utf-8', 'utf8')):
        d['header']['Кодировка'] = 'Windows' if encoding == 'cp1251' else 'UTF-8'
    return d


def assert_round_trip(s: corvina_py.Statement, encoding: str, newline: str = '\r\n') -> None:
    # What was dropped is refused unless ignored (TestDropped); the rest must come back.
    data = dumps(s, encoding=encoding, newline=newline, dropped='ignore')
    again = corvina_py.parse(data)
    assert again.encoding == encoding
    assert again.warnings == []
    assert as_dict(again) == with_encoding_key(s, encoding)
    assert dumps(again, encoding=encoding, newline=newline) == data
    # The converter's JSON object writes the same bytes as the statement it came from.
    assert dumps(json.loads(json.dumps(statement_to_dict(s))), encoding=encoding,
                 newline=newline, dropped='ignore') == data


class TestLayout:
    def test_sections_in_order_keys_in_schema_order(self):
        s = parsed(('Платежное поручение', {**DOCUMENT, 'ВидОплаты': '', 'Лишний': 'x'}),
                   ('account', {**ACCOUNT, 'КонечныйОстаток': '20.00', 'ДатаКонца': '31.03.2024'}),
                   header={'ВерсияФормата': '1.03', 'Кодировка': 'Windows'})
        assert dumps(s).decode('cp1251').split('\r\n') == [
            '1CClientBankExchange', 'ВерсияФормата=1.03', 'Кодировка=Windows',
            'СекцияРасчСчет', 'ДатаНачала=01.03.2024', 'ДатаКонца=31.03.2024',
            'РасчСчет=40702810000000000001', 'НачальныйОстаток=10.00',
            'КонечныйОстаток=20.00', 'КонецРасчСчет',
            'СекцияДокумент=Платежное поручение', 'Номер=7', 'Дата=05.03.2024', 'Сумма=100.50',
            'НазначениеПлатежа=Оплата по счету № 7', 'ВидОплаты=',
            'ПлательщикИНН=7701', 'ПлательщикБИК=044525000', 'ПлательщикБанк1=Банк',
            'ПлательщикСчет=40702810000000000001', 'ПолучательИНН=7702',
            'ПолучательСчет=40702810000000000002', 'ПолучательБИК=044525001',
            'ПолучательБанк1=Банк получателя', 'Лишний=x', 'КонецДокумента', 'КонецФайла', '']

    def test_keys_are_the_parsers(self):
        # Every field the parser fills is written under the key it reads.
        attrs = {key: '1' for key in DOCUMENT_KEYS.values() if key != 'СекцияДокумент'}
        attrs.update({'Дата': '01.01.2024', 'ДатаСписано': '02.01.2024',
                      'ДатаПоступило': '03.01.2024'})
        document = parsed(('Вид', attrs)).documents[0]
        assert all(getattr(document, name) is not None for name in DOCUMENT_KEYS)
        assert_round_trip(parsed(('Вид', attrs)), 'utf-8')

    @pytest.mark.parametrize(('encoding', 'given', 'written'), [
        ('cp1251', 'Windows', 'Windows'), ('cp1251', 'windows', 'windows'),
        ('cp1251', 'UTF-8', 'Windows'), ('cp1251', 'DOS', 'Windows'),
        ('utf-8', 'Windows', 'UTF-8'), ('utf-8', 'utf8', 'utf8'), ('utf-8', 'UTF-8', 'UTF-8'),
    ])
    def test_encoding_key_follows_the_encoding(self, encoding, given, written):
        s = parsed(('account', ACCOUNT), header={'Кодировка': given})
        assert corvina_py.parse(dumps(s, encoding=encoding)).header == {'Кодировка': written}

    def test_no_encoding_key_is_added(self):
        s = parsed(('account', ACCOUNT), header={})
        assert corvina_py.parse(dumps(s, encoding='utf-8')).header == {}

    @pytest.mark.parametrize('newline', ['\r\n', '\n'])
    def test_newline(self, newline):
        data = dumps(parsed(('account', ACCOUNT)), encoding='utf-8', newline=newline)
        assert data.count(b'\n') == data.count(newline.encode()) == 8


class TestRoundTrip:
    # Statements whose parse is easy to get wrong on the way back.
    TRICKY = {
        # Three intervals of one day, filed by the reader as B, C, A.
        'same-day intervals': [('account', {**ACCOUNT, 'НачальныйОстаток': amount})
                               for amount in ('1', '2', '3')] + [
            ('account', {**ACCOUNT, 'ДатаНачала': '28.02.2024', 'НачальныйОстаток': '0'})],
        'accounts out of order': [('account', {**ACCOUNT, 'РасчСчет': number})
                                  for number in ('2', '1', '2')],
        'years of every length': [('Вид', {**DOCUMENT, 'Дата': '5.3.24',
                                           'ДатаСписано': '01.01.+10000',
                                           'ДатаПоступило': '31.12.-44'})],
        'amounts as written': [('Вид', {**DOCUMENT, 'Сумма': amount}) for amount in (
            '1_000.50', '.5', '5.', '-0.00', '1.5e3', '79228162514264337593543950335',
            '0.12345678901234567890123456789')],
        'carriage returns kept in values': [('Вид', {**DOCUMENT, 'НазначениеПлатежа': 'a\rb',
                                                    'Плательщик': 'a\r'})],
        '= in values and kinds': [('Вид=1', {**DOCUMENT, 'Плательщик1': '=x=', '': 'empty key'})],
        'empty optional texts': [('', {**DOCUMENT, **{key: '' for key in (
            'ВидОплаты', 'Очередность', 'ПлательщикКПП', 'Получатель', 'ДатаСписано')}})],
        'byte 0x98': [('Вид', {**DOCUMENT, 'НазначениеПлатежа': 'Оплата\x98'})],
    }

    @pytest.mark.parametrize('encoding', ENCODINGS)
    @pytest.mark.parametrize('name', TRICKY)
    def test_tricky(self, name, encoding):
        assert_round_trip(parsed(*self.TRICKY[name]), encoding)

    def test_documents_of_every_kind_in_one_list(self):
        # A parsed statement's list may be given other items: each is written as it is.
        s = parsed(('Вид', DOCUMENT), ('Вид', {**DOCUMENT, 'Номер': '8'}))
        expected = dumps(s)
        s.documents[1] = statement_to_dict(s)['documents'][1]
        assert dumps(s) == expected

    def test_hook_texts_are_checked_too(self):
        def rewrite(section, attrs, header):
            if 'Плательщик' in attrs:
                attrs['Плательщик'] = 'a\nb'
        s = corvina_py.parse(statement(('Вид', DOCUMENT), ('Вид', {**DOCUMENT, 'Плательщик': ''})),
                             hooks=[rewrite])
        with pytest.raises(ValueError) as raised:
            dumps(s)
        assert str(raised.value) == ('document 1 (line 17), field counterparty (Плательщик): a '
                                     'line break in the value')

    def test_written_in_pieces_on_threads_the_same(self, tmp_path):
        # Tiny pieces force the threaded path on a statement of a few kilobytes.
        text = many_sections(300)
        path = tmp_path / 'statement.txt'
        path.write_text(text, encoding='utf-8')
        script = (f'import hashlib, pathlib, corvina_py, corvina_convert\n'
                  f's = corvina_py.parse(pathlib.Path({str(path)!r}).read_bytes())\n'
                  f'for encoding in {ENCODINGS!r}:\n'
                  f'    print(hashlib.sha256(corvina_convert.dumps(s, encoding=encoding, '
                  f'dropped="ignore")).hexdigest())\n')
        done = run_python(script, env={'CORVINA_CHUNK_THRESHOLD': '1', 'CORVINA_THREADS': '4'})
        assert done.returncode == 0, done.stderr
        s = corvina_py.parse(text)
        assert done.stdout.split() == [
            hashlib.sha256(dumps(s, encoding=encoding, dropped='ignore')).hexdigest()
            for encoding in ENCODINGS]

    def test_same_day_intervals_keep_their_order(self):
        s = parsed(*self.TRICKY['same-day intervals'])
        amounts = [i.start_amount for i in s.accounts[ACCOUNT['РасчСчет']].intervals]
        assert amounts == ['0', '2', '3', '1']
        again = corvina_py.parse(dumps(s))
        assert [i.start_amount for i in again.accounts[ACCOUNT['РасчСчет']].intervals] == amounts

    @pytest.mark.parametrize('encoding', ENCODINGS)
    def test_accounts_written_by_the_module_as_by_the_mapping_path(self, encoding):
        # With a document, the module writes the accounts: same-day runs, numbers out of order.
        s = parsed(*self.TRICKY['same-day intervals'], *self.TRICKY['accounts out of order'],
                   ('Вид', DOCUMENT))
        assert dumps(s, encoding=encoding) == dumps(statement_to_dict(s), encoding=encoding)

    @pytest.mark.parametrize('change, error, message', [
        (lambda a: a.update({'1\n2': a.pop('1')}), ValueError,
         "account '1\\n2', interval 0, key 'РасчСчет': a line break in the value"),
        (lambda a: a.update({'1': 5}), TypeError, "account '1': its intervals are a list, not int"),
        (lambda a: a.update({'1✓': a.pop('1')}), ValueError,
         "account '1✓', interval 0, key 'РасчСчет': the value holds '✓' (U+2713), which cp1251 "
         "cannot write"),
    ], ids=['line break', 'not an account', 'not in Windows-1251'])
    def test_changed_accounts_refused_as_by_the_mapping_path(self, change, error, message):
        s = parsed(*self.TRICKY['accounts out of order'], ('Вид', DOCUMENT))
        change(s.accounts)
        with pytest.raises(error) as raised:
            dumps(s)
        assert str(raised.value) == message

    @pytest.mark.parametrize('encoding', ENCODINGS)
    def test_real_samples(self, encoding):
        if not SAMPLES.is_dir():
            pytest.skip('sample statements not available')
        written = 0
        for path in sorted(SAMPLES.glob('*.txt')):
            try:
                s = corvina_py.parse(path.read_bytes())
            except corvina_py.ParseError:
                continue  # a sample kept for the parser's refusals
            assert_round_trip(s, encoding)
            written += 1
        assert written >= 9

    @settings(settings.get_profile('round-trip'))
    @given(data=st.data())
    def test_generated(self, data):
        s = corvina_py.parse(data.draw(GENERATED_TEXT))
        encoding = data.draw(st.sampled_from(ENCODINGS))
        newline = data.draw(st.sampled_from(('\r\n', '\n')))
        try:
            assert_round_trip(s, encoding, newline)
        except ValueError as error:
            # The only refusal a parsed statement can meet: a value ending in a carriage
            # return written with bare line feeds.
            assert newline == '\n' and 'carriage return' in str(error)


# --- Generated statements -----------------------------------------------------------------

TEXT = st.text('az0 .,-"№=\rАЯабвгдеёжзЁ', max_size=8)
# What is easy to get wrong: empty texts, "=" inside, carriage returns inside and at the end,
# quotes, spaces at the ends; dates and amounts in every form the parser reads.
VALUES = ['', 'a', 'Оплата по счету № 5 от 01.03.2024', '=x=', 'a\rb', ' пробел ', 'Ёё"\'',
          'z\r\r', 'ООО "Ромашка"']
DATES = ['5.3.2024', '29.02.2024', '01.01.24', '31.12.0900', '1.1.+10000', '28.2.-44',
         ' 05. 03. 2024']
AMOUNTS = ['100', '100.50', '-0.01', '.5', '5.', '1_000.25', '1.5e3', '-0',
           '0.1000000000000000000000000001', '79228162514264337593543950335']


AMOUNT_KEYS = {'Сумма', 'НачальныйОстаток', 'КонечныйОстаток', 'ВсегоПоступило', 'ВсегоСписано'}


def _choices(key: str) -> list:
    """The values a key may take in a generated section, None for leaving it out."""
    if key.startswith('Дата'):
        return DATES if key in REQUIRED else [None, *DATES, '', ' ']
    if key in AMOUNT_KEYS:
        return AMOUNTS if key in REQUIRED else [None, *AMOUNTS]
    return VALUES if key in REQUIRED else [None, *VALUES]


REQUIRED = {'Номер', 'Дата', 'Сумма', 'НазначениеПлатежа', 'ПлательщикИНН', 'ПлательщикБИК',
            'ПлательщикБанк1', 'ПлательщикСчет', 'ПолучательИНН', 'ПолучательСчет',
            'ПолучательБИК', 'ПолучательБанк1', 'ДатаНачала', 'НачальныйОстаток', 'РасчСчет'}


def sections_of(keys: list[str]):
    """Attribute maps over the keys, each drawn as one byte string of a byte per key: a
    statement of a few documents is then a few draws, and shrinks to the first choices."""
    choices = [_choices(key) for key in keys]

    def attrs(picks: bytes) -> dict[str, str]:
        found = {key: options[pick % len(options)]
                 for key, options, pick in zip(keys, choices, picks)}
        return {key: value for key, value in found.items() if value is not None}
    return st.binary(min_size=len(keys), max_size=len(keys)).map(attrs)


DOCUMENT_ATTRS = sections_of([key for key in DOCUMENT_KEYS.values() if key != 'СекцияДокумент']
                             + ['Лишний'])
ACCOUNT_ATTRS = sections_of(['ДатаНачала', 'ДатаКонца', 'НачальныйОстаток', 'КонечныйОстаток',
                             'ВсегоПоступило', 'ВсегоСписано']).map(
    lambda attrs: {**attrs, 'РасчСчет': str(len(attrs) % 3)})
SECTIONS = st.lists(st.one_of(st.tuples(st.just('account'), ACCOUNT_ATTRS),
                              st.tuples(TEXT.filter(lambda kind: kind != 'account'),
                                        DOCUMENT_ATTRS)),
                    min_size=1, max_size=6)
HEADER = st.dictionaries(TEXT.filter(lambda key: '=' not in key and key != 'СекцияДокумент'),
                         TEXT, max_size=3)
GENERATED_TEXT = st.builds(lambda sections, header: statement(*sections, header=header),
                           SECTIONS, HEADER)


# --- Refusals -----------------------------------------------------------------------------

def payment(**fields) -> dict:
    """A payment order as the converter's JSON writes it, with `fields` changed."""
    document = {name: None for name in DOCUMENT_KEYS}
    document.update(doc_number='1', doc_type='Платежное поручение', doc_date='2024-03-05',
                    amount='100.00', purpose='Оплата', counterparty_inn='7701',
                    counterparty_bic='044525000', counterparty_bank1='Банк',
                    counterparty_account='40702810000000000001', payee_inn='7702',
                    payee_account='40702810000000000002', payee_bic='044525001',
                    payee_bank1='Банк получателя')
    document.update(fields)
    return document


class TestRefusals:
    CASES = {
        'line feed in a value': (
            {'documents': [payment(purpose='a\nb')]}, 'cp1251',
            'document 0, field purpose (НазначениеПлатежа): a line break in the value'),
        'line feed in a header value': (
            # A header key that is also an interval's is still the header's own.
            {'header': {'ДатаНачала': 'a\nb'}, 'documents': [payment()]}, 'cp1251',
            "the header, key 'ДатаНачала': a line break in the value"),
        'line feed in a document kind': (
            {'documents': [payment(doc_type='a\n')]}, 'utf-8',
            'document 0, field doc_type (СекцияДокумент): a line break in the value'),
        'carriage return ending a value': (
            {'documents': [payment(payee='a\r')]}, 'newline \n',
            'document 0, field payee (Получатель): a carriage return ending the value, which '
            'would be read as part of the line break'),
        'character outside Windows-1251': (
            {'documents': [payment(), payment(lineno=40, purpose='✓')]}, 'cp1251',
            "document 1 (line 40), field purpose (НазначениеПлатежа): the value holds '✓' "
            '(U+2713), which cp1251 cannot write'),
        'key outside Windows-1251': (
            {'header': {'Ключ✓': 'a'}, 'documents': [payment()]}, 'cp1251',
            "the header, key 'Ключ✓': the key holds '✓' (U+2713), which cp1251 cannot write"),
        'lone surrogate in UTF-8': (
            {'documents': [payment(payee='\ud800')]}, 'utf-8',
            "document 0, field payee (Получатель): the value holds '\\ud800' (U+D800), which "
            'utf-8 cannot write'),
        'required field missing': (
            {'documents': [payment(payee_inn=None, lineno=12)]}, 'cp1251',
            'document 0 (line 12), field payee_inn (ПолучательИНН): missing, and the field is '
            'required'),
        'required interval field missing': (
            {'accounts': {'1': [{'date_start': '2024-03-01'}]}}, 'cp1251',
            "account '1', interval 0, field start_amount (НачальныйОстаток): missing, and the "
            'field is required'),
        'date in the format\'s own form': (
            {'documents': [payment(doc_date='05.03.2024')]}, 'cp1251',
            "document 0, field doc_date (Дата): the date '05.03.2024' is not a \"yyyy-mm-dd\" "
            'text'),
        'date that does not exist': (
            {'documents': [payment(income_date='2023-02-29')]}, 'cp1251',
            "document 0, field income_date (ДатаПоступило): the date '2023-02-29' is out of "
            'range'),
        'signed year inside 0000-9999': (
            {'documents': [payment(doc_date='+2024-03-05')]}, 'cp1251',
            "document 0, field doc_date (Дата): the date '+2024-03-05' would be read back as "
            'another text (a sign and more than four digits only for years outside 0000 to '
            '9999)'),
        'empty optional date': (
            {'documents': [payment(outcome_date='')]}, 'cp1251',
            "document 0, field outcome_date (ДатаСписано): the date '' is not a \"yyyy-mm-dd\" "
            'text'),
        'decimal comma': (
            {'documents': [payment(amount='12,50')]}, 'cp1251',
            "document 0, field amount (Сумма): the amount '12,50' is not a plain decimal as the "
            'parser shows amounts (digits, one "." and a leading "-" at most)'),
        'negative zero': (
            {'documents': [payment(amount='-0.00')]}, 'cp1251',
            "document 0, field amount (Сумма): the amount '-0.00' would be read back without "
            'its sign'),
        'amount past 96 bits': (
            {'accounts': {'1': [{'date_start': '2024-03-01',
                                 'start_amount': '79228162514264337593543950336'}]}}, 'cp1251',
            "account '1', interval 0, field start_amount (НачальныйОстаток): the amount "
            "'79228162514264337593543950336' has more digits than the parser keeps"),
        'int past what Python writes as text': (
            {'documents': [payment(amount=10 ** 5000)]}, 'cp1251',
            'document 0, field amount (Сумма): the amount has more digits than the parser keeps'),
        'header key holding =': (
            {'header': {'a=b': 'c'}, 'documents': [payment()]}, 'cp1251',
            'the header, key \'a=b\': the key holds "=", which ends a key'),
        'extra key holding =': (
            {'documents': [payment(extra={'a=b': 'c'})]}, 'cp1251',
            'document 0, key \'a=b\': the key holds "=", which ends a key'),
        'extra key naming a field': (
            {'documents': [payment(extra={'Сумма': '1'})]}, 'cp1251',
            "document 0, key 'Сумма': the key is a field's key; give its value as the field"),
        'header key opening a document': (
            {'header': {'СекцияДокумент': 'x'}, 'documents': [payment()]}, 'cp1251',
            "the header, key 'СекцияДокумент': the key would open a document section"),
        'no section': (
            {'header': {'a': 'b'}}, 'cp1251',
            'the statement has neither account intervals nor documents, and the format needs '
            'at least one section'),
        'account without intervals': (
            {'accounts': {'1': []}, 'documents': [payment()]}, 'cp1251',
            "account '1': no intervals, and an account exists in the format only as its "
            'intervals'),
        'too much that Windows-1251 readers take for binary': (
            {'documents': [payment(purpose='\xa0' * 2000)]}, 'cp1251',
            "document 0, field purpose (НазначениеПлатежа): '\\xa0' (U+00A0) is one of too many "
            'control characters or characters from U+0080 to U+03FF near the start of the file '
            'for it to be read as Windows-1251; write it as UTF-8'),
    }

    @pytest.mark.parametrize('name', CASES)
    def test_refused_and_nothing_written(self, name):
        s, encoding, message = self.CASES[name]
        options = {'newline': '\n'} if encoding == 'newline \n' else {'encoding': encoding}
        file = io.BytesIO()
        with pytest.raises(ValueError) as raised:
            dump(s, file, **options)
        assert str(raised.value) == message
        assert file.getvalue() == b''

    def test_the_same_texts_are_written_otherwise(self):
        # The refusals above are about their one value: each statement is fine without it.
        assert corvina_py.parse(dumps({'documents': [payment(purpose='a\rb')]}, newline='\n'))

    @pytest.mark.parametrize(('value', 'message'), [
        (1.5, "document 0, field amount (Сумма): an amount is a decimal text, int or "
              "decimal.Decimal, not float"),
        (b'1', "document 0, field amount (Сумма): an amount is a decimal text, int or "
               "decimal.Decimal, not bytes"),
    ])
    def test_wrong_types(self, value, message):
        with pytest.raises(TypeError) as raised:
            dumps({'documents': [payment(amount=value)]})
        assert str(raised.value) == message


class TestFromDicts:
    def test_python_values(self):
        s = {'header': {'ВерсияФормата': '1.03'},
             'documents': [payment(doc_date=datetime.date(2024, 3, 5),
                                   amount=decimal.Decimal('1E+2'), doc_number='1'),
                           payment(amount=250)]}
        written = corvina_py.parse(dumps(s)).documents
        assert [(d.doc_date, d.amount) for d in written] == [('2024-03-05', '100'),
                                                           ('2024-03-05', '250')]

    def test_extra_keys_after_the_fields(self):
        data = dumps({'documents': [payment(extra={'КодНазПлатежа': '1', '': 'x'})]},
                     encoding='utf-8', newline='\n').decode()
        assert data.endswith('ПолучательБанк1=Банк получателя\nКодНазПлатежа=1\n=x\n'
                             'КонецДокумента\nКонецФайла\n')


class Lying(str):
    """A text that says something else when asked for its text, format or slices."""

    def __str__(self) -> str:
        return '1,00'

    def __format__(self, spec: str) -> str:
        return '1,00'

    def __getitem__(self, index):
        return '1,00'


def interval(start, amount='10.00', **fields) -> dict:
    return {'date_start': start, 'start_amount': amount, **fields}


class TestSilentLosses:
    """What the writer used to write and the parser then read back otherwise."""

    @pytest.mark.parametrize(('intervals', 'message'), [
        ([interval('2024-03-01'), interval('2024-03-02'), interval('2024-03-01')],
         "account '1': intervals 0 and 2 are equal (the same dates, and amounts equal as "
         "numbers), and the file would read back with one of them"),
        ([interval('2024-03-01', '100.00', total_income='5'),
          interval(datetime.date(2024, 3, 1), 100, total_income=decimal.Decimal('5.0'))],
         "account '1': intervals 0 and 1 are equal (the same dates, and amounts equal as "
         "numbers), and the file would read back with one of them"),
    ], ids=['the same', 'the same in other forms'])
    def test_equal_intervals_refused(self, intervals, message):
        with pytest.raises(ValueError) as raised:
            dumps({'accounts': {'1': intervals}})
        assert str(raised.value) == message

    def test_intervals_apart_by_an_absent_field_are_kept(self):
        s = {'accounts': {'1': [interval('2024-03-01'), interval('2024-03-01', end_amount='0')]}}
        assert len(corvina_py.parse(dumps(s)).accounts['1'].intervals) == 2

    @pytest.mark.parametrize(('intervals', 'amounts'), [
        ([interval('2024-03-02', '1'), interval('2024-03-01', '2'), interval('+10000-01-01', '3'),
          interval('-0044-03-15', '4')], ['4', '2', '1', '3']),
        ([interval(datetime.date(2024, 3, 1), '1'), interval('2024-03-01', '2'),
          interval(datetime.date(2024, 3, 1), '3'), interval('2024-02-29', '4')],
         ['4', '1', '2', '3']),
    ], ids=['out of date order', 'one day as date and text'])
    @pytest.mark.parametrize('documents', [[], [payment()]], ids=['accounts only', 'documents'])
    def test_intervals_written_in_the_order_read_back(self, intervals, amounts, documents):
        s = {'accounts': {'1': intervals}, 'documents': documents}
        data = dumps(s)
        again = corvina_py.parse(data)
        assert [i.start_amount for i in again.accounts['1'].intervals] == amounts
        assert dumps(again) == data

    @pytest.mark.parametrize(('extra', 'kind'), [([('Код', '1')], 'list'), ('Код=1', 'str')])
    def test_extra_that_is_no_mapping(self, extra, kind):
        with pytest.raises(TypeError) as raised:
            dumps({'documents': [payment(), payment(lineno=30, extra=extra)]})
        assert str(raised.value) == (f'document 1 (line 30): its extra is {kind}, not a mapping '
                                     'of keys to texts')

    @pytest.mark.parametrize(('field', 'value', 'read'), [
        ('amount', Lying('100.00'), '100.00'),
        ('doc_date', Lying('2024-03-05'), '2024-03-05'),
        ('purpose', Lying('Оплата'), 'Оплата'),
    ])
    def test_text_subclass_written_as_checked(self, field, value, read):
        s = {'header': {Lying('Ключ'): Lying('значение')}, 'accounts': {
                 Lying('1'): [interval(Lying('2024-03-01'), Lying('5'))]},
             'documents': [payment(**{field: value}, extra={Lying('Код'): Lying('7')})]}
        again = corvina_py.parse(dumps(s))
        assert again.warnings == []
        assert getattr(again.documents[0], field) == read
        assert again.documents[0].extra == {'Код': '7'} and again.header == {'Ключ': 'значение'}
        assert again.accounts['1'].intervals[0].start_amount == '5'

    @pytest.mark.parametrize('amount', [
        type('LyingInt', (int,), {'__str__': lambda self: '1,00', '__repr__': lambda self: 'x'})(7),
        type('LyingDecimal', (decimal.Decimal,), {'__format__': lambda self, spec: '1,00'})('7'),
    ], ids=['int', 'Decimal'])
    def test_number_subclass_written_by_value(self, amount):
        assert corvina_py.parse(dumps({'documents': [payment(amount=amount)]})).documents[0] \
            .amount == '7'


class TestDropped:
    @pytest.mark.parametrize(('dropped', 'lines'), [
        (1, 'a document of this statement (line 29)'),
        (12, '12 documents of this statement (lines 29, 42, 55, 68, 81, 94, 107, 120, 133, 146 '
             'and 2 more)'),
    ])
    @pytest.mark.parametrize('form', ['Statement', 'JSON object'])
    def test_refused_naming_the_lines(self, dropped, lines, form):
        s = parsed(('Платежное поручение', DOCUMENT), *[('Платежное поручение', {
            key: value for key, value in DOCUMENT.items() if key != 'Сумма'})] * dropped)
        given = s if form == 'Statement' else json.loads(json.dumps(statement_to_dict(s)))
        file = io.BytesIO()
        with pytest.raises(ValueError) as raised:
            dump(given, file)
        assert str(raised.value) == (f'the parser dropped {lines}, which the file written would '
                                     'silently lack; pass dropped="ignore" to write it without '
                                     'them')
        assert file.getvalue() == b''
        again = corvina_py.parse(dumps(given, dropped='ignore'))
        assert again.warnings == [] and as_dict(again) == as_dict(s)

    def test_unknown_choice(self):
        with pytest.raises(ValueError) as raised:
            dumps(parsed(('account', ACCOUNT)), dropped='skip')  # type: ignore[arg-type]
        assert str(raised.value) == 'dropped must be "raise" or "ignore", not \'skip\''


# --- The converter ------------------------------------------------------------------------

class TestConverter:
    TEXT = statement(('account', ACCOUNT), ('Платежное поручение', DOCUMENT),
                     header={'ВерсияФормата': '1.03', 'Кодировка': 'Windows'})

    def test_one_input_to_standard_output(self, tmp_path, capsysbinary):
        path = tmp_path / 'a.txt'
        path.write_text(self.TEXT, encoding='utf-8')
        assert main(['-f', 'exchange', str(path)]) == 0
        out = capsysbinary.readouterr().out
        assert out == dumps(corvina_py.parse(self.TEXT))
        assert corvina_py.parse(out).encoding == 'cp1251'

    def test_one_file_per_input_in_a_folder(self, tmp_path):
        paths = []
        for name in ('a.txt', 'b.txt'):
            paths.append(tmp_path / name)
            paths[-1].write_text(self.TEXT, encoding='utf-8')
        out = tmp_path / 'out'
        assert main(['-f', 'exchange', '--encoding-out', 'utf-8', '-o', str(out),
                     *map(str, paths)]) == 0
        assert sorted(os.listdir(out)) == ['a.txt', 'b.txt']
        assert (out / 'a.txt').read_bytes() == dumps(corvina_py.parse(self.TEXT),
                                                     encoding='utf-8')

    @pytest.mark.parametrize(('argv', 'message'), [
        (['--encoding-out', 'utf-8'], '--encoding-out needs --format exchange'),
        (['--from-json'], '--from-json needs --format exchange'),
        (['-f', 'exchange', 'IN', 'IN2'], '--format exchange writes more than one statement '
                                          'only into a folder: give it with -o DIR'),
        (['-f', 'exchange', '--from-json', '--encoding', 'cp866'],
         '--encoding reads statement files, not the JSON of --from-json: give one of them'),
        (['--allow-dropped'], '--allow-dropped needs --format exchange'),
    ])
    def test_command_line_mistakes(self, tmp_path, capsys, argv, message):
        for name in ('IN', 'IN2'):
            (tmp_path / name).write_text(self.TEXT, encoding='utf-8')
        argv = [str(tmp_path / a) if a.startswith('IN') else a for a in argv]
        with pytest.raises(SystemExit) as raised:
            main(argv if 'IN' in ' '.join(argv) else [*argv, str(tmp_path / 'IN')])
        assert raised.value.code == 2
        assert capsys.readouterr().err.splitlines()[-1].endswith(f'{message} (see --help)')

    def test_output_folder_holding_an_input_is_refused(self, tmp_path, capsys):
        (tmp_path / 'a.txt').write_text(self.TEXT, encoding='utf-8')
        with pytest.raises(SystemExit):
            main(['-f', 'exchange', '-o', str(tmp_path), str(tmp_path / 'a.txt')])
        assert 'is an input or another output' in capsys.readouterr().err
        assert (tmp_path / 'a.txt').read_text(encoding='utf-8') == self.TEXT

    def test_refused_statement_fails_its_input(self, tmp_path, capsys):
        path = tmp_path / 'a.txt'
        path.write_text(self.TEXT.replace('Оплата', 'Оплата ✓'), encoding='utf-8')
        assert main(['-f', 'exchange', '-o', str(tmp_path / 'out'), str(path)]) == 1
        assert 'which cp1251 cannot write' in capsys.readouterr().err
        assert not (tmp_path / 'out' / 'a.txt').exists()

    @pytest.mark.parametrize('indent', [None, 2])
    def test_from_json_reproduces_each_sample(self, tmp_path, capsysbinary, indent):
        if not SAMPLES.is_dir():
            pytest.skip('sample statements not available')
        samples = []
        for path in sorted(SAMPLES.glob('*.txt')):
            try:
                samples.append((path, corvina_py.parse(path.read_bytes())))
            except corvina_py.ParseError:
                continue
        json_path = tmp_path / 'all.json'
        assert main([*(['--indent', str(indent)] if indent else []), '-o', str(json_path),
                     *(str(path) for path, _ in samples)]) == 0
        out = tmp_path / 'out'
        assert main(['--from-json', '-f', 'exchange', '-o', str(out), str(json_path)]) == 0
        for path, s in samples:
            again = corvina_py.parse((out / path.name).read_bytes())
            assert as_dict(again) == with_encoding_key(s, 'cp1251')

    def test_from_json_standard_input(self, tmp_path, capsysbinary, monkeypatch):
        s = corvina_py.parse(self.TEXT)
        stdin = io.TextIOWrapper(io.BytesIO(json.dumps(statement_to_dict(s)).encode()))
        monkeypatch.setattr('sys.stdin', stdin)
        assert main(['--from-json', '-f', 'exchange', '--encoding-out', 'utf-8', '-']) == 0
        assert capsysbinary.readouterr().out == dumps(s, encoding='utf-8')

    def test_from_json_not_json(self, tmp_path, capsys):
        path = tmp_path / 'a.json'
        path.write_text('{"header": ', encoding='utf-8')
        assert main(['--from-json', '-f', 'exchange', str(path)]) == 1
        assert "not corvina-convert's JSON output" in capsys.readouterr().err

    def test_from_json_each_bad_input_said_and_the_others_written(self, tmp_path, capsys):
        good = statement_to_dict(corvina_py.parse(self.TEXT))

        def named(name, **changes):
            document = {**good['documents'][0], **changes}
            return json.dumps({**good, 'file': name, 'documents': [document]}) + '\n'
        first, second = tmp_path / 'first.json', tmp_path / 'second.json'
        first.write_text(named('a.txt') + named('b.txt', extra=['Код', '1']) + '\n'
                         + named('c.txt', extra='Код=1') + named('d.txt'), encoding='utf-8')
        second.write_text(named('e.txt') + '[' * 100_000 + ']' * 100_000 + '\n' + named('f.txt'),
                          encoding='utf-8')
        third = tmp_path / 'third.json'
        third.write_text(named('g.txt') + named('h.txt', amount='').replace(
            '"amount": ""', '"amount": 1' + '0' * 5000), encoding='utf-8')
        out = tmp_path / 'out'
        assert main(['--from-json', '-f', 'exchange', '-o', str(out), str(first),
                     str(second), str(third)]) == 1
        err = capsys.readouterr().err.splitlines()
        assert err[:4] == [
            f"{second}:2: not corvina-convert's JSON output: nested too deeply for a statement",
            f"{third}:2: not corvina-convert's JSON output: Exceeds the limit (4300 digits) for "
            'integer string conversion: value has 5001 digits; use '
            'sys.set_int_max_str_digits() to increase the limit',
            f'{first}:2: document 0 (line 9): its extra is list, not a mapping of keys to texts',
            f'{first}:4: document 0 (line 9): its extra is str, not a mapping of keys to texts']
        assert len(err) == 4
        assert sorted(os.listdir(out)) == ['a.txt', 'd.txt', 'e.txt', 'g.txt']

    @pytest.mark.parametrize('from_json', [False, True])
    def test_dropped_documents_fail_the_input_unless_allowed(self, tmp_path, capsys, from_json):
        text = statement(('Платежное поручение', DOCUMENT), ('Платежное поручение', {
            key: value for key, value in DOCUMENT.items() if key != 'Сумма'}))
        path = tmp_path / 'a.txt'
        path.write_text(text, encoding='utf-8')
        if from_json:
            path = tmp_path / 'a.json'
            path.write_text(json.dumps({'file': 'a.txt', **statement_to_dict(
                corvina_py.parse(text))}), encoding='utf-8')
        argv = ['-f', 'exchange', *(['--from-json'] if from_json else []), '-o',
                str(tmp_path / 'out'), str(path)]
        assert main(argv) == 1
        assert capsys.readouterr().err == (
            f'{path}{":1" if from_json else ""}: the parser dropped a document of this '
            'statement (line 29), which the file written would silently lack; give '
            '--allow-dropped to write it without them\n')
        assert not (tmp_path / 'out').exists()
        assert main([*argv, '--allow-dropped']) == 0
        assert corvina_py.parse((tmp_path / 'out' / 'a.txt').read_bytes()).documents[0].amount \
            == '100.50'

    @pytest.mark.parametrize('from_json', [False, True])
    def test_folder_made_only_for_a_file_written(self, tmp_path, capsys, from_json):
        path = tmp_path / 'a.json'
        path.write_text('{"documents": [{"amount": 1.5}]}' if from_json else 'no statement',
                        encoding='utf-8')
        out = tmp_path / 'new' / 'out'
        assert main(['-f', 'exchange', *(['--from-json'] if from_json else []), '-o', str(out),
                     str(path)]) == 1
        assert not (tmp_path / 'new').exists()


# --- The guide's examples run as written, each on its own ---------------------------------

def guide_snippets() -> list[str]:
    if not GUIDE.is_file():
        return []
    return re.findall(r'```python\n(.*?)```', GUIDE.read_text(encoding='utf-8'), re.DOTALL)


@pytest.mark.skipif(not guide_snippets(), reason='the writing guide is not available')
@pytest.mark.parametrize('index', range(len(guide_snippets()) or 1))
def test_guide_writing_examples_run(index, tmp_path, monkeypatch):
    # Each on its own, in a folder that holds the project's examples as the guide's do.
    shutil.copytree(GUIDE.parents[1] / 'examples', tmp_path / 'examples')
    monkeypatch.chdir(tmp_path)
    exec(compile(guide_snippets()[index], f'writing guide snippet {index}', 'exec'), {})
