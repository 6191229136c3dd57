"""The detail classes of syntax errors, and the detail that a failed parse attaches."""

from __future__ import annotations

import copy
import inspect
import pickle

import pytest

import corvina_py

# class, its parameters after lineno
CLASSES = [
    (corvina_py.HookError, ['message']),
    (corvina_py.MissingField, ['field', 'context']),
    (corvina_py.DocumentParseError, ['message']),
    (corvina_py.AccountParseError, ['message']),
    (corvina_py.UnexpectedAttribute, ['key', 'value']),
    (corvina_py.UnrecognizedLine, ['line']),
    (corvina_py.UnexpectedSection, ['found', 'context']),
]
IDS = [cls.__name__ for cls, _ in CLASSES]


def make(cls, texts, lineno=7):
    return cls(lineno, *[f'{name}-text' for name in texts])


class TestClass:
    @pytest.mark.parametrize(('cls', 'texts'), CLASSES, ids=IDS)
    def test_names(self, cls, texts):
        assert (cls.__module__, cls.__qualname__) == ('corvina_py', cls.__name__)

    @pytest.mark.parametrize(('cls', 'texts'), CLASSES, ids=IDS)
    def test_signature(self, cls, texts):
        assert cls.__text_signature__ == f'({", ".join(["lineno", *texts])})'
        assert list(inspect.signature(cls).parameters) == ['lineno', *texts]

    @pytest.mark.parametrize(('cls', 'texts'), CLASSES, ids=IDS)
    def test_not_subclassable(self, cls, texts):
        with pytest.raises(TypeError):
            type('Sub', (cls,), {})

    @pytest.mark.parametrize(('cls', 'texts'), CLASSES, ids=IDS)
    def test_read_only_without_dict(self, cls, texts):
        detail = make(cls, texts)
        assert not hasattr(detail, '__dict__')
        for name in ['lineno', *texts, 'other']:
            with pytest.raises(AttributeError):
                setattr(detail, name, 1)
        with pytest.raises(TypeError):
            cls.lineno = 1

    @pytest.mark.parametrize(('cls', 'texts'), CLASSES, ids=IDS)
    def test_attributes_in_order(self, cls, texts):
        detail = make(cls, texts)
        names = [name for name in cls.__dict__ if not name.startswith('_')]
        assert names == ['lineno', *texts]
        assert [getattr(detail, name) for name in names] == [7, *[f'{t}-text' for t in texts]]

    def test_texts_are_fresh_objects(self):
        detail = corvina_py.HookError(1, 'x' * 100)
        assert detail.message == detail.message
        assert detail.message is not detail.message

    def test_identity_equality(self):
        a, b = corvina_py.HookError(1, 'x'), corvina_py.HookError(1, 'x')
        assert a != b
        assert a == a
        assert hash(a) != hash(b)


class TestConstructor:
    ARGUMENT_ERRORS = [
        (corvina_py.HookError, (1, 'a', 'b'), {},
         'HookError.__new__() takes 2 positional arguments but 3 were given'),
        (corvina_py.HookError, (3,), {},
         "HookError.__new__() missing 1 required positional argument: 'message'"),
        (corvina_py.HookError, (), {},
         "HookError.__new__() missing 2 required positional arguments: 'lineno' and 'message'"),
        (corvina_py.MissingField, (), {},
         'MissingField.__new__() missing 3 required positional arguments: '
         "'lineno', 'field', and 'context'"),
        (corvina_py.MissingField, (1, 'f'), {},
         "MissingField.__new__() missing 1 required positional argument: 'context'"),
        (corvina_py.MissingField, (), {'field': 'f'},
         'MissingField.__new__() missing 2 required positional arguments: '
         "'lineno' and 'context'"),
        (corvina_py.UnrecognizedLine, (1, 'l'), {'lines': 'x'},
         "UnrecognizedLine.__new__() got an unexpected keyword argument 'lines'"),
        (corvina_py.UnrecognizedLine, (1, 'l'), {'lineno': 2},
         "UnrecognizedLine.__new__() got multiple values for argument 'lineno'"),
        # keyword problems come first, as in the interpreter's own functions
        (corvina_py.UnrecognizedLine, (1, 'l', 'm'), {'x': 2},
         "UnrecognizedLine.__new__() got an unexpected keyword argument 'x'"),
        (corvina_py.UnexpectedSection, (1, 'f', 'c', 'd', 'e'), {},
         'UnexpectedSection.__new__() takes 3 positional arguments but 5 were given'),
        (corvina_py.MissingField, (1, 'f', 5), {},
         "argument 'context': 'int' object cannot be converted to 'PyString'"),
        (corvina_py.MissingField, (1, 5, 6), {},
         "argument 'field': 'int' object cannot be converted to 'PyString'"),
        (corvina_py.UnexpectedAttribute, (1, 'k', b'v'), {},
         "argument 'value': 'bytes' object cannot be converted to 'PyString'"),
        (corvina_py.UnexpectedAttribute, (1, 'k', None), {},
         "argument 'value': 'NoneType' object cannot be converted to 'PyString'"),
        (corvina_py.HookError, (None, 5), {},
         "argument 'lineno': 'NoneType' object cannot be interpreted as an integer"),
    ]

    @pytest.mark.parametrize(('cls', 'args', 'kwargs', 'message'), ARGUMENT_ERRORS)
    def test_type_errors(self, cls, args, kwargs, message):
        with pytest.raises(TypeError) as caught:
            cls(*args, **kwargs)
        assert str(caught.value) == message

    def test_keywords(self):
        detail = corvina_py.MissingField(context='c', lineno=3, field='f')
        assert (detail.lineno, detail.field, detail.context) == (3, 'f', 'c')
        assert repr(corvina_py.HookError(lineno=3, message='x')) == (
            'HookError(lineno=3, message="x")')

    def test_conversion_error_keeps_its_cause(self):
        with pytest.raises(TypeError) as caught:
            corvina_py.HookError('3', 'x')
        assert str(caught.value).startswith("argument 'lineno': ")
        assert type(caught.value.__cause__) is TypeError
        assert str(caught.value) == f"argument 'lineno': {caught.value.__cause__}"

    @pytest.mark.parametrize('lineno', [0, 1, 4294967295, True])
    def test_lineno_in_range(self, lineno):
        assert corvina_py.UnrecognizedLine(lineno, 'l').lineno == int(lineno)

    def test_lineno_through_index(self):
        class Index:
            def __index__(self):
                return 12

        assert corvina_py.UnrecognizedLine(Index(), 'l').lineno == 12

    @pytest.mark.parametrize('lineno', [4294967296, 2**64 - 1])
    def test_lineno_above_32_bits(self, lineno):
        with pytest.raises(OverflowError) as caught:
            corvina_py.UnrecognizedLine(lineno, 'l')
        assert str(caught.value) == 'out of range integral type conversion attempted'

    @pytest.mark.parametrize('lineno', [-1, 2**64, -(2**70)])
    def test_lineno_beyond_64_bits_or_negative(self, lineno):
        with pytest.raises(OverflowError) as caught:
            corvina_py.UnrecognizedLine(lineno, 'l')
        assert str(caught.value) != 'out of range integral type conversion attempted'
        assert caught.value.__cause__ is None

    def test_first_bad_argument_is_reported(self):
        with pytest.raises(OverflowError):
            corvina_py.MissingField(-1, 5, 6)

    def test_lone_surrogate_is_not_a_type_error(self):
        with pytest.raises(UnicodeEncodeError):
            corvina_py.HookError(1, '\ud800')

    def test_str_subclass(self):
        class Text(str):
            pass

        detail = corvina_py.HookError(1, Text('sub'))
        assert type(detail.message) is str
        assert detail.message == 'sub'

    def test_new_refuses_another_class(self):
        with pytest.raises(TypeError):
            corvina_py.HookError.__new__(corvina_py.MissingField, 1, 'f', 'c')


class TestCopyAndPickle:
    @pytest.mark.parametrize(('cls', 'texts'), CLASSES, ids=IDS)
    def test_getnewargs(self, cls, texts):
        detail = make(cls, texts, lineno=4294967295)
        assert detail.__getnewargs__() == (4294967295, *[f'{t}-text' for t in texts])
        assert cls.__getnewargs__.__text_signature__ == '($self)'

    @pytest.mark.parametrize('copier', [copy.copy, copy.deepcopy])
    @pytest.mark.parametrize(('cls', 'texts'), CLASSES, ids=IDS)
    def test_copy(self, cls, texts, copier):
        detail = make(cls, texts)
        copied = copier(detail)
        assert type(copied) is cls
        assert copied.__getnewargs__() == detail.__getnewargs__()

    @pytest.mark.parametrize('protocol', range(2, pickle.HIGHEST_PROTOCOL + 1))
    @pytest.mark.parametrize(('cls', 'texts'), CLASSES, ids=IDS)
    def test_pickle(self, cls, texts, protocol):
        detail = cls(12, *[f'ё "{t}" \\ \u00a0' for t in texts])
        data = pickle.dumps(detail, protocol=protocol)
        assert b'corvina_py' in data
        restored = pickle.loads(data)
        assert type(restored) is cls
        assert restored.__getnewargs__() == detail.__getnewargs__()


class TestRepresentation:
    REPRS = [
        (corvina_py.HookError(3, 'x'), 'HookError(lineno=3, message="x")'),
        (corvina_py.MissingField(1, 'Номер', 'document'),
         'MissingField(lineno=1, field="Номер", context="document")'),
        (corvina_py.DocumentParseError(0, ''), 'DocumentParseError(lineno=0, message="")'),
        (corvina_py.AccountParseError(4294967295, 'a "b" \\ c'),
         r'AccountParseError(lineno=4294967295, message="a \"b\" \\ c")'),
        (corvina_py.UnexpectedAttribute(2, 'Сумма', '1\u00a02'),
         r'UnexpectedAttribute(lineno=2, key="Сумма", value="1\u{a0}2")'),
        (corvina_py.UnrecognizedLine(5, 'e\u0301\t\n'),
         r'UnrecognizedLine(lineno=5, line="e\u{301}\t\n")'),
        (corvina_py.UnexpectedSection(6, 'СекцияДокумент=Платёж', 'finished'),
         'UnexpectedSection(lineno=6, found="СекцияДокумент=Платёж", context="finished")'),
    ]

    @pytest.mark.parametrize(('detail', 'expected'), REPRS)
    def test_repr(self, detail, expected):
        assert repr(detail) == expected

    @pytest.mark.parametrize(('detail', 'expected'), REPRS)
    def test_str_is_repr(self, detail, expected):
        assert str(detail) == expected


class TestSyntaxErrorDetail:
    UNRECOGNIZED = b'1CClientBankExchange\nwhat is this\n'
    DOCUMENT = ('1CClientBankExchange\n'
                'СекцияДокумент=Платежное поручение\n'
                'Номер=1\n'
                'КонецДокумента\n'
                'КонецФайла\n')

    def test_unrecognized_line(self):
        with pytest.raises(corvina_py.SyntaxError) as caught:
            corvina_py.parse(self.UNRECOGNIZED)
        error = caught.value
        assert error.args == ("Unrecognized line: 'what is this'",)
        assert type(error.detail) is corvina_py.UnrecognizedLine
        assert error.detail.__getnewargs__() == (2, 'what is this')
        assert (error.__cause__, error.__context__) == (None, None)

    def test_detail_survives_catching_as_parse_error(self):
        with pytest.raises(corvina_py.ParseError) as caught:
            corvina_py.parse(self.UNRECOGNIZED)
        assert caught.value.detail.lineno == 2
        assert caught.value.__dict__ == {'detail': caught.value.detail}

    def test_failing_hook(self):
        def hook(section_type, attrs, header):
            raise ValueError('bad')

        with pytest.raises(corvina_py.SyntaxError) as caught:
            corvina_py.parse(self.DOCUMENT, [hook])
        error = caught.value
        assert error.args == ('Hook error: ValueError: bad',)
        assert type(error.detail) is corvina_py.HookError
        assert error.detail.__getnewargs__() == (4, 'ValueError: bad')
        assert (error.__cause__, error.__context__) == (None, None)

    @pytest.mark.parametrize(('data', 'exception', 'message'), [
        (b'', corvina_py.EmptyInputError, 'Input is empty'),
        (b'\n', corvina_py.NotStatementError, 'Input is not a 1C statement'),
        (b'1CClientBankExchange\n', corvina_py.UnfinishedError, 'Statement is not finished'),
    ])
    def test_other_failures_have_no_detail(self, data, exception, message):
        with pytest.raises(exception) as caught:
            corvina_py.parse(data)
        assert caught.value.args == (message,)
        assert not hasattr(caught.value, 'detail')
