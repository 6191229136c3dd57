"""The converter for accountants: its language, its one-line usage errors, warnings that name
the key and the value, the summary's balance check, and -f exchange over folders."""

from __future__ import annotations

import argparse
import ast
import codecs
import decimal
import importlib.resources
import os
import re
import string
import subprocess
import sys
from pathlib import Path

import pytest
from conftest import REQUIRED_DOCUMENT, SAMPLES, statement

import corvina_py
from corvina_convert import i18n, main, messages

OWN = '40702810000000000001'  # REQUIRED_DOCUMENT's payer
ROOT = Path(__file__).resolve().parents[2]
EXAMPLE = ROOT / 'examples' / 'statement.txt'


def account(**values: str) -> tuple[str, dict[str, str]]:
    return ('account', {'ДатаНачала': '01.03.2024', 'РасчСчет': OWN,
                        'НачальныйОстаток': '100.00', **values})


def payment(**changes: str) -> tuple[str, dict[str, str]]:
    return ('Платежное поручение', {**REQUIRED_DOCUMENT, **changes})


# The converter as its console script runs it, its workers started afresh as spawn and
# forkserver start them: they inherit nothing of the parent's state.
SPAWNING = ('import multiprocessing, corvina_convert; '
            "multiprocessing.set_start_method('spawn'); corvina_convert.run()")


def converter(*argv: str, env: dict[str, str], stdin: bytes = b'') -> subprocess.CompletedProcess:
    """The console converter in a fresh process, under exactly the locale variables given."""
    clean = {key: value for key, value in os.environ.items()
             if key not in ('LANGUAGE', 'LC_ALL', 'LC_MESSAGES', 'LANG')}
    return subprocess.run([sys.executable, '-c', SPAWNING, *argv], input=stdin,
                          capture_output=True, env={**clean, **env}, timeout=120, check=False)


@pytest.fixture(autouse=True)
def english():
    """Tests in this process speak English unless they choose otherwise, and leave it so."""
    i18n.use('en')
    yield
    i18n.use('en')


class TestLanguage:
    TEXT = statement(account(), payment())
    # locale variables, --lang, whether the summary comes out in Russian
    CHOICES = [
        ({'LANG': 'ru_RU.UTF-8'}, [], True),
        ({'LC_MESSAGES': 'ru_RU.UTF-8', 'LANG': 'en_US.UTF-8'}, [], True),
        ({'LANG': 'C'}, [], False),
        ({'LANG': 'en_GB.UTF-8'}, [], False),
        ({'LC_ALL': 'C', 'LANG': 'ru_RU.UTF-8'}, [], False),
        ({'LANG': 'C'}, ['--lang', 'ru'], True),
        ({'LANG': 'ru_RU.UTF-8'}, ['--lang=en'], False),
        ({'LANG': 'C'}, ['--lang', 'en', '--lang', 'ru'], True),
    ]

    @pytest.mark.parametrize(('env', 'option', 'russian'), CHOICES)
    def test_locale_and_option_choose(self, env, option, russian):
        done = converter(*option, '-f', 'summary', '-', env=env, stdin=self.TEXT.encode())
        assert done.returncode == 0, done.stderr
        first = done.stdout.decode().splitlines()[0]
        expected = '1 счёт, 1 документ, 0 предупреждений' if russian else \
            '1 account, 1 document, 0 warnings'
        assert first == f'<stdin>: utf-8, {expected}'

    def test_workers_speak_the_language_chosen(self, tmp_path):
        # Refusals are worded in the worker processes; under spawn or forkserver they do not
        # inherit the parent's choice.
        paths = [tmp_path / 'a.txt', tmp_path / 'b.txt']
        paths[0].write_text('', encoding='utf-8')
        paths[1].write_text(self.TEXT, encoding='utf-8')
        done = converter('--lang', 'ru', '-j', '2', *map(str, paths), env={'LANG': 'C'})
        assert done.returncode == 1
        assert done.stderr.decode() == f'{paths[0]}: Input is empty; файл пуст: выгрузите ' \
                                       'выписку заново\n'

    @pytest.mark.parametrize(('name', 'russian'), [
        ('Russian_Russia', True), ('ru_RU', True), ('English_United States', False),
        (None, False)])
    def test_windows_system_locale(self, monkeypatch, name, russian):
        for variable in i18n.VARIABLES:
            monkeypatch.delenv(variable, raising=False)
        monkeypatch.setattr(sys, 'platform', 'win32')
        monkeypatch.setattr(i18n.locale, 'getlocale', lambda: (name, '1251'))
        i18n.use(None)
        assert i18n._('ok') == ('сходится' if russian else 'ok')

    @pytest.mark.parametrize(('count', 'form'), [(1, '1 документ'), (2, '2 документа'),
                                                 (5, '5 документов'), (11, '11 документов'),
                                                 (21, '21 документ'), (22, '22 документа')])
    def test_russian_plurals(self, count, form):
        i18n.use('ru')
        assert i18n.n_('{n} document', '{n} documents', count).format(n=count) == form


def translated_texts() -> set[tuple[str, ...]]:
    """Every English text the package passes to _(), each pair it passes to n_(), and the
    tables it translates."""
    texts: set[tuple[str, ...]] = set()
    package = importlib.resources.files('corvina_convert')
    for source in package.iterdir():
        if not source.name.endswith('.py'):
            continue
        for node in ast.walk(ast.parse(source.read_text(encoding='utf-8'))):
            if isinstance(node, ast.Call) and isinstance(node.func, ast.Name) and \
                    node.func.id in ('_', 'n_'):
                found = tuple(argument.value for argument in node.args[:2]
                              if isinstance(argument, ast.Constant))
                if len(found) == (1 if node.func.id == '_' else 2):
                    texts.add(found)
    import corvina_convert
    import corvina_convert.tables
    tables = (*(text for _pattern, text in corvina_convert.ARGPARSE_MESSAGES),
              corvina_convert.tables.MISSING_PYARROW,
              *messages.DATE_PROBLEMS.values(), *messages.ADVICE.values(),
              *messages.OS_ADVICE.values(), *messages.MONTHS,
              messages.NOT_STATEMENT, messages.DATE_ADVICE, messages.AMOUNT_ADVICE)
    texts.update((text,) for text in tables)
    return texts


def in_russian(text: tuple[str, ...], count: int = 5) -> str:
    return i18n._(text[0]) if len(text) == 1 else i18n.n_(*text, count)


def fields(text: str) -> set[str]:
    return {name for _literal, name, _spec, _conversion in string.Formatter().parse(text)
            if name is not None}


class TestCatalog:
    def test_compiled_catalog_matches_its_source(self):
        tool = ROOT / 'tools' / 'compile_catalogs.py'
        if not tool.exists():
            pytest.skip('the source tree is not beside the tests')
        done = subprocess.run([sys.executable, str(tool), '--check'], capture_output=True,
                              text=True, timeout=60, check=False)
        assert done.returncode == 0, done.stderr

    def test_every_message_is_translated(self):
        i18n.use('ru')
        untranslated = sorted(text for text in translated_texts()
                              if in_russian(text) == text[-1])
        assert untranslated == []

    def test_translations_keep_the_placeholders(self):
        # A translation that drops or renames a {field} breaks .format() at the worst moment.
        i18n.use('ru')
        for text in translated_texts():
            for count in (1, 2, 5):
                assert fields(in_russian(text, count)) == fields(text[-1]), text


def listed_choices(names: list[str]) -> str:
    """The choices as this Python's argparse lists them: quoted by older releases, bare by newer."""
    probe = argparse.ArgumentParser(exit_on_error=False)
    probe.add_argument('x', choices=['a'])
    try:
        probe.parse_args(['b'])
    except argparse.ArgumentError as error:
        quoted = "'a'" in str(error)
    return ', '.join(repr(name) if quoted else name for name in names)


FORMAT_CHOICES = listed_choices(['json', 'csv', 'summary', 'parquet', 'arrow', 'exchange'])


class TestUsageErrors:
    # command line, the English and the Russian line (after "corvina-convert: ")
    CASES = [
        (['-f', 'xml', 'a.txt'],
         "error: argument -f/--format: invalid choice: 'xml' (choose from "
         f"{FORMAT_CHOICES}) (see --help)",
         "ошибка: аргумент -f/--format: недопустимое значение 'xml' (возможны: "
         f"{FORMAT_CHOICES}) (см. --help)"),
        ([], 'error: the following arguments are required: FILE (see --help)',
         'ошибка: не хватает обязательных аргументов: FILE (см. --help)'),
        (['-j', '0', 'a.txt'], 'error: argument -j/--jobs: must be at least 1, not 0 '
         '(see --help)', 'ошибка: аргумент -j/--jobs: должно быть не меньше 1, а не 0 '
         '(см. --help)'),
        (['--excel', 'a.txt'], 'error: --excel needs --format csv (see --help)',
         'ошибка: --excel работает только с --format csv (см. --help)'),
        (['-', '-'], "error: standard input ('-') can be given only once (see --help)",
         "ошибка: стандартный ввод ('-') можно указать только один раз (см. --help)"),
    ]

    @pytest.mark.parametrize(('argv', 'english', 'russian'), CASES)
    def test_one_line_without_usage(self, capsys, argv, english, russian):
        for lang, expected in (('en', english), ('ru', russian)):
            with pytest.raises(SystemExit) as caught:
                main(['--lang', lang, *argv])
            assert caught.value.code == 2
            assert capsys.readouterr().err == f'corvina-convert: {expected}\n'

    def test_nothing_given_under_a_russian_locale(self):
        done = converter(env={'LANG': 'ru_RU.UTF-8'})
        assert done.returncode == 2
        assert done.stderr.decode() == \
            'corvina-convert: ошибка: не хватает обязательных аргументов: FILE (см. --help)\n'


class TestKeyAndValue:
    ADVICE = 'dates are written DD.MM.YYYY, as 05.03.2024'
    # the document's changed values, the warning after "document left out: "
    DROPPED = [
        ({'ДатаСписано': '31.02.2024'}, f'ДатаСписано=31.02.2024: there is no 31 February; '
         f'{ADVICE}'),
        ({'ДатаПоступило': '29.02.2023'}, 'ДатаПоступило=29.02.2023: 2023 is not a leap year: '
         f'there is no 29 February; {ADVICE}'),
        ({'Дата': '31.04.2024'}, f'Дата=31.04.2024: there is no 31 April; {ADVICE}'),
        ({'Дата': '01.13.2024'}, f'Дата=01.13.2024: there is no month 13; {ADVICE}'),
        ({'Дата': '32.01.2024'}, f'Дата=32.01.2024: there is no day 32 in any month; {ADVICE}'),
        ({'Дата': ' '}, f'Дата= : a date is empty; {ADVICE}'),
        # Several bad values: the parser reports the first by the keys' bytes, and so do we.
        ({'Сумма': 'x', 'ДатаСписано': '1.1', 'Дата': '2024-01-01'},
         f'Дата=2024-01-01: a date holds characters other than digits and points; {ADVICE}'),
        ({'Сумма': 'x', 'ДатаСписано': '1.1'}, f'ДатаСписано=1.1: a date is cut short; {ADVICE}'),
        ({'Сумма': '1\x1b[2J'}, 'Сумма=1\\x1b[2J: not a number; amounts are digits with a '
         'point before the kopecks, as 1250.50 (no comma, no spaces)'),
    ]

    @pytest.mark.parametrize(('changes', 'message'), DROPPED)
    def test_warning_names_key_and_value(self, tmp_path, capsys, changes, message):
        text = statement(account(), payment(), payment(**changes))
        path = tmp_path / 'a.txt'
        path.write_text(text, encoding='utf-8')
        [(lineno, _)] = corvina_py.parse(text).warnings
        assert main(['-f', 'csv', '-o', str(tmp_path / 'out.csv'), str(path)]) == 0
        assert capsys.readouterr().err == \
            f'{path}:{lineno}: warning: document left out: {message}\n'

    # How the input is written: the section is found again in each of the parser's encodings.
    ENCODINGS = [
        ('utf-8', lambda text: text.encode('utf-8')),
        ('cp1251', lambda text: text.encode('cp1251')),
        ('utf-16-le', lambda text: codecs.BOM_UTF16_LE + text.encode('utf-16-le')),
        ('utf-16-be', lambda text: codecs.BOM_UTF16_BE + text.encode('utf-16-be')),
        ('crlf', lambda text: text.replace('\n', '\r\n').encode('cp1251')),
    ]

    @pytest.mark.parametrize(('name', 'encode'), ENCODINGS)
    def test_every_encoding_and_repeated_keys(self, tmp_path, capsys, name, encode):
        # The last of two values of a key is the one the parser read.
        text = statement(account(), payment(), payment(Дата='01.01.2024')).replace(
            'Дата=01.01.2024', 'Дата=31.02.2024\nДата=05.03.2024г', 1)
        path = tmp_path / 'a.txt'
        path.write_bytes(encode(text))
        [(lineno, _)] = corvina_py.parse(encode(text)).warnings
        assert main(['-f', 'csv', '-o', str(tmp_path / 'out.csv'), str(path)]) == 0
        assert capsys.readouterr().err == (
            f'{path}:{lineno}: warning: document left out: Дата=05.03.2024г: a date has text '
            f'after its year; {self.ADVICE}\n')

    def test_several_warnings_of_one_file(self, tmp_path, capsys):
        # The values of every dropped document are tried together: each keeps its own.
        text = statement(payment(Дата='31.02.2024', ДатаСписано='x', Сумма='y'),
                         payment(Сумма='1,5'), payment(ДатаПоступило='1.1', Сумма='z'))
        path = tmp_path / 'a.txt'
        path.write_text(text, encoding='utf-8')
        assert main(['-f', 'csv', '-o', str(tmp_path / 'out.csv'), str(path)]) == 0
        found = [line.split('document left out: ')[1].split(':')[0]
                 for line in capsys.readouterr().err.splitlines()]
        assert found == ['Дата=31.02.2024', 'Сумма=1,5', 'ДатаПоступило=1.1']

    def test_account_value_and_russian(self, tmp_path, capsys):
        text = statement(account(КонечныйОстаток='1 000,00', ДатаКонца='31.02.2024'), payment())
        path = tmp_path / 'a.txt'
        path.write_text(text, encoding='utf-8')
        try:
            corvina_py.parse(text)
        except corvina_py.SyntaxError as error:
            lineno = error.detail.lineno
        # ДатаКонца sorts before КонечныйОстаток: it is the value the parser stopped at.
        assert main(['--lang', 'ru', str(path)]) == 1
        assert capsys.readouterr().err == (
            f'{path}:{lineno}: секция счёта не читается: ДатаКонца=31.02.2024: 31 февраля не '
            'бывает; даты пишутся ДД.ММ.ГГГГ, например 05.03.2024; без неё выписку не '
            'преобразовать\n')

    def test_warnings_over_many_sections(self, tmp_path, capsys):
        # Sections past the first block of the search, each found at its own line.
        documents = [payment(Номер=str(n), Сумма=f'{n},5' if n % 500 == 7 else '1')
                     for n in range(3000)]
        # A blank line longer than the block the search skips by.
        text = statement(account(), *documents).replace(
            '\nСекцияДокумент', '\n' + ' ' * (1 << 20) + '\nСекцияДокумент', 1)
        path = tmp_path / 'a.txt'
        path.write_text(text, encoding='utf-8')
        assert main(['-f', 'csv', '-o', str(tmp_path / 'out.csv'), str(path)]) == 0
        found = re.findall(r'Сумма=(\d+),5:', capsys.readouterr().err)
        assert found == [str(n) for n in range(3000) if n % 500 == 7]


class TestSummary:
    # the account's values, the documents, the lines of the account after its first
    CASES = [
        ({'ВсегоПоступило': '5', 'ВсегоСписано': '100.50', 'КонечныйОстаток': '4.50'},
         [payment(ПолучательСчет=OWN, ПлательщикСчет='1', Сумма='5.00'), payment()],
         ['    in: 1 document, 5.00; the statement says 5: ok',
          '    out: 1 document, 100.50; the statement says 100.50: ok',
          '    balance: 100.00 + 5 - 100.50 = 4.50: ok']),
        ({'ВсегоСписано': '130.50', 'КонечныйОстаток': '-30.50'}, [payment()],
         ['    in: 0 documents, 0',
          '    out: 1 document, 100.50; the statement says 130.50: off by 30.00',
          '    balance: 100.00 + 0 - 130.50 = -30.50: ok']),
        ({'КонечныйОстаток': '0.50'}, [payment()],
         ['    in: 0 documents, 0', '    out: 1 document, 100.50',
          '    balance: 100.00 + 0 - 100.50 = -0.50: closing 0.50, off by 1.00']),
        ({}, [payment()],
         ['    in: 0 documents, 0', '    out: 1 document, 100.50',
          '    balance: the statement gives no closing balance']),
    ]

    @pytest.mark.parametrize(('values', 'documents', 'expected'), CASES)
    def test_balance_check(self, tmp_path, capsys, values, documents, expected):
        path = tmp_path / 'a.txt'
        path.write_text(statement(account(**values), *documents), encoding='utf-8')
        assert main(['-f', 'summary', str(path)]) == 0
        assert capsys.readouterr().out.splitlines()[2:5] == expected

    def test_intervals_of_one_account_add_up(self, tmp_path, capsys):
        text = statement(
            account(ДатаНачала='02.03.2024', НачальныйОстаток='90', ВсегоСписано='10',
                    ВсегоПоступило='0', КонечныйОстаток='80'),
            account(ВсегоСписано='10', ВсегоПоступило='0', КонечныйОстаток='90'))
        path = tmp_path / 'a.txt'
        path.write_text(text, encoding='utf-8')
        assert main(['-f', 'summary', str(path)]) == 0
        assert capsys.readouterr().out.splitlines()[1:5] == [
            f'  {OWN}: 2 intervals, opening 100.00, closing 80',
            '    in: 0 documents, 0; the statement says 0: ok',
            '    out: 0 documents, 0; the statement says 20: off by 20',
            '    balance: 100.00 + 0 - 20 = 80.00: ok']

    def test_without_accounts_the_direction_is_unknown(self, tmp_path, capsys):
        path = tmp_path / 'a.txt'
        path.write_text(statement(payment(), payment(Сумма='0.25')), encoding='utf-8')
        assert main(['-f', 'summary', str(path)]) == 0
        assert capsys.readouterr().out.splitlines()[1:] == [
            '  direction unknown (the statement lists no accounts): 2 documents, 100.75',
            '  all documents: 2; 0 in, 0 out, 2 with no listed account']

    def test_the_example_says_what_is_missing(self, capsys):
        assert main(['--lang', 'ru', '-f', 'summary', str(EXAMPLE)]) == 0
        out = capsys.readouterr().out.splitlines()
        assert out[3] == '    списано: 2 документа, 99785.40; по выписке 129785.40: ' \
                         'расхождение 30000.00'
        assert out[-1] == '  все документы: 4; поступило 1, списано 3, не по счетам выписки 0'

    @pytest.mark.skipif(not SAMPLES.is_dir(), reason='the sample statements are not here')
    def test_samples_balance_as_their_intervals_say(self, capsys):
        for sample in sorted(SAMPLES.glob('*.txt')):
            try:
                parsed = corvina_py.parse(sample.read_bytes())
            except corvina_py.ParseError:
                continue
            assert main(['-f', 'summary', str(sample)]) == 0
            balances = [line for line in capsys.readouterr().out.splitlines()
                        if line.startswith('    balance: ')]
            assert len(balances) == len(parsed.accounts), sample
            for line, account_ in zip(balances, parsed.accounts.values()):
                first, last = account_.intervals[0], account_.intervals[-1]
                if last.end_amount is None or any(
                        i.total_income is None or i.total_expense is None
                        for i in account_.intervals):
                    continue
                adds_up = decimal.Decimal(first.start_amount) + sum(
                    decimal.Decimal(i.total_income) - decimal.Decimal(i.total_expense)
                    for i in account_.intervals) == decimal.Decimal(last.end_amount)
                assert line.endswith(': ok') == adds_up, (sample, line)


class TestExchangeFolders:
    @pytest.fixture
    def tree(self, tmp_path) -> Path:
        text = statement(account(), payment())
        for relative in ('in/x.txt', 'in/2024/01/x.txt', 'in/2024/02/x.txt', 'in/bad/x.txt'):
            path = tmp_path / relative
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_text(text if 'bad' not in relative else '', encoding='utf-8')
        return tmp_path

    def test_same_names_land_under_their_relative_paths(self, tree):
        out = tree / 'out'
        assert main(['-f', 'exchange', '-r', '-q', '-o', str(out), str(tree / 'in')]) == 1
        written = sorted(str(path.relative_to(out)) for path in out.rglob('*'))
        # No folder is made for the file that failed.
        assert written == ['2024', '2024/01', '2024/01/x.txt', '2024/02', '2024/02/x.txt',
                           'x.txt']
        assert corvina_py.parse((out / '2024' / '02' / 'x.txt').read_bytes()).documents

    def test_a_pattern_is_relative_to_its_fixed_folder(self, tree):
        out = tree / 'out'
        assert main(['-f', 'exchange', '-o', str(out), str(tree / 'in' / '2024' / '*' /
                                                          '*.txt')]) == 0
        assert sorted(str(path.relative_to(out)) for path in out.rglob('*.txt')) == \
            ['01/x.txt', '02/x.txt']

    def test_files_given_alone_keep_their_names(self, tree):
        out = tree / 'out'
        assert main(['-f', 'exchange', '-o', str(out), str(tree / 'in' / '2024' / '01' /
                                                          'x.txt')]) == 0
        assert os.listdir(out) == ['x.txt']

    def test_two_folders_with_one_name_are_still_refused(self, tree, capsys):
        out = tree / 'out'
        with pytest.raises(SystemExit) as caught:
            main(['-f', 'exchange', '-o', str(out), str(tree / 'in' / '2024' / '01'),
                  str(tree / 'in' / '2024' / '02')])
        assert caught.value.code == 2
        assert capsys.readouterr().err.endswith(
            'x.txt is an input or another output: refusing to overwrite it (see --help)\n')
        assert not out.exists()
