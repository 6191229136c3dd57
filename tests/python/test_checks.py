"""Checks of parsed statements: balances, turnovers against documents, requisites, repeats."""

from __future__ import annotations

import io
import json
import os
import random
import subprocess
import sys
from pathlib import Path

import pytest

import corvina_py
from conftest import OWN_ACCOUNT, SAMPLES, SOUND_DOCUMENT, load_generator, statement
from corvina_convert import Problem, check, check_files, checks, i18n, main, requisites

DOCUMENT = 'Платежное поручение'


def account(**values: str) -> tuple[str, dict[str, str]]:
    attrs = {'ДатаНачала': '05.03.2024', 'ДатаКонца': '05.03.2024', 'РасчСчет': OWN_ACCOUNT,
             'НачальныйОстаток': '1000.00'}
    attrs.update(values)
    return ('account', attrs)


def document(**values: str) -> tuple[str, dict[str, str]]:
    return (DOCUMENT, {**SOUND_DOCUMENT, **values})


def incoming(**values: str) -> tuple[str, dict[str, str]]:
    """A document paid in to the own account, from the sound document's payee."""
    return document(**{'ПлательщикСчет': SOUND_DOCUMENT['ПолучательСчет'],
                       'ПлательщикБИК': SOUND_DOCUMENT['ПолучательБИК'],
                       'ПлательщикИНН': SOUND_DOCUMENT['ПолучательИНН'],
                       'ПлательщикКорсчет': '', 'ПолучательСчет': OWN_ACCOUNT,
                       'ПолучательБИК': SOUND_DOCUMENT['ПлательщикБИК'], **values})


def problems(*sections: tuple[str, dict[str, str]]) -> list[tuple[int | None, str, str]]:
    found = check(corvina_py.parse(statement(*sections)))
    return [(problem.line, problem.kind, problem.message) for problem in found]


WHERE = f'account {OWN_ACCOUNT}, 2024-03-05..2024-03-05'


class TestRequisites:
    FLAWS = [
        (requisites.inn_flaw, ('7707083893',), None),
        (requisites.inn_flaw, ('7707083894',), ('control digit 3', '4 in 7707083894')),
        (requisites.inn_flaw, ('500100732259',), None),
        # The twelfth digit is computed over the eleventh as written.
        (requisites.inn_flaw, ('500100732249',), ('control digits 51', '49 in 500100732249')),
        (requisites.inn_flaw, ('7123456789012',), ('10 or 12 digits', "'7123456789012'")),
        (requisites.inn_flaw, ('７７０７０８３８９３',), ('10 or 12 digits', "'７７０７０８３８９３'")),
        (requisites.kpp_flaw, ('7736AB001',), None),
        (requisites.kpp_flaw, ('7736ab001',),
         ('4 digits, 2 digits or capital Latin letters, 3 digits', "'7736ab001'")),
        (requisites.bic_flaw, ('Payer bank BIC',), ('9 digits', "'Payer bank BIC'")),
        (requisites.account_flaw, ('40702810400000000225', '044525225'), None),
        (requisites.account_flaw, ('40702810500000000225', '044525225'),
         ('control key 4 with BIC 044525225', '5 in 40702810500000000225')),
        (requisites.account_flaw, ('40101810400000010002', '046015001'), None),
        (requisites.account_flaw, ('03100643000000012100', '010702101'), None),
        (requisites.account_flaw, ('12312312312312312', 'x'), ('20 digits', "'12312312312312312'")),
        (requisites.correspondent_account_flaw, ('30101810400000000225', '044525225'), None),
        (requisites.correspondent_account_flaw, ('30101810500000000225', '044525225'),
         ('control key 4 with BIC 044525225', '5 in 30101810500000000225')),
    ]

    @pytest.mark.parametrize('flaw, arguments, expected', FLAWS)
    def test_flaw(self, flaw, arguments, expected):
        found = flaw(*arguments)
        assert (found if found is None else tuple(found)) == expected

    def test_module_flags_what_the_messages_explain(self):
        """The module flags requisites and this package words them: both must judge alike."""
        rng = random.Random(5)

        def mutate(text: str) -> str:
            roll = rng.random()
            if roll < 0.5 or not text:
                return text
            position = rng.randrange(len(text))
            if roll < 0.85:
                return text[:position] + rng.choice('0123456789') + text[position + 1:]
            return rng.choice([text[:-1], text + '7', text.replace(text[position], 'A'), '0', ''])

        sections = []
        for number in range(400):
            attrs = {**SOUND_DOCUMENT, 'Номер': str(number),
                     'ПлательщикРасчСчет': '40702810000000000002',
                     'ПолучательКорсчет': '30101810200000000593', 'ПолучательКПП': '770801001'}
            for key in ('ПлательщикИНН', 'ПлательщикКПП', 'ПлательщикБИК', 'ПлательщикСчет',
                        'ПлательщикРасчСчет', 'ПлательщикКорсчет', 'ПолучательИНН',
                        'ПолучательКПП', 'ПолучательБИК', 'ПолучательСчет', 'ПолучательКорсчет'):
                attrs[key] = mutate(attrs[key])
            if rng.random() < 0.1:
                attrs['ПолучательБИК'] = '046015001'
            sections.append((DOCUMENT, attrs))
        parsed = corvina_py.parse(statement(*sections))
        flagged = {(index, code) for index, code in parsed._check_documents(())[0]}
        expected = set()
        for index, doc in enumerate(parsed.documents):
            for code, (kind, field, bic_field) in enumerate(checks.REQUISITES):
                value, bic = getattr(doc, field), getattr(doc, bic_field)
                if value is None or (kind in ('inn', 'kpp') and value in ('', '0')) or \
                        (kind in ('account', 'correspondent') and value == '') or \
                        (field.endswith('ras_account') and value == getattr(
                            doc, field.replace('_ras', ''))):
                    continue
                if checks.JUDGES[kind](value, bic) is not None:
                    expected.add((index, code))
        assert len(expected) > 200
        assert flagged == expected

    def test_messages(self):
        found = problems(document(**{'ПлательщикИНН': '7707083894', 'ПолучательСчет': '1',
                                     'ПолучательРасчСчет': '40702810200000000002'}))
        subject = 'Платежное поручение № 1 of 2024-03-05'
        assert found == [
            (3, 'inn', f'{subject}: payer INN: expected control digit 3, found 4 in 7707083894'),
            (3, 'account', f"{subject}: payee account: expected 20 digits, found '1'"),
            (3, 'account_key', f'{subject}: payee account (ПолучательРасчСчет): expected '
             'control key 1 with BIC 044525593, found 2 in 40702810200000000002'),
        ]


class TestBalances:
    def test_statement_that_adds_up(self):
        assert problems(
            account(ВсегоПоступило='50.00', ВсегоСписано='100', КонечныйОстаток='950.00'),
            document(), incoming(Сумма='20.00'), incoming(Номер='2', Сумма='30')) == []

    def test_balance(self):
        assert problems(account(ВсегоПоступило='0', ВсегоСписано='0',
                                КонечныйОстаток='1000.01')) == [
            (None, 'balance', f'{WHERE}: opening 1000.00 + paid in 0 - paid out 0 = 1000.00, '
             'but the closing balance is 1000.01')]

    def test_totals_and_a_dropped_document(self):
        found = problems(account(ВсегоПоступило='30000.00', ВсегоСписано='100.00'),
                         document(), incoming(Сумма='30000.00', Дата=''))
        assert [(line, kind) for line, kind, _ in found] == [(42, 'warning'),
                                                             (None, 'income_total')]
        assert found[0][2].endswith('; it is missing from every sum checked here')
        assert found[1][2] == (
            f'{WHERE}: ВсегоПоступило is 30000.00, but the documents paid in within the period '
            'sum to 0; 1 document of the statement could not be read and may make the '
            'difference')

    DATES = [
        # (income date, outcome date, date end): which documents the interval counts
        ({'ДатаПоступило': '06.03.2024'}, {}, '05.03.2024', '0', '100.00'),
        ({}, {'ДатаСписано': '04.03.2024'}, '05.03.2024', '20.00', '0'),
        ({'ДатаПоступило': '09.03.2024'}, {}, '', '20.00', '100.00'),
    ]

    @pytest.mark.parametrize('paid_in, paid_out, end, income, expense', DATES)
    def test_documents_within_the_period(self, paid_in, paid_out, end, income, expense):
        found = problems(account(ДатаКонца=end, ВсегоПоступило=income, ВсегоСписано=expense),
                         document(**paid_out), incoming(Сумма='20.00', **paid_in))
        assert found == []

    # Sums past 96 bits and at the finest scale stay exact: the core adds them in 128 bits.
    EXACT_SUMS = [
        (('79228162514264337593543950335',) * 3, '237684487542793012780631851005'),
        (('0.0000000000000000000000000001', '1', '-5.5', '2.50'),
         '-1.9999999999999999999999999999'),
    ]

    @pytest.mark.parametrize('amounts, total', EXACT_SUMS)
    def test_sums_are_exact(self, amounts, total):
        paid = [incoming(Номер=str(number), Сумма=amount)
                for number, amount in enumerate(amounts)]
        [(_, kind, message)] = problems(account(ВсегоПоступило='1'), *paid)
        assert (kind, message.split('sum to ')[1]) == ('income_total', total)

    def test_stated_sum_at_the_finest_scale(self):
        paid = [incoming(Номер=str(number), Сумма=amount) for number, amount in
                enumerate(('0.0000000000000000000000000001', '1', '-5.5', '2.50'))]
        assert problems(account(ВсегоПоступило='-1.9999999999999999999999999999'), *paid) == []

    def test_own_account_in_ras_account(self):
        assert problems(account(ВсегоПоступило='20.00'),
                        incoming(Сумма='20.00', ПолучательСчет='40702810800000000003',
                                 ПолучательРасчСчет=OWN_ACCOUNT)) == []

    def test_consecutive_intervals(self):
        found = problems(
            account(КонечныйОстаток='1000.00'),
            account(ДатаНачала='06.03.2024', ДатаКонца='06.03.2024', НачальныйОстаток='999'),
            account(ДатаНачала='09.03.2024', ДатаКонца='10.03.2024', НачальныйОстаток='999'),
            account(ДатаНачала='10.03.2024', ДатаКонца='', НачальныйОстаток='999'))
        assert [message for _, _, message in found] == [
            f'account {OWN_ACCOUNT}, 2024-03-05..2024-03-05 then 2024-03-06..2024-03-06: the '
            'opening balance 999 is not the closing balance 1000.00 before it',
            f'account {OWN_ACCOUNT}, 2024-03-06..2024-03-06 then 2024-03-09..2024-03-10: no '
            'section covers 2024-03-07..2024-03-08',
            f'account {OWN_ACCOUNT}, 2024-03-09..2024-03-10 then 2024-03-10..: the periods '
            'overlap from 2024-03-10 to 2024-03-10']


class TestDuplicates:
    def test_same_payment_written_two_ways(self):
        found = problems(document(Сумма='348000'), document(Сумма='348000.00'),
                         document(Сумма='348000.01'), document(Номер='2', Сумма='348000'))
        assert found == [(19, 'duplicate', 'Платежное поручение № 1 of 2024-03-05 for '
                          f'348000.00 from {OWN_ACCOUNT} to 40702810100000000002 is the same '
                          'payment as the one at line 3')]

    def test_across_files(self, tmp_path):
        first, second = tmp_path / 'march.txt', tmp_path / 'april.txt'
        first.write_text(statement(document(), document(Номер='2')))
        second.write_text(statement(document(Номер='3'), document(Номер='2', Сумма='100')))
        found = check_files([str(first), str(second)])
        assert [(problem.file, problem.line, problem.kind, problem.found) for problem in found] \
            == [(str(second), 19, 'duplicate', f'also at {first}:19')]


class TestFiles:
    @pytest.mark.parametrize('encoding', ['cp1251', 'utf-8'])
    def test_generated_statements_hold(self, tmp_path, encoding):
        """The benchmarks' statements add up: a check of one times the checks, not messages."""
        generator = load_generator()
        path = tmp_path / 'generated.txt'
        path.write_bytes(generator.generate(400_000, 3, encoding).encode(encoding))
        assert check_files([str(path)]) == []

    def test_lines_of_account_sections(self, tmp_path):
        path = tmp_path / 's.txt'
        path.write_text(statement(document(), account(ВсегоСписано='1')), encoding='cp1251')
        [found] = check_files([str(path)])
        assert (found.line, found.kind, found.expected, found.found) == \
            (19, 'expense_total', '1', '100.00')

    def test_unreadable_and_refused(self, tmp_path):
        found = check_files([str(tmp_path / 'missing.txt'), os.devnull])
        assert [(problem.kind, problem.line) for problem in found] == [('read', None),
                                                                      ('parse', None)]


# Each sample's problems: (line, kind) pairs. The samples' parties are test data, so most of
# their INNs and accounts are made up and fail their control digits: real findings.
SAMPLE_PROBLEMS = {
    'sample-03.txt': [(11, 'income_total'), (11, 'expense_total'), (20, 'inn'), (86, 'inn'),
                      (86, 'account_key'), (86, 'inn'), (152, 'inn'), (152, 'inn')],
    'sample-07.txt': [],
    'sample-08.txt': [],
    'sample-09.txt': [(11, 'income_total'), (11, 'expense_total'),
                      *[(line, kind) for line in (21, 63) for kind in (
                          'account_key', 'account_key', 'inn', 'account_key', 'account')]],
}


@pytest.mark.skipif(not SAMPLES.is_dir(), reason='the sample statements are not there')
class TestSamples:
    @pytest.mark.parametrize('name, expected', SAMPLE_PROBLEMS.items())
    def test_problems(self, name, expected):
        found = check_files([str(SAMPLES / name)])
        assert [(problem.line, problem.kind) for problem in found] == expected

    def test_sample_03_total(self):
        found = check_files([str(SAMPLES / 'sample-03.txt')])
        assert found[1].message == (
            'account 40702810000000074935, 2024-01-01..2024-04-11: ВсегоСписано is 789647.44, '
            'but the documents paid out within the period sum to 156936.00')

    def test_encodings_agree(self):
        def without_file(name: str) -> list[tuple[object, ...]]:
            return [(p.line, p.kind, p.message) for p in check_files([str(SAMPLES / name)])]
        assert without_file('sample-01.txt') == without_file('sample-02.txt')


class TestRussian:
    @pytest.fixture(autouse=True)
    def russian(self):
        i18n.use('ru')
        yield
        i18n.use('en')

    def test_messages(self):
        found = problems(account(ВсегоСписано='1'),
                         document(**{'ПлательщикИНН': '7707083894'}), document(Номер='1'))
        assert [message for _, _, message in found] == [
            'Платежное поручение № 1 от 2024-03-05: ИНН плательщика: ожидается — контрольная '
            'цифра 3, на деле — 4 в 7707083894',
            f'Платежное поручение № 1 от 2024-03-05 на 100.00 со счёта {OWN_ACCOUNT} на счёт '
            '40702810100000000002 — тот же платёж, что и в строке 10',
            f'счёт {OWN_ACCOUNT}, 2024-03-05..2024-03-05: ВсегоСписано = 1, а документы, '
            'списанные за период, дают в сумме 200.00']

    def test_report(self):
        out = io.StringIO()
        checks.write_report([], ['a.txt', 'b.txt'], out)
        assert out.getvalue() == 'проверено 2 файла: всё сходится\n'


class TestCommand:
    def run(self, *arguments: str, cwd: Path | None = None) -> subprocess.CompletedProcess[str]:
        return subprocess.run([sys.executable, '-m', 'corvina_convert', *arguments],
                              capture_output=True, text=True, cwd=cwd, check=False, timeout=120)

    def test_report_and_exit_status(self, tmp_path):
        good, bad = tmp_path / 'good.txt', tmp_path / 'bad.txt'
        good.write_text(statement(document()))
        bad.write_text(statement(document(Номер='2', ПлательщикБИК='04452522')))
        assert (main(['check', str(good)]), self.run('check', str(good)).stdout) == \
            (0, '1 file checked: everything holds\n')
        result = self.run('check', str(good), str(bad))
        assert result.returncode == 1
        assert result.stdout.splitlines() == [
            f"{bad}:3: Платежное поручение № 2 of 2024-03-05: payer BIC: expected 9 digits, "
            "found '04452522'",
            '2 files checked: 1 problem in 1 file (1 bic)']
        listed = json.loads(self.run('check', '--json', str(bad)).stdout)
        assert [(item['file'], item['line'], item['kind'], item['subject']) for item in listed] \
            == [(str(bad), 3, 'bic', 'Платежное поручение № 2 of 2024-03-05')]

    @pytest.mark.parametrize('arguments', [('check',), ('check', '--nope', 'x.txt')])
    def test_command_line_mistake(self, arguments):
        assert self.run(*arguments).returncode == 2

    def test_file_named_check_is_still_converted(self, tmp_path):
        (tmp_path / 'check').write_text(statement(document()))
        result = self.run('check', cwd=tmp_path)
        assert result.returncode == 0
        assert json.loads(result.stdout)['file'] == 'check'

    def test_problem_text(self):
        problem = Problem(None, None, 'balance', OWN_ACCOUNT, '1', '2', 'it is off')
        assert str(problem) == '<statement>: it is off'
