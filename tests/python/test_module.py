"""The module object: its names, its documentation and its exception classes."""

from __future__ import annotations

import builtins
import subprocess
import sys
import textwrap

import pytest

import corvina_py


class TestNames:
    ALL = [
        'Interval', 'Account', 'Document', 'Statement', 'SectionType',
        'UnexpectedSection', 'UnexpectedAttribute', 'UnrecognizedLine', 'MissingField',
        'AccountParseError', 'DocumentParseError', 'HookError', 'parse',
        'ParseError', 'NotStatementError', 'EmptyInputError', 'UnfinishedError', 'SyntaxError',
    ]

    def test_all_lists_every_name_in_order(self):
        assert corvina_py.__all__ == self.ALL

    def test_star_import_brings_exactly_the_listed_names(self):
        namespace: dict[str, object] = {}
        exec('from corvina_py import *', namespace)
        assert sorted(set(namespace) - {'__builtins__'}) == sorted(self.ALL)

    def test_doc(self):
        assert corvina_py.__doc__ == (
            'Python-модуль для парсинга банковских выписок 1CClientBankExchange.')

    def test_parse_is_a_builtin_bound_to_the_module(self):
        assert type(corvina_py.parse).__name__ == 'builtin_function_or_method'
        assert corvina_py.parse.__module__ == 'corvina_py'
        assert corvina_py.parse.__name__ == 'parse'
        assert corvina_py.parse.__self__ is corvina_py

    def test_reimport_gives_the_same_module_and_classes(self):
        hook_error = corvina_py.HookError
        del sys.modules['corvina_py']
        try:
            import corvina_py as again
            assert again is corvina_py
            assert again.HookError is hook_error
        finally:
            sys.modules['corvina_py'] = corvina_py


class TestExceptions:
    DERIVED = ['SyntaxError', 'NotStatementError', 'EmptyInputError', 'UnfinishedError']
    ALL = ['ParseError', *DERIVED]

    def test_parse_error_derives_from_exception(self):
        assert corvina_py.ParseError.__bases__ == (Exception,)

    @pytest.mark.parametrize('name', DERIVED)
    def test_derived_from_parse_error(self, name):
        assert getattr(corvina_py, name).__bases__ == (corvina_py.ParseError,)

    def test_syntax_error_is_not_the_builtin_one(self):
        assert corvina_py.SyntaxError is not builtins.SyntaxError
        assert not issubclass(corvina_py.SyntaxError, builtins.SyntaxError)

    @pytest.mark.parametrize('name', ALL)
    def test_class_attributes(self, name):
        cls = getattr(corvina_py, name)
        assert (cls.__name__, cls.__qualname__, cls.__module__, cls.__doc__) == (
            name, name, 'corvina_py', None)

    @pytest.mark.parametrize('name', ALL)
    def test_instances_take_the_message_as_only_argument(self, name):
        error = getattr(corvina_py, name)('message')
        assert error.args == ('message',)
        assert str(error) == 'message'


class TestSubinterpreters:
    # A child process, so that a crash in the sub-interpreter cannot take the test run down.
    SCRIPT = textwrap.dedent('''
        import corvina_py
        try:
            import _interpreters
        except ImportError:
            raise SystemExit(3)
        interpreter = _interpreters.create('legacy')
        try:
            failure = _interpreters.run_string(interpreter, 'import corvina_py')
        finally:
            _interpreters.destroy(interpreter)
        print(failure.type.__name__ if failure is not None else 'imported')
        print(corvina_py.parse.__module__)
    ''')

    def test_import_in_a_second_interpreter_fails(self):
        completed = subprocess.run([sys.executable, '-c', self.SCRIPT], capture_output=True,
                                   text=True, timeout=60, check=False)
        if completed.returncode == 3:
            pytest.skip('no sub-interpreter support in this interpreter')
        assert (completed.returncode, completed.stdout, completed.stderr) == (
            0, 'ImportError\ncorvina_py\n', '')
