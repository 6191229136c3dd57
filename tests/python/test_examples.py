"""The example programs: the folder scale-out recipe and the normalising hook."""

from __future__ import annotations

import importlib.util
import os
import subprocess
import sys
from pathlib import Path

import pytest

import corvina_py

EXAMPLES = Path(__file__).resolve().parents[2] / 'examples'

ACCOUNT = ['СекцияРасчСчет', 'ДатаНачала=01.03.2024', 'РасчСчет=40702810938000012345',
           'НачальныйОстаток=0', 'КонецРасчСчет']


def document(amount: str, amount_key: str = 'Сумма') -> list[str]:
    return [
        'СекцияДокумент=Платежное поручение', 'Номер=1', 'Дата=01.03.2024',
        f'{amount_key}={amount}', 'ПлательщикСчет=1', 'ПлательщикИНН=2', 'ПлательщикБанк1=3',
        'ПлательщикБИК=4', 'ПолучательСчет=5', 'ПолучательИНН=6', 'ПолучательБанк1=7',
        'ПолучательБИК=8', 'НазначениеПлатежа=9', 'КонецДокумента',
    ]


def statement(*documents: list[str]) -> str:
    lines = ['1CClientBankExchange', *ACCOUNT]
    for one in documents:
        lines += one
    return '\n'.join(lines + ['КонецФайла']) + '\n'


def load(name: str):
    spec = importlib.util.spec_from_file_location(f'example_{name}', EXAMPLES / f'{name}.py')
    assert spec is not None and spec.loader is not None
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


# The test run installs dask[distributed]; the free-threaded stage deselects these (-m 'not
# dask'), as Dask's dependencies publish no wheels for that interpreter.
DASK_MISSING = pytest.mark.skipif(importlib.util.find_spec('distributed') is None,
                                  reason='dask[distributed] is not installed')


class TestParallelFolder:
    ENGINES = ['serial', 'futures', pytest.param('dask', marks=[pytest.mark.dask, DASK_MISSING])]

    @pytest.fixture
    def folder(self, tmp_path: Path) -> Path:
        # Totals that a float or a 28-digit context would get wrong.
        (tmp_path / 'a.txt').write_text(statement(document('0.1'), document('0.2')),
                                         encoding='utf-8')
        (tmp_path / 'b.txt').write_bytes(statement(document('79228162514264337593543950335'))
                                         .encode('cp1251'))
        (tmp_path / 'c.txt').write_text(statement(document('0.0000000000000000000000000001')),
                                         encoding='utf-8')
        (tmp_path / 'd.txt').write_text('1CClientBankExchange\nмусор\n', encoding='utf-8')
        (tmp_path / 'ignored.csv').write_text('not a statement')
        return tmp_path

    @pytest.mark.parametrize('engine', ENGINES)
    def test_every_file_once_in_name_order(self, folder, engine):
        done = subprocess.run(
            [sys.executable, str(EXAMPLES / 'parallel_folder.py'), str(folder),
             '--engine', engine, '--workers', '2'],
            capture_output=True, text=True, timeout=300, check=False)
        assert done.returncode == 1  # d.txt does not parse
        assert done.stderr == f"{folder / 'd.txt'}:2: Unrecognized line: 'мусор'\n"
        assert done.stdout.splitlines() == [
            f"{folder / 'a.txt'}: 2 documents, 1 accounts, 0 warnings",
            f"{folder / 'b.txt'}: 1 documents, 1 accounts, 0 warnings",
            f"{folder / 'c.txt'}: 1 documents, 1 accounts, 0 warnings",
            '4 files, 1 failed, 4 documents, '
            'total 79228162514264337593543950335.3000000000000000000000000001',
        ]

    @pytest.mark.dask
    @DASK_MISSING
    def test_local_cluster_on_loopback_matches_a_serial_run(self, folder):
        import psutil
        from distributed import Client, LocalCluster
        from distributed.core import Status

        parallel_folder = load('parallel_folder')
        serial = parallel_folder.parse_folder(str(folder), engine='serial')
        # Worker processes and every server (scheduler, nannies, workers, dashboard) on the
        # loopback address; a dashboard on port 0 never meets a busy 8787.
        with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host='127.0.0.1',
                          dashboard_address='127.0.0.1:0') as cluster:
            with Client(cluster) as client:
                workers = [psutil.Process(pid) for pid in client.run(os.getpid).values()]
            results = parallel_folder.parse_folder(str(folder), scheduler=cluster.scheduler_address)
            ran_on_cluster = 'parse_file' in cluster.scheduler.task_prefixes
            listening = {connection.laddr.ip for process in [psutil.Process(), *workers]
                         for connection in process.net_connections('inet')
                         if connection.status == psutil.CONN_LISTEN}
        assert results == serial
        assert ran_on_cluster
        assert listening == {'127.0.0.1'}
        assert cluster.status == Status.closed
        assert not any(worker.is_running() for worker in workers)

    def test_results_are_plain_data_matching_the_parser(self, folder):
        parallel_folder = load('parallel_folder')
        result = parallel_folder.parse_file(str(folder / 'b.txt'))
        parsed = corvina_py.parse((folder / 'b.txt').read_bytes())
        assert result['encoding'] == 'cp1251'
        assert result['documents'] == [
            {name: getattr(d, name) for name in parallel_folder.DOCUMENT_FIELDS}
            for d in parsed.documents]
        assert set(parallel_folder.DOCUMENT_FIELDS) == {
            name for name in dir(corvina_py.Document) if not name.startswith('_')}
        assert parallel_folder.parse_file(str(folder / 'missing.txt')) == {
            'file': str(folder / 'missing.txt'), 'error': 'No such file or directory',
            'lineno': None}

    def test_empty_folder(self, tmp_path):
        assert load('parallel_folder').parse_folder(str(tmp_path), engine='futures') == []

    def test_auto_parses_here_on_one_machine(self, folder, monkeypatch):
        # Workers on one machine only slow it down, Dask's local processes the most.
        parallel_folder = load('parallel_folder')
        for engine in ('parse_with_dask', 'parse_with_futures'):
            monkeypatch.setattr(parallel_folder, engine, None)
        assert parallel_folder.parse_folder(str(folder)) == \
            parallel_folder.parse_folder(str(folder), engine='serial')


class TestNormaliseHook:
    CASES = [
        # key as written, amount as written, amount after the hook
        ('Сумма', '30000,00', '30000.00'),
        ('Сумма ', '15.5', '15.5'),
        (' Сумма', '1,5', '1.5'),
        ('Сумма', '1.000,50', None),  # ambiguous: left alone, so still a warning
    ]

    @pytest.mark.parametrize(('key', 'written', 'expected'), CASES)
    def test_repairs_key_and_decimal_comma(self, key, written, expected):
        normalise = load('normalise_hooks').normalise
        result = corvina_py.parse(statement(document(written, key)), hooks=[normalise])
        assert [d.amount for d in result.documents] == ([expected] if expected else [])
        assert len(result.warnings) == (0 if expected else 1)

    def test_without_the_hook_the_same_documents_are_dropped(self):
        result = corvina_py.parse(statement(document('30000,00'), document('1', 'Сумма ')))
        assert result.documents == []
        assert len(result.warnings) == 2

    def test_sample_statement(self):
        done = subprocess.run([sys.executable, str(EXAMPLES / 'normalise_hooks.py')],
                              capture_output=True, text=True, timeout=120, check=False)
        assert done.returncode == 0, done.stderr
        assert done.stdout.splitlines()[-1] == 'with the hook:    5 documents, 0 warnings'
