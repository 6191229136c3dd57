"""Typed records (Statement.records(), Statement.interval_records()) and each document's
direction relative to the statement's own accounts."""

from __future__ import annotations

import datetime
import decimal

import pytest

import corvina_convert
import corvina_py
from conftest import REQUIRED_DOCUMENT, SAMPLES, bulk_documents, statement

pa = pytest.importorskip('pyarrow')

OURS = '40702810000000000001'
OTHER = '40702810000000000002'
THIRD = '40702810000000000003'
BANKS = '30101810400000000225'  # a correspondent account, which a payment through a bank carries

DOCUMENT_ATTRIBUTES = [name for name, value in vars(corvina_py.Document).items()
                       if hasattr(value, '__get__') and not callable(value)]
FIELDS = [name for name in DOCUMENT_ATTRIBUTES if name not in ('lineno', 'extra', 'direction')]
INTERVAL_ATTRIBUTES = ['date_start', 'date_end', 'start_amount', 'end_amount', 'total_income',
                       'total_expense']
DATE_FIELDS = {'doc_date', 'outcome_date', 'income_date', 'date_start', 'date_end'}
AMOUNT_FIELDS = {'amount', 'start_amount', 'end_amount', 'total_income', 'total_expense'}


def typed(name: str, text: str | None):
    """The typed value of an attribute's text, read apart from the module."""
    if text is None:
        return None
    if name in DATE_FIELDS:
        return datetime.date.fromisoformat(text)
    if name in AMOUNT_FIELDS:
        return decimal.Decimal(text)
    return text


def own_accounts(parsed: corvina_py.Statement) -> set[str]:
    return {number for number in [*parsed.accounts, parsed.header.get('РасчСчет')] if number}


def expected_direction(document: corvina_py.Document, own: set[str]) -> str | None:
    payer = {document.counterparty_account, document.counterparty_ras_account} & own
    payee = {document.payee_account, document.payee_ras_account} & own
    return {(True, True): 'internal', (True, False): 'out', (False, True): 'in'}.get(
        (bool(payer), bool(payee)))


def account(number: str) -> tuple[str, dict[str, str]]:
    return ('account', {'ДатаНачала': '01.03.2024', 'РасчСчет': number,
                        'НачальныйОстаток': '10.00'})


def payment(payer: str, payee: str, **more: str) -> tuple[str, dict[str, str]]:
    return ('Платежное поручение', {**REQUIRED_DOCUMENT, 'ПлательщикСчет': payer,
                                    'ПолучательСчет': payee, **more})


def sample_statements():
    if not SAMPLES.is_dir():
        pytest.skip('the sample statements are not beside the project')
    for path in sorted(SAMPLES.glob('sample-*.txt')):
        try:
            yield path.name, corvina_py.parse(path.read_bytes())
        except corvina_py.ParseError:
            continue


class TestDirection:
    # (sections before the documents, header РасчСчет, the document, expected direction)
    CASES = {
        'payee is ours': ([account(OURS)], None, payment(OTHER, OURS), 'in'),
        'payer is ours': ([account(OURS)], None, payment(OURS, OTHER), 'out'),
        'both are ours': ([account(OURS), account(OTHER)], None, payment(OURS, OTHER),
                          'internal'),
        'one account, both sides': ([account(OURS)], None, payment(OURS, OURS), 'internal'),
        'neither is ours': ([account(OURS)], None, payment(OTHER, THIRD), None),
        'no accounts at all': ([], None, payment(OURS, OTHER), None),
        'only the header names it': ([], OURS, payment(OTHER, OURS), 'in'),
        'header and a section': ([account(OURS)], OTHER, payment(THIRD, OTHER), 'in'),
        'payer through a correspondent bank': (
            [account(OURS)], None,
            payment(BANKS, OTHER, ПлательщикРасчСчет=OURS), 'out'),
        'payee through a correspondent bank': (
            [account(OURS)], None,
            payment(OTHER, BANKS, ПолучательРасчСчет=OURS), 'in'),
        'an empty account is nobody': ([], '', payment('', OTHER), None),
    }

    def parse(self, sections, header_account, document, **kwargs):
        header = {'ВерсияФормата': '1.03'}
        if header_account is not None:
            header['РасчСчет'] = header_account
        return corvina_py.parse(statement(*sections, document, header=header), **kwargs)

    @pytest.mark.parametrize('sections, header_account, document, expected', CASES.values(),
                             ids=CASES.keys())
    def test_every_output_agrees(self, sections, header_account, document, expected):
        parsed = self.parse(sections, header_account, document)
        [only] = parsed.documents
        assert only.direction == expected
        assert parsed.records()[0]['direction'] == expected
        assert pa.table(parsed.documents_table()).column('direction').to_pylist() == [expected]

    def test_account_sections_after_the_documents_count_too(self):
        text = statement(payment(OTHER, OURS), payment(OURS, OTHER), account(OURS))
        assert [d.direction for d in corvina_py.parse(text).documents] == ['in', 'out']

    @pytest.mark.parametrize('encoding', ['utf-8', 'cp1251'])
    def test_the_same_whichever_way_the_statement_is_read(self, encoding, monkeypatch):
        text = statement(account(OURS), *[payment(OURS, OTHER), payment(OTHER, OURS),
                                          payment(OTHER, THIRD)] * 50)
        data = text.encode(encoding)
        expected = ['out', 'in', None] * 50
        assert [d.direction for d in corvina_py.parse(data).documents] == expected
        # Hooks read another way; so does a statement cut into pieces read on threads.
        hooked = corvina_py.parse(data, [lambda section_type, attrs, header: None])
        assert [d.direction for d in hooked.documents] == expected
        monkeypatch.setenv('CORVINA_CHUNK_THRESHOLD', '1')
        monkeypatch.setenv('CORVINA_THREADS', '4')
        assert [d.direction for d in corvina_py.parse(data).documents] == expected

    def test_a_hook_that_changes_an_account_changes_the_direction(self):
        def rename(section_type, attrs, header):
            if section_type == corvina_py.SectionType.Account:
                attrs['РасчСчет'] = OTHER
        parsed = corvina_py.parse(statement(account(OURS), payment(OURS, OTHER)), [rename])
        assert parsed.documents[0].direction == 'in'

    def test_not_part_of_equality_or_repr(self):
        text = statement(payment(OURS, OTHER))
        ours = corvina_py.parse(statement(account(OURS), payment(OURS, OTHER))).documents[0]
        theirs = corvina_py.parse(text).documents[0]
        assert (ours.direction, theirs.direction) == ('out', None)
        assert ours == theirs
        assert 'direction' not in repr(ours)

    def test_samples_follow_the_rule(self):
        for name, parsed in sample_statements():
            own = own_accounts(parsed)
            for document in parsed.documents:
                assert document.direction == expected_direction(document, own), \
                    (name, document.lineno)

    def test_table_column_comes_last(self):
        parsed = corvina_py.parse(statement(account(OURS), payment(OURS, OTHER)))
        table = pa.table(parsed.documents_table())
        assert table.column_names[-3:] == ['lineno', 'extra', 'direction']
        assert table.schema.field('direction').type == pa.string()
        assert table.schema.field('direction').nullable


class TestRecords:
    def test_keys_in_the_attributes_order(self):
        [record] = corvina_py.parse(statement(payment(OURS, OTHER))).records()
        assert list(record) == DOCUMENT_ATTRIBUTES
        assert DOCUMENT_ATTRIBUTES[-3:] == ['lineno', 'extra', 'direction']

    # Amount as written -> the Decimal's text: the scale as written, never through a float.
    AMOUNTS = [('100.50', '100.50'), ('700', '700'), ('-0.00', '0.00'), ('.5', '0.5'),
               ('1_000.25', '1000.25'), ('1.5e3', '1500'),
               ('79228162514264337593543950335', '79228162514264337593543950335'),
               ('0.1234567890123456789012345678', '0.1234567890123456789012345678')]

    @pytest.mark.parametrize('written, shown', AMOUNTS)
    def test_amounts_are_exact_decimals(self, written, shown):
        [record] = corvina_py.parse(statement(payment(OURS, OTHER, Сумма=written))).records()
        assert type(record['amount']) is decimal.Decimal
        assert str(record['amount']) == shown

    def test_dates_and_absent_and_empty_values(self):
        document = payment(OURS, OTHER, ДатаСписано='', ДатаПоступило='29.02.2024',
                           ВидОплаты='', Дата='5.3.2024')
        [record] = corvina_py.parse(statement(document)).records()
        assert record['doc_date'] == datetime.date(2024, 3, 5)
        assert type(record['doc_date']) is datetime.date
        assert record['income_date'] == datetime.date(2024, 2, 29)
        assert record['outcome_date'] is None  # an empty date is absent
        assert record['payment_type'] == ''  # an empty text is present
        assert record['ordering'] is None

    @pytest.mark.parametrize('written, shown', [('05.03.0', '0000-03-05'),
                                                ('05.03.-44', '-0044-03-05')])
    def test_a_date_datetime_cannot_hold_is_an_error(self, written, shown):
        parsed = corvina_py.parse(statement(payment(OURS, OTHER, ДатаПоступило=written)))
        with pytest.raises(ValueError) as caught:
            parsed.records()
        assert str(caught.value) == (f'income_date {shown} of the document at line 3 is out '
                                     'of the range of datetime.date')

    def test_records_match_the_documents_on_the_samples(self):
        for name, parsed in sample_statements():
            records = parsed.records()
            assert len(records) == len(parsed.documents), name
            for document, record in zip(parsed.documents, records):
                assert record == {
                    **{field: typed(field, getattr(document, field)) for field in FIELDS},
                    'lineno': document.lineno, 'extra': document.extra,
                    'direction': document.direction}, (name, document.lineno)

    def test_the_two_encodings_give_equal_records(self):
        text = bulk_documents(300)
        assert corvina_py.parse(text.encode('cp1251')).records() == \
            corvina_py.parse(text.encode()).records()

    def test_records_follow_the_documents_list(self):
        parsed = corvina_py.parse(statement(payment(OURS, OTHER, Номер='1'),
                                            payment(OURS, OTHER, Номер='2')))
        first, second = parsed.documents
        parsed.documents[:] = [second, first, second]
        assert [r['doc_number'] for r in parsed.records()] == ['2', '1', '2']
        parsed.documents.append(5)
        with pytest.raises(TypeError) as caught:
            parsed.records()
        assert str(caught.value) == 'documents[3] is int, not Document'

    def test_each_call_makes_new_dicts(self):
        parsed = corvina_py.parse(statement(payment(OURS, OTHER, Код='7')))
        records = parsed.records()
        records[0]['extra']['Код'] = 'changed'
        records[0]['amount'] = None
        again = parsed.records()
        assert again[0]['extra'] == {'Код': '7'}
        assert again[0]['amount'] == decimal.Decimal('100.50')


    def test_records_write_back_as_they_were_read(self):
        parsed = corvina_py.parse(statement(account(OURS), payment(OURS, OTHER, Код='7'),
                                            payment(OTHER, OURS, Сумма='348000')))
        accounts: dict[str, list[dict]] = {}
        for interval in parsed.interval_records():
            accounts.setdefault(interval.pop('account'), []).append(interval)
        written = corvina_convert.dumps({'header': parsed.header, 'accounts': accounts,
                                         'documents': parsed.records()})
        again = corvina_py.parse(written)
        assert again.documents == parsed.documents
        assert again.accounts == parsed.accounts
        assert [d.direction for d in again.documents] == ['out', 'in']


class TestIntervalRecords:
    def test_each_interval_with_its_account(self):
        text = statement(
            ('account', {'ДатаНачала': '01.03.2024', 'ДатаКонца': '31.03.2024',
                         'РасчСчет': OURS, 'НачальныйОстаток': '10', 'КонечныйОстаток': '5.50',
                         'ВсегоПоступило': '0.5', 'ВсегоСписано': '5.00'}),
            account(OTHER), ('account', {'ДатаНачала': '01.02.2024', 'РасчСчет': OURS,
                                         'НачальныйОстаток': '1'}))
        records = corvina_py.parse(text).interval_records()
        assert records == [
            {'account': OURS, 'date_start': datetime.date(2024, 2, 1), 'date_end': None,
             'start_amount': decimal.Decimal('1'), 'end_amount': None, 'total_income': None,
             'total_expense': None},
            {'account': OURS, 'date_start': datetime.date(2024, 3, 1),
             'date_end': datetime.date(2024, 3, 31), 'start_amount': decimal.Decimal('10'),
             'end_amount': decimal.Decimal('5.50'), 'total_income': decimal.Decimal('0.5'),
             'total_expense': decimal.Decimal('5.00')},
            {'account': OTHER, 'date_start': datetime.date(2024, 3, 1), 'date_end': None,
             'start_amount': decimal.Decimal('10.00'), 'end_amount': None,
             'total_income': None, 'total_expense': None}]
        assert [str(r['end_amount']) for r in records] == ['None', '5.50', 'None']

    def test_samples(self):
        for name, parsed in sample_statements():
            expected = [{'account': number,
                         **{field: typed(field, getattr(interval, field))
                            for field in INTERVAL_ATTRIBUTES}}
                        for number, account_ in parsed.accounts.items()
                        for interval in account_.intervals]
            assert parsed.interval_records() == expected, name

    def test_follow_the_accounts_dict(self):
        parsed = corvina_py.parse(statement(account(OURS), account(OTHER)))
        del parsed.accounts[OURS]
        assert [r['account'] for r in parsed.interval_records()] == [OTHER]
        parsed.accounts['x'] = parsed.documents
        with pytest.raises(TypeError) as caught:
            parsed.interval_records()
        assert str(caught.value) == "accounts['x'] is list, not Account"
