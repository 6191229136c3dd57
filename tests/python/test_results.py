"""The result classes: Statement, Account, Interval and Document."""

from __future__ import annotations

import ast
import datetime
import decimal
import gc
from pathlib import Path

import pytest
from hypothesis import given, settings, strategies as st

import corvina_convert
import corvina_py
from conftest import PAYMENT_ORDER, bulk_documents, statement
from corvina_py import Account, Document, Interval, Statement


ACCOUNT = {
    'ДатаНачала': '01.03.2024',
    'ДатаКонца': '04.03.2024',
    'РасчСчет': '40702810938000012345',
    'НачальныйОстаток': '1250.15',
    'ВсегоПоступило': '348.00',
    'ВсегоСписано': '129.40',
    'КонечныйОстаток': '1468.75',
}


def document(**changes: str | None) -> Document:
    attrs = {**PAYMENT_ORDER, **changes}
    return corvina_py.parse(statement(('Платежное поручение', attrs))).documents[0]


def interval(**changes: str | None) -> Interval:
    attrs = {key: value for key, value in {**ACCOUNT, **changes}.items() if value is not None}
    [account] = corvina_py.parse(statement(('account', attrs))).accounts.values()
    return account.intervals[0]


def sample() -> Statement:
    return corvina_py.parse(statement(
        ('account', ACCOUNT),
        ('Платежное поручение', PAYMENT_ORDER),
        ('Банковский ордер', {**PAYMENT_ORDER, 'Сумма': 'x'}),
    ))


class TestClasses:
    CLASSES = [Statement, Account, Interval, Document]

    @pytest.mark.parametrize('cls', CLASSES)
    def test_names(self, cls):
        assert cls.__module__ == 'builtins'
        assert cls.__qualname__ == cls.__name__
        assert cls.__doc__ is None

    @pytest.mark.parametrize('cls', CLASSES)
    def test_not_instantiable(self, cls):
        with pytest.raises(TypeError):
            cls()

    @pytest.mark.parametrize('cls', CLASSES)
    def test_not_subclassable(self, cls):
        with pytest.raises(TypeError):
            type('Sub', (cls,), {})

    @pytest.mark.parametrize('cls', CLASSES)
    def test_class_immutable(self, cls):
        with pytest.raises(TypeError):
            cls.extra = 1

    ATTRIBUTE_ORDER = [
        (Statement, ['encoding', 'header', 'accounts', 'documents', 'warnings']),
        (Account, ['number', 'intervals']),
        (Interval, ['date_start', 'date_end', 'start_amount', 'end_amount', 'total_income',
                    'total_expense']),
        (Document, ['doc_number', 'doc_type', 'doc_date', 'amount', 'purpose', 'payment_type',
                    'ordering', 'counterparty_inn', 'counterparty_kpp', 'counterparty_bic',
                    'counterparty_bank1', 'counterparty_account', 'counterparty',
                    'counterparty_1', 'counterparty_ras_account', 'counterparty_cor_account',
                    'outcome_date', 'payee_inn', 'payee', 'payee_account', 'payee_kpp',
                    'payee_bic', 'payee_bank1', 'payee_ras_account', 'payee_cor_account',
                    'income_date', 'lineno', 'extra', 'direction']),
    ]

    @pytest.mark.parametrize(('cls', 'names'), ATTRIBUTE_ORDER)
    def test_attribute_order(self, cls, names):
        properties = [name for name, value in vars(cls).items()
                      if type(value).__name__ == 'getset_descriptor']
        assert properties == names

    @pytest.mark.parametrize(('cls', 'minimal'), [
        (Document, lambda: document()),
        (Interval, lambda: interval(**dict.fromkeys(
            ['ДатаКонца', 'ВсегоПоступило', 'ВсегоСписано', 'КонечныйОстаток']))),
    ])
    def test_stub_and_converter_follow_the_module(self, cls, minimal):
        # A field renamed, added or made optional in the parser must show in the stub and the
        # converter's columns; a record with only its required keys tells which are optional.
        record = minimal()
        # Documents end in three attributes that are no field, typed apart.
        own_types = {'lineno': 'int', 'extra': 'dict[str, str]',
                     'direction': '_Direction'} if cls is Document else {}
        expected = [(name, own_types.get(name) or
                     ('str | None' if getattr(record, name) is None else 'str'))
                    for name, value in vars(cls).items()
                    if type(value).__name__ == 'getset_descriptor']
        stub = ast.parse((Path(__file__).parents[2] / 'python' / 'corvina_py.pyi').read_text())
        [body] = [node.body for node in stub.body
                  if isinstance(node, ast.ClassDef) and node.name == cls.__name__]
        assert [(node.name, ast.unparse(node.returns)) for node in body
                if isinstance(node, ast.FunctionDef) and not node.name.startswith('__')] == expected
        columns = {Document: corvina_convert.DOCUMENT_FIELDS,
                   Interval: corvina_convert.INTERVAL_FIELDS}[cls]
        assert list(columns) == [name for name, _ in expected]

    def test_instances_read_only(self):
        parsed = sample()
        [account] = parsed.accounts.values()
        objects = [(parsed, 'encoding'), (account, 'number'),
                   (account.intervals[0], 'date_start'), (parsed.documents[0], 'amount')]
        for obj, name in objects:
            with pytest.raises(AttributeError):
                setattr(obj, name, 'x')
            with pytest.raises(AttributeError):
                delattr(obj, name)
            with pytest.raises(AttributeError):
                obj.extra = 1
            assert not hasattr(obj, '__dict__')


class TestStatement:
    def test_values(self):
        parsed = sample()
        assert parsed.encoding == 'utf-8'
        assert parsed.header == {'ВерсияФормата': '1.03'}
        assert list(parsed.accounts) == ['40702810938000012345']
        assert [d.doc_number for d in parsed.documents] == ['17']
        assert parsed.warnings == [(
            len(statement(('account', ACCOUNT), ('a', PAYMENT_ORDER),
                          ('b', PAYMENT_ORDER)).splitlines())
            - 1,
            'invalid value: string "x", expected a Decimal type representing a fixed-point number',
        )]
        assert type(parsed.warnings[0]) is tuple

    def test_equal_warnings_share_their_message(self):
        # A statement of empty sections warns once per section: one str for all of them.
        parsed = corvina_py.parse(statement(*[('a', {})] * 3, ('b', {'Номер': '1'})))
        messages = [message for _, message in parsed.warnings]
        assert len(set(messages)) == 2 and len(messages) == 4
        assert messages[0] is messages[1] is messages[2]

    def test_containers_are_shared_but_counts_fixed(self):
        parsed = sample()
        for name in ('header', 'accounts', 'documents', 'warnings'):
            assert getattr(parsed, name) is getattr(parsed, name)
        parsed.documents.append('extra')
        parsed.warnings.clear()
        assert parsed.documents[-1] == 'extra'
        assert parsed.warnings == []
        assert repr(parsed) == 'Statement(encoding="utf-8", documents=[...1], warnings=[...1])'
        assert str(parsed) == repr(parsed)

    def test_identity_equality_and_hash(self):
        first, second = sample(), sample()
        assert first == first
        assert first != second
        assert hash(first) == hash(first)
        with pytest.raises(TypeError):
            first < second  # noqa: B015

    def test_cycle_through_containers_is_collected(self):
        collected = []

        class Probe:
            def __del__(self):
                collected.append(True)

        parsed = sample()
        parsed.documents.append(parsed)
        parsed.header['probe'] = Probe()
        del parsed
        gc.collect()
        assert collected == [True]


class TestAccount:
    def test_intervals_are_fresh(self):
        [account] = sample().accounts.values()
        first, second = account.intervals, account.intervals
        assert first is not second
        assert first == second
        assert first[0] is not second[0]
        first.clear()
        assert len(account.intervals) == 1

    def test_repr_and_equality(self):
        [account] = sample().accounts.values()
        [again] = sample().accounts.values()
        assert repr(account) == 'Account(number="40702810938000012345", intervals=[...1])'
        assert account == again
        assert not account != again
        other = corvina_py.parse(statement(('account', {**ACCOUNT, 'ВсегоСписано': '129.4'})))
        assert account != next(iter(other.accounts.values()))
        assert account != account.number
        with pytest.raises(TypeError):
            hash(account)
        with pytest.raises(TypeError):
            account < again  # noqa: B015


class TestInterval:
    def test_values(self):
        value = interval()
        assert (value.date_start, value.date_end, value.start_amount, value.end_amount,
                value.total_income, value.total_expense) == (
            '2024-03-01', '2024-03-04', '1250.15', '1468.75', '348.00', '129.40')

    REPRS = [
        ({}, 'Interval(date_start="2024-03-01", date_end=Some("2024-03-04"), '
             'start_amount="1250.15", end_amount=Some("1468.75"))'),
        ({'ДатаКонца': None, 'КонечныйОстаток': None},
         'Interval(date_start="2024-03-01", date_end=None, start_amount="1250.15", '
         'end_amount=None)'),
        ({'ДатаКонца': ' '}, 'Interval(date_start="2024-03-01", date_end=None, '
                              'start_amount="1250.15", end_amount=Some("1468.75"))'),
    ]

    @pytest.mark.parametrize(('changes', 'text'), REPRS)
    def test_repr(self, changes, text):
        assert repr(interval(**changes)) == text

    def test_absent_optionals(self):
        value = interval(ДатаКонца=None, КонечныйОстаток=None, ВсегоПоступило=None,
                         ВсегоСписано=None)
        assert (value.date_end, value.end_amount, value.total_income,
                value.total_expense) == (None, None, None, None)

    def test_equality_is_textual(self):
        assert interval() == interval()
        assert interval() != interval(ВсегоПоступило='348')
        assert interval() != interval(ДатаКонца=None)
        assert interval() != '2024-03-01'
        with pytest.raises(TypeError):
            hash(interval())
        with pytest.raises(TypeError):
            interval() <= interval()  # noqa: B015


class TestDocument:
    FULL = {
        **PAYMENT_ORDER,
        'ВидОплаты': '01',
        'Очередность': '5',
        'ПлательщикКПП': '770101001',
        'Плательщик': 'ООО "Ветер"',
        'Плательщик1': 'Ветер',
        'ПлательщикРасчСчет': '40702810938000012345',
        'ПлательщикКорсчет': '30101810400000000225',
        'ДатаСписано': '5.3.2024',
        'Получатель': 'АО "Полиграф"',
        'ПолучательКПП': '500901001',
        'ПолучательРасчСчет': '40702810100000054321',
        'ПолучательКорсчет': '30101810200000000593',
        'ДатаПоступило': '06.03.2024',
    }
    EXPECTED = {
        'doc_number': '17', 'doc_type': 'Платежное поручение', 'doc_date': '2024-03-05',
        'amount': '100.50', 'purpose': 'Оплата по счёту', 'payment_type': '01',
        'ordering': '5', 'counterparty_inn': '7701234567', 'counterparty_kpp': '770101001',
        'counterparty_bic': '044525225', 'counterparty_bank1': 'ПАО СБЕРБАНК',
        'counterparty_account': '40702810938000012345', 'counterparty': 'ООО "Ветер"',
        'counterparty_1': 'Ветер', 'counterparty_ras_account': '40702810938000012345',
        'counterparty_cor_account': '30101810400000000225', 'outcome_date': '2024-03-05',
        'payee_inn': '5009876543', 'payee': 'АО "Полиграф"',
        'payee_account': '40702810100000054321', 'payee_kpp': '500901001',
        'payee_bic': '044525593', 'payee_bank1': 'АО "АЛЬФА-БАНК"',
        'payee_ras_account': '40702810100000054321',
        'payee_cor_account': '30101810200000000593', 'income_date': '2024-03-06',
    }
    OPTIONAL = ['payment_type', 'ordering', 'counterparty_kpp', 'counterparty',
                'counterparty_1', 'counterparty_ras_account', 'counterparty_cor_account',
                'outcome_date', 'payee', 'payee_kpp', 'payee_ras_account', 'payee_cor_account',
                'income_date']

    def test_every_attribute(self):
        full = document(**self.FULL)
        assert {name: getattr(full, name) for name in self.EXPECTED} == self.EXPECTED
        assert full.doc_number is not full.doc_number

    def test_absent_optionals_are_none(self):
        bare = document()
        assert [getattr(bare, name) for name in self.OPTIONAL] == [None] * 13
        assert document(ВидОплаты='').payment_type == ''

    REPRS = [
        ({}, 'Document(doc_number="17", doc_type="Платежное поручение", doc_date="2024-03-05", '
             'amount="100.50")'),
        ({'Номер': 'a"b\\c'}, 'Document(doc_number="a\\"b\\\\c", doc_type="Платежное '
                              'поручение", doc_date="2024-03-05", amount="100.50")'),
        ({'Номер': '№\u00a01'}, 'Document(doc_number="№\\u{a0}1", doc_type="Платежное '
                                'поручение", doc_date="2024-03-05", amount="100.50")'),
        ({'Сумма': '-0.00'}, 'Document(doc_number="17", doc_type="Платежное поручение", '
                             'doc_date="2024-03-05", amount="0.00")'),
    ]

    @pytest.mark.parametrize(('changes', 'text'), REPRS)
    def test_repr(self, changes, text):
        value = document(**changes)
        assert repr(value) == text
        assert str(value) == text

    def test_repr_leaves_attribute_unchanged(self):
        assert document(Номер='a"b\\c').doc_number == 'a"b\\c'

    def test_equality(self):
        assert document(**self.FULL) == document(**self.FULL)
        assert document() != document(Сумма='100.5')
        assert document() != document(ВидОплаты='')
        assert document() != self.EXPECTED
        assert document() != '17'
        with pytest.raises(TypeError):
            hash(document())
        with pytest.raises(TypeError):
            document() > document()  # noqa: B015


    def test_documents_in_bulk_outlive_their_statement(self):
        # A large statement's documents share blocks of memory: one kept must keep its own,
        # whatever became of the others and whichever parse reuses what they left.
        count = 20_000
        text = bulk_documents(count)
        documents = corvina_py.parse(text).documents
        kept = {i: documents[i] for i in (0, 1, count // 3, count // 2, count - 2, count - 1)}
        del documents
        gc.collect()
        for _ in range(3):
            corvina_py.parse(text)
        assert {i: (d.doc_number, d.amount, d.purpose) for i, d in kept.items()} == {
            i: (str(i), f'{i}.{i % 100:02}', f'Оплата {i}') for i in kept}


def parse_single(attrs: dict[str, str]) -> Statement:
    return corvina_py.parse(statement(('Платежное поручение', {**PAYMENT_ORDER, **attrs})))


class TestValueTexts:
    """Dates and amounts against datetime and decimal as oracles."""

    @settings(max_examples=150, deadline=None)
    @given(st.integers(1, 9999), st.integers(1, 12), st.integers(1, 31))
    def test_dates(self, year, month, day):
        parsed = parse_single({'Дата': f'{day:02}.{month:02}.{year:04}'})
        try:
            expected = datetime.date(year, month, day).isoformat()
        except ValueError:
            assert [message for _, message in parsed.warnings] == ['input is out of range']
        else:
            assert parsed.documents[0].doc_date == expected

    @settings(max_examples=150, deadline=None)
    @given(st.integers(0, 2**96 - 1), st.integers(0, 28), st.booleans(), st.integers(0, 3))
    def test_amounts(self, magnitude, scale, negative, leading_zeros):
        digits = str(magnitude).rjust(scale + 1, '0')
        text = digits[:len(digits) - scale] + ('.' + digits[-scale:] if scale else '')
        text = ('-' if negative else '') + '0' * leading_zeros + text
        expected = format(decimal.Decimal(text), 'f')
        if magnitude == 0:
            expected = expected.lstrip('-')
        assert parse_single({'Сумма': text}).documents[0].amount == expected
