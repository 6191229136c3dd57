"""Document.extra and Document.lineno: the keys beyond the fields and where a document starts,
on the objects, in the tables and in the converter's outputs."""

from __future__ import annotations

import csv
import json
import os
import re
from pathlib import Path

import pytest

import corvina_py
from conftest import (DOCUMENT_KEYS, UNDER_ASAN, document_lines, run_python, section_extras,
                      statement_of_lines)

ROOT = Path(__file__).resolve().parents[2]
SAMPLES = Path(os.environ.get('CORVINA_SAMPLES_DIR', ROOT.parent / 'shared' / 'samples'))
SAMPLE_FILES = sorted(SAMPLES.glob('*.txt')) if SAMPLES.is_dir() else []


def parse_lines(*groups: list[str], **options):
    return corvina_py.parse(statement_of_lines(*groups), **options)


class TestExtra:
    CASES = [
        # extra lines of the section, the extra dict expected
        ('none', [], {}),
        ('common keys', ['ПлательщикБанк2=г. Москва', 'ПоказательКБК=18210102010011000110'],
         {'ПлательщикБанк2': 'г. Москва', 'ПоказательКБК': '18210102010011000110'}),
        ('a repeat keeps its place and its last value',
         ['ОКАТО=1', 'Поле=а', 'ОКАТО=2'], {'ОКАТО': '2', 'Поле': 'а'}),
        ('field keys stay out, even repeated', ['Номер=18', 'Код=', 'ВидОплаты=01'], {'Код': ''}),
        ('keys are compared byte for byte',
         ['Код =1', 'код=2', ' Код=3'], {'Код ': '1', 'код': '2', ' Код': '3'}),
        ('a value with "="', ['ПоказательПериода=МС=03'], {'ПоказательПериода': 'МС=03'}),
    ]

    @pytest.mark.parametrize('encoding', ['utf-8', 'cp1251'])
    @pytest.mark.parametrize(('name', 'extra', 'expected'), CASES, ids=[c[0] for c in CASES])
    def test_keys_beyond_the_fields(self, name, extra, expected, encoding):
        data = statement_of_lines(document_lines(*extra)).encode(encoding)
        [document] = corvina_py.parse(data).documents
        assert document.extra == expected
        assert list(document.extra) == list(expected)

    def test_a_new_dict_each_time_outside_equality_and_repr(self):
        one, other = parse_lines(document_lines('Код=1'), document_lines('Код=2')).documents
        extra = one.extra
        extra['Код'] = 'changed'
        assert one.extra == {'Код': '1'} and one.extra is not one.extra
        assert one == other  # the 26 fields decide
        assert 'extra' not in repr(one) and 'lineno' not in repr(one)

    @pytest.mark.parametrize(('hook_body', 'expected'), [
        ("section['Добавлено'] = 'да'", {'Код': '1', 'Добавлено': 'да'}),
        ("del section['Код']", {}),
        ("section['Номер'] = '99'", {'Код': '1'}),
        ("section['Код'] = '2'", {'Код': '2'}),
    ])
    def test_hooks_leave_the_section(self, hook_body, expected):
        def hook(kind, section, header):
            exec(hook_body, {}, {'section': section})

        [document] = parse_lines(document_lines('Код=1'), hooks=[hook]).documents
        assert document.extra == expected

    def test_hooked_and_plain_parses_agree(self):
        text = statement_of_lines(document_lines('Код=1', 'Поле=ё', 'Код=2'),
                                  document_lines('ПлательщикБанк2=г. Москва'))
        for data in (text.encode(), text.encode('cp1251')):
            plain = corvina_py.parse(data).documents
            hooked = corvina_py.parse(data, hooks=[lambda *_: None]).documents
            assert [(d.lineno, d.extra) for d in plain] == [(d.lineno, d.extra) for d in hooked]


class TestLineno:
    @pytest.mark.parametrize('end', ['\n', '\r\n'])
    def test_the_opening_line_counts_blank_lines(self, end):
        text = statement_of_lines(document_lines(), [''], document_lines('', 'Код=1'),
                                  [' ', 'СекцияРасчСчет', 'ДатаНачала=01.03.2024',
                                   'РасчСчет=40702810000000000001', 'НачальныйОстаток=0',
                                   'КонецРасчСчет'], document_lines(), end=end)
        starts = [n for n, line in enumerate(text.split('\n'), 1)
                  if line.startswith('СекцияДокумент=')]
        assert [d.lineno for d in corvina_py.parse(text).documents] == starts

    def test_threaded_parse_gives_the_same_lines(self):
        # Read in pieces of a few kilobytes on two threads, and whole on one.
        script = '''
import corvina_py
from conftest import document_lines, statement_of_lines
groups = [document_lines(f'Код={n}', *([''] * (n % 3))) for n in range(400)]
documents = corvina_py.parse(statement_of_lines(*groups).encode('cp1251')).documents
print([(d.lineno, d.extra) for d in documents])
'''
        here = os.pathsep.join(filter(None, [str(Path(__file__).parent),
                                             os.environ.get('PYTHONPATH')]))
        whole = run_python(script, env={'PYTHONPATH': here, 'CORVINA_THREADS': '1'})
        pieces = run_python(script, env={'PYTHONPATH': here, 'CORVINA_THREADS': '2',
                                         'CORVINA_CHUNK_THRESHOLD': '4096'})
        assert whole.returncode == 0 and pieces.returncode == 0, whole.stderr + pieces.stderr
        assert "{'Код': '399'}" in whole.stdout
        assert pieces.stdout == whole.stdout


@pytest.mark.skipif(not SAMPLE_FILES, reason='the real samples are not here')
class TestSamples:
    """On the real samples: extra and lineno against the file's own lines, read apart."""

    @pytest.mark.parametrize('path', SAMPLE_FILES, ids=[p.name for p in SAMPLE_FILES])
    def test_attributes_and_table_match_the_lines(self, path):
        data = path.read_bytes()
        try:
            parsed = corvina_py.parse(data)
        except corvina_py.ParseError as error:  # some samples are refused, as they should be
            pytest.skip(f'refused: {error}')
        sections = section_extras(data.decode(parsed.encoding))
        kept = {d.lineno: d for d in parsed.documents}
        assert len(kept) == len(parsed.documents)
        assert set(kept) <= set(sections)
        assert len(sections) == len(parsed.documents) + len(parsed.warnings)
        for lineno, document in kept.items():
            assert list(document.extra.items()) == list(sections[lineno].items())

        pa = pytest.importorskip('pyarrow')
        table = pa.table(parsed.documents_table())
        assert table.column('lineno').to_pylist() == [d.lineno for d in parsed.documents]
        assert table.column('extra').to_pylist() == [list(d.extra.items())
                                                     for d in parsed.documents]


def statement_with_taxes() -> corvina_py.Statement:
    return parse_lines(document_lines('ПоказательКБК=18210102010011000110', 'ОКАТО=45383000'),
                       document_lines(),
                       document_lines('ПлательщикБанк2=г. Москва', 'ПоказательКБК=0'))


class TestTable:
    def test_pyarrow_types_and_values(self):
        pa = pytest.importorskip('pyarrow')
        statement = statement_with_taxes()
        table = pa.table(statement.documents_table())
        assert table.column_names[-3:-1] == ['lineno', 'extra']  # then direction
        assert table.schema.field('lineno').type == pa.int64()
        extra_type = table.schema.field('extra').type
        assert pa.types.is_map(extra_type)
        assert extra_type.key_type == pa.string() and extra_type.item_type == pa.string()
        assert not table.schema.field('extra').nullable
        assert table.column('extra').to_pylist() == [
            [('ПоказательКБК', '18210102010011000110'), ('ОКАТО', '45383000')], [],
            [('ПлательщикБанк2', 'г. Москва'), ('ПоказательКБК', '0')]]
        assert table.column('lineno').to_pylist() == [d.lineno for d in statement.documents]

    def test_polars(self):
        pl = pytest.importorskip('polars')
        frame = pl.DataFrame(statement_with_taxes().documents_table())
        assert frame['lineno'].dtype == pl.Int64
        # A map of its own from polars 2 on, a list of key/value structs before.
        extras = [list(row.items()) if isinstance(row, dict)
                  else [(entry['key'], entry['value']) for entry in row]
                  for row in frame['extra'].to_list()]
        assert extras == [[('ПоказательКБК', '18210102010011000110'), ('ОКАТО', '45383000')], [],
                          [('ПлательщикБанк2', 'г. Москва'), ('ПоказательКБК', '0')]]

    def test_duckdb(self):
        duckdb = pytest.importorskip('duckdb')
        documents = statement_with_taxes().documents_table()  # noqa: F841 (read by name)
        rows = duckdb.sql("select lineno, extra['ОКАТО'] from documents").fetchall()
        assert [row[0] for row in rows] == [d.lineno for d in statement_with_taxes().documents]
        assert [row[1] in ('45383000', ['45383000']) for row in rows] == [True, False, False]

    def test_pandas(self):
        pytest.importorskip('pyarrow')
        pd = pytest.importorskip('pandas')
        import pyarrow as pa
        frame = pa.table(statement_with_taxes().documents_table()).to_pandas(
            types_mapper=pd.ArrowDtype)
        assert list(frame['lineno']) == [d.lineno for d in statement_with_taxes().documents]
        assert [list(m) for m in frame['extra'].tolist()][1] == []

    def test_many_batches(self):
        # The table is cut into batches on the bytes of its texts; the map's entries must follow
        # their rows across the cuts.
        pa = pytest.importorskip('pyarrow')
        groups = [document_lines(f'Поле{n % 7}=' + 'я' * (n % 50)) for n in range(3000)]
        statement = parse_lines(*groups)
        table = pa.table(statement.documents_table())
        assert table.column('extra').to_pylist() == [list(d.extra.items())
                                                     for d in statement.documents]


class TestGuides:
    """The guides' snippets that read extra find the key in a statement that has it."""

    def test_snippets(self):
        if UNDER_ASAN:
            # DuckDB throws C++ exceptions of its own runtime while it plans a query, which the
            # AddressSanitizer runtime's interceptor for throwing cannot follow: it stops the
            # process. Nothing of ours runs there; the plain builds run the snippets.
            pytest.skip("DuckDB's exceptions under AddressSanitizer")
        duckdb = pytest.importorskip('duckdb')
        polars = pytest.importorskip('polars')
        guides = ''.join((ROOT / 'docs' / page).read_text(encoding='utf-8')
                         for page in ('results.md', 'tables.md'))
        snippets = [block for block in re.findall(r'```python\n(.*?)```', guides, re.S)
                    if 'ПоказательКБК' in block]
        assert len(snippets) >= 2
        data = statement_of_lines(document_lines('ПоказательКБК=18210102010011000110'),
                                  document_lines('Код=1')).encode('cp1251')
        for snippet in snippets:
            statement = corvina_py.parse(data)
            # What the blocks before them on their page made.
            scope = {'data': data, 'statement': statement, 'duckdb': duckdb, 'polars': polars,
                     'documents': statement.documents_table()}
            exec(snippet, scope)
        assert [(row[0], row[3]) for row in scope['taxes']] == [(3, '18210102010011000110')]
        assert scope['kbk']['kbk'].to_list() == ['18210102010011000110']


class TestConverter:
    def run(self, tmp_path, *args: str) -> None:
        from corvina_convert import main
        assert main(list(args)) == 0

    def test_json_has_lineno_and_extra(self, tmp_path):
        path = tmp_path / 'a.txt'
        path.write_text(statement_of_lines(document_lines('Код=1', 'ОКАТО=2')), encoding='utf-8')
        out = tmp_path / 'a.json'
        self.run(tmp_path, str(path), '-o', str(out))
        [document] = json.loads(out.read_text(encoding='utf-8'))['documents']
        assert document['lineno'] == 3
        assert list(document['extra'].items()) == [('Код', '1'), ('ОКАТО', '2')]

    @pytest.mark.parametrize('jobs', ['1', '2'])
    def test_csv_has_a_column_per_key_of_the_batch(self, tmp_path, jobs):
        texts = [
            statement_of_lines(document_lines('Код=1', 'ОКАТО=2'), document_lines()),
            statement_of_lines(document_lines('ОКАТО=3', 'Новый=4', 'Код=')),
            statement_of_lines(document_lines('Код=5')),
        ]
        paths = []
        for n, text in enumerate(texts):
            paths.append(tmp_path / f'{n}.txt')
            paths[-1].write_text(text, encoding='utf-8')
        out = tmp_path / 'docs.csv'
        self.run(tmp_path, '-f', 'csv', '-j', jobs, *map(str, paths), '-o', str(out))
        with open(out, encoding='utf-8', newline='') as stream:
            header, *rows = csv.reader(stream, quoting=csv.QUOTE_NOTNULL)
        fields = [name for name in DOCUMENT_KEYS]
        assert header == [*fields, 'lineno', 'direction', 'Код', 'ОКАТО', 'Новый']
        assert [row[len(fields):] for row in rows] == [
            ['3', None, '1', '2', None], ['19', None, None, None, None],
            ['3', None, '', '3', '4'], ['3', None, '5', None, None]]
