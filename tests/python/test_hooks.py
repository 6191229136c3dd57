"""Hooks and the SectionType enum."""

from __future__ import annotations

import operator
import os
import subprocess
import sys
import textwrap
import threading

import pytest

import corvina_py
from conftest import PAYMENT_ORDER, UNDER_ASAN, statement as build_statement
from corvina_py import SectionType

HEADER = {'ВерсияФормата': '1.03', 'Отправитель': 'Бухгалтерия'}
ACCOUNT = {
    'ДатаНачала': '01.03.2024',
    'РасчСчет': '40702810938000012345',
    'НачальныйОстаток': '1250.15',
}


def statement(*sections: tuple[str, dict[str, str]]) -> str:
    return build_statement(*sections, header=HEADER)


TWO_SECTIONS = statement(('account', ACCOUNT), ('Платежное поручение', PAYMENT_ORDER))
# The line of the account section's "КонецРасчСчет".
ACCOUNT_END = 3 + 1 + len(ACCOUNT) + 1


class TestSectionType:
    def test_class(self):
        assert SectionType.__module__ == 'corvina_py'
        assert SectionType.__qualname__ == 'SectionType'
        assert SectionType.__doc__ == 'Тип секции выписки для использования в hooks.'
        with pytest.raises(TypeError):
            SectionType()
        with pytest.raises(TypeError):
            type('Sub', (SectionType,), {})
        with pytest.raises(TypeError):
            SectionType.Document = 5
        with pytest.raises(AttributeError):
            SectionType.Account.extra = 1
        with pytest.raises(TypeError):
            iter(SectionType)

    def test_members(self):
        assert type(SectionType.Document) is SectionType
        assert (repr(SectionType.Document), str(SectionType.Account)) == (
            'SectionType.Document', 'SectionType.Account')
        assert (int(SectionType.Document), int(SectionType.Account)) == (0, 1)
        assert bool(SectionType.Document) is True

    def test_comparisons(self):
        assert SectionType.Document == SectionType.Document
        assert SectionType.Document != SectionType.Account
        assert not SectionType.Document == 0
        assert SectionType.Account != 1
        with pytest.raises(TypeError):
            SectionType.Document < SectionType.Account  # noqa: B015
        with pytest.raises(TypeError):
            hash(SectionType.Document)
        with pytest.raises(TypeError):
            {SectionType.Account}
        with pytest.raises(TypeError):
            operator.index(SectionType.Account)


class Recorder:
    """A hook that records what it is given, copying the dicts at call time."""

    def __init__(self, action=None):
        self.calls = []
        self.action = action

    def __call__(self, section_type, attrs, header):
        self.calls.append((section_type, dict(attrs), dict(header)))
        if self.action is not None:
            return self.action(section_type, attrs, header)
        return None


class TestHookCalls:
    def test_arguments_in_section_order(self):
        hook = Recorder()
        corvina_py.parse(TWO_SECTIONS, [hook])
        [(account_type, account_attrs, header), (document_type, document_attrs, _)] = hook.calls
        assert account_type == SectionType.Account
        assert account_type is not SectionType.Account
        assert document_type == SectionType.Document
        assert list(account_attrs.items()) == list(ACCOUNT.items())
        assert list(document_attrs.items()) == list(PAYMENT_ORDER.items())
        assert list(header.items()) == list(HEADER.items())

    def test_hooks_run_in_list_order_and_see_changes(self):
        seen = []

        def first(section_type, attrs, header):
            seen.append('first')
            attrs['Номер'] = '18'
            attrs['Новый'] = 'x'

        def second(section_type, attrs, header):
            seen.append('second')
            assert list(attrs)[-1] == 'Новый'
            assert attrs['Номер'] == '18'

        parsed = corvina_py.parse(statement(('Банковский ордер', PAYMENT_ORDER)), (first, second))
        assert seen == ['first', 'second']
        assert parsed.documents[0].doc_number == '18'

    def test_deleting_everything_makes_a_warning(self):
        parsed = corvina_py.parse(TWO_SECTIONS, [lambda t, attrs, h: attrs.clear()
                                                 if t == SectionType.Document else None])
        assert parsed.documents == []
        assert parsed.warnings == [(len(TWO_SECTIONS.splitlines()) - 1,
                                    'missing field `Номер`')]

    def test_adding_account_number(self):
        without_number = {k: v for k, v in ACCOUNT.items() if k != 'РасчСчет'}
        text = statement(('account', without_number))
        with pytest.raises(corvina_py.SyntaxError):
            corvina_py.parse(text)

        def add(section_type, attrs, header):
            attrs['РасчСчет'] = '42'

        assert list(corvina_py.parse(text, [add]).accounts) == ['42']

    def test_header_and_late_changes_have_no_effect(self):
        kept = []

        def hook(section_type, attrs, header):
            header['ВерсияФормата'] = 'changed'
            kept.append(attrs)
            return False

        parsed = corvina_py.parse(statement(('Платежное поручение', PAYMENT_ORDER),
                                            ('Платежное поручение', PAYMENT_ORDER)), [hook])
        kept[0]['Номер'] = 'late'
        assert parsed.header['ВерсияФормата'] == '1.03'
        assert [d.doc_number for d in parsed.documents] == ['17', '17']
        assert kept[0] is not kept[1]

    def test_every_call_gets_a_header_of_its_own(self):
        # Hooks that keep what they were given (a list, a cache keyed by id) see no dict twice,
        # and a change through one kept reference shows in no other.
        headers = []

        def keeping(section_type, attrs, header):
            headers.append(header)

        parsed = corvina_py.parse(TWO_SECTIONS, [keeping, keeping])
        assert len({id(h) for h in headers}) == 4
        headers[0]['Отправитель'] = 'changed'
        assert headers[1:] == [HEADER] * 3
        # One set of strs for the whole parse: a large header is not converted again per call,
        # nor for the statement, whose header is none of the dicts the hooks could change.
        assert all(headers[0]['ВерсияФормата'] is h['ВерсияФормата'] for h in headers)
        assert parsed.header['ВерсияФормата'] is headers[0]['ВерсияФормата']
        assert parsed.header == HEADER
        assert all(parsed.header is not h for h in headers)

    # Every way of changing a dict: the next call still sees the header as it is.
    CHANGES = {
        'setitem': lambda h: h.__setitem__('ВерсияФормата', 'x'),
        'same value': lambda h: h.__setitem__('ВерсияФормата', h['ВерсияФормата'] + ''),
        'new key': lambda h: h.__setitem__('Новый', 'x'),
        'delitem': lambda h: h.__delitem__('Отправитель'),
        'pop': lambda h: h.pop('Отправитель'),
        'popitem': lambda h: h.popitem(),
        'clear': lambda h: h.clear(),
        'update': lambda h: h.update({'Отправитель': 'x'}),
        'update from dict': lambda h: h.update(dict(h, Отправитель='x')),
        'setdefault': lambda h: h.setdefault('Новый', 'x'),
        'ior': lambda h: h.__ior__({'Новый': 'x'}),
    }

    @pytest.mark.parametrize('change', CHANGES)
    def test_changed_header_not_seen_by_later_calls(self, change):
        seen = []

        def changing(section_type, attrs, header):
            self.CHANGES[change](header)

        def looking(section_type, attrs, header):
            seen.append(dict(header))

        corvina_py.parse(TWO_SECTIONS, [looking, changing, looking])
        assert seen == [HEADER] * 4

    def test_header_changed_through_a_kept_reference(self):
        # The dict a call was given, changed later by another call that kept it.
        kept = []
        seen = []

        def keeping(section_type, attrs, header):
            seen.append(dict(header))
            if kept:
                kept.pop().clear()
            kept.append(header)

        corvina_py.parse(statement(*[('Платежное поручение', PAYMENT_ORDER)] * 4),
                         [keeping, keeping])
        assert seen == [HEADER] * 8

    # How the re-entering parse is started: on the main thread with the usual stack, on a thread
    # with a small stack, and on a main thread under a low stack limit (`ulimit -s 3072`).
    STACKS = {
        'main thread': ('run()', None),
        '2 MiB thread': ('threading.stack_size(2 << 20)\n'
                         't = threading.Thread(target=run); t.start(); t.join()', None),
        '3 MiB ulimit': ('run()', 3072),
    }

    @pytest.mark.parametrize('stack', STACKS)
    def test_deep_reentry_raises_recursion_error(self, stack):
        # In a child process: without the guards the C stack overflowed, killing it.
        start, limit = self.STACKS[stack]
        script = textwrap.dedent('''
            import sys, threading, corvina_py
            sys.setrecursionlimit(100_000)
            def hook(section_type, attrs, header):
                corvina_py.parse(sys.argv[1], [hook])
            def run():
                try:
                    corvina_py.parse(sys.argv[1], [hook])
                except corvina_py.SyntaxError as error:
                    print(str(error).rsplit('Hook error: ', 1)[-1])
        ''') + start + '\n'

        env = dict(os.environ, PYTHONPATH=os.pathsep.join(
            [os.path.dirname(corvina_py.__file__), os.environ.get('PYTHONPATH', '')]))
        command = [sys.executable, '-c', script, TWO_SECTIONS]
        if limit:
            command = ['sh', '-c', f'ulimit -s {limit} && exec "$0" "$@"', *command]
        done = subprocess.run(command, env=env, capture_output=True, text=True, timeout=300,
                              check=False)
        assert done.returncode == 0, done.stderr[-2000:]
        assert done.stdout.startswith('RecursionError: maximum recursion depth exceeded')

    # On a thread with a small stack a parse that nothing can re-enter runs, while one with
    # hooks, which may call parse again, still needs room for another level.
    @pytest.mark.parametrize(('hooks', 'outcome'), [
        (None, 'parsed'),
        ([lambda *_: None], 'RecursionError'),
    ], ids=['no hooks', 'hooks'])
    def test_small_thread_stack(self, hooks, outcome):
        seen = []

        def run():
            try:
                corvina_py.parse(TWO_SECTIONS, hooks)
                seen.append('parsed')
            except RecursionError:
                seen.append('RecursionError')

        # The sanitizer's frames are several times larger, and so are both needs.
        before = threading.stack_size((512 if UNDER_ASAN else 128) << 10)
        try:
            thread = threading.Thread(target=run)
            thread.start()
            thread.join()
        finally:
            threading.stack_size(before)
        assert seen == [outcome]

    def test_no_sections_no_calls(self):
        header_only = '\n'.join(['1CClientBankExchange', 'ВерсияФормата=1.03'])
        with pytest.raises(corvina_py.UnfinishedError):
            corvina_py.parse(header_only, [5, None])

    def test_unrecognized_line_calls_no_hook(self):
        hook = Recorder()
        with pytest.raises(corvina_py.SyntaxError):
            corvina_py.parse(TWO_SECTIONS + 'junk\n', [hook])
        assert hook.calls == []

    def test_reentrant_parse(self):
        inner = []

        def hook(section_type, attrs, header):
            inner.append(corvina_py.parse(TWO_SECTIONS, [Recorder()]))
            attrs['Номер'] = 'outer'

        parsed = corvina_py.parse(statement(('Платежное поручение', PAYMENT_ORDER)), [hook])
        assert parsed.documents[0].doc_number == 'outer'
        assert [d.doc_number for d in inner[0].documents] == ['17']

    def test_references_released(self):
        hook = Recorder()
        before = sys.getrefcount(hook)
        corvina_py.parse(TWO_SECTIONS, [hook])
        with pytest.raises(corvina_py.SyntaxError):
            corvina_py.parse(TWO_SECTIONS, [hook, 5])
        assert sys.getrefcount(hook) == before


class BadStr(Exception):
    def __str__(self):
        raise RuntimeError('no text')


class Outer:
    class Inner(Exception):
        pass


def raising(exception):
    def hook(section_type, attrs, header):
        raise exception
    return hook


def takes_nothing():
    pass


def leaving(key, value):
    def hook(section_type, attrs, header):
        attrs[key] = value
    return hook


class TestHookFailures:
    FAILURES = [
        (raising(ValueError('bad')), 'ValueError: bad'),
        (raising(KeyError('x')), "KeyError: 'x'"),
        (raising(KeyboardInterrupt()), 'KeyboardInterrupt: '),
        (raising(SystemExit(3)), 'SystemExit: 3'),
        (raising(BadStr('x')), 'BadStr: <exception str() failed>'),
        (raising(Outer.Inner('deep')), 'Outer.Inner: deep'),
        (raising(ValueError('\udc80')), 'ValueError: <exception str() failed>'),
        (5, "TypeError: 'int' object is not callable"),
        (takes_nothing, 'TypeError: takes_nothing() takes 0 positional arguments but 3 were '
                        'given'),
        (leaving('Номер', 5), "TypeError: 'int' object cannot be converted to 'PyString'"),
        (leaving(5, 'x'), "TypeError: 'int' object cannot be converted to 'PyString'"),
        (leaving('Номер', '\udc80'), "UnicodeEncodeError: 'utf-8' codec can't encode "
                                     "character '\\udc80' in position 0: surrogates not allowed"),
    ]

    @pytest.mark.parametrize(('hook', 'message'), FAILURES)
    def test_failure_text(self, hook, message):
        with pytest.raises(corvina_py.SyntaxError) as caught:
            corvina_py.parse(TWO_SECTIONS, [hook])
        error = caught.value
        assert error.args == (f'Hook error: {message}',)
        assert type(error.detail) is corvina_py.HookError
        assert (error.detail.lineno, error.detail.message) == (ACCOUNT_END, message)
        assert error.__cause__ is None
        assert error.__context__ is None

    def test_later_hooks_and_sections_skipped(self):
        after = Recorder()
        with pytest.raises(corvina_py.SyntaxError):
            corvina_py.parse(TWO_SECTIONS, [raising(ValueError('bad')), after])
        assert after.calls == []

    def test_failure_in_later_section(self):
        def hook(section_type, attrs, header):
            if section_type == SectionType.Document:
                raise ValueError('doc')

        with pytest.raises(corvina_py.SyntaxError) as caught:
            corvina_py.parse(TWO_SECTIONS, [hook])
        assert caught.value.detail.lineno == len(TWO_SECTIONS.splitlines()) - 1
