"""Only on a free-threaded interpreter: the import switches the interpreter lock on, and with the
lock forced off (the user's choice) parsing from many threads and hooks whose dict another thread
is writing stay sound.

Every check runs in a fresh interpreter, because whether the lock is on is decided once per
process and pytest's own process has long imported the module.
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
import sysconfig
import textwrap
from pathlib import Path

import pytest

import corvina_py

pytestmark = pytest.mark.skipif(not sysconfig.get_config_var('Py_GIL_DISABLED'),
                                reason='needs a free-threaded (--disable-gil) interpreter')

FORCED_OFF = [
    pytest.param(['-X', 'gil=0'], {}, id='-X gil=0'),
    pytest.param([], {'PYTHON_GIL': '0'}, id='PYTHON_GIL=0'),
]


def run_python(script: str, options=(), env_extra=None, timeout=300) -> dict:
    """Runs script in a new interpreter and returns the JSON object it prints last."""
    env = dict(os.environ)
    # The suite itself may run with the lock forced off or with warnings filtered; each check
    # chooses its own configuration.
    for name in ('PYTHON_GIL', 'PYTHONWARNINGS'):
        env.pop(name, None)
    module_dir = str(Path(corvina_py.__file__).resolve().parent)
    env['PYTHONPATH'] = os.pathsep.join([module_dir, *filter(None, [env.get('PYTHONPATH')])])
    env.update(env_extra or {})
    done = subprocess.run([sys.executable, *options, '-c', textwrap.dedent(script)], env=env,
                          capture_output=True, text=True, timeout=timeout, check=False)
    assert done.returncode == 0, (done.returncode, done.stderr[-3000:])
    assert done.stderr == '', done.stderr[-3000:]
    return json.loads(done.stdout.splitlines()[-1])


IMPORT_SCRIPT = '''
    import json, sys, warnings
    before = sys._is_gil_enabled()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter('always')
        import corvina_py
    after = sys._is_gil_enabled()
    result = corvina_py.parse('\\n'.join([
        '1CClientBankExchange', 'ВерсияФормата=1.03', 'СекцияРасчСчет', 'ДатаНачала=01.03.2024',
        'РасчСчет=40702810938000012345', 'НачальныйОстаток=1250.15', 'КонецРасчСчет',
        'КонецФайла']))
    print(json.dumps({
        'before': before, 'after': after, 'header': result.header,
        'warnings': [(w.category.__name__, str(w.message)) for w in caught],
    }))
'''


class TestLockDeclaration:
    def test_import_switches_the_lock_on(self):
        seen = run_python(IMPORT_SCRIPT)
        assert (seen['before'], seen['after']) == (False, True)
        # CPython says so once, naming the module.
        assert len(seen['warnings']) == 1
        category, message = seen['warnings'][0]
        assert category == 'RuntimeWarning'
        assert "'corvina_py'" in message and 'GIL' in message
        assert seen['header'] == {'ВерсияФормата': '1.03'}

    @pytest.mark.parametrize(('options', 'env'), FORCED_OFF)
    def test_lock_forced_off_stays_off(self, options, env):
        # The user's explicit choice outranks the module's declaration, silently.
        seen = run_python(IMPORT_SCRIPT, options, env)
        assert (seen['before'], seen['after'], seen['warnings']) == (False, False, [])
        assert seen['header'] == {'ВерсияФормата': '1.03'}

    def test_lock_forced_on_stays_on(self):
        seen = run_python(IMPORT_SCRIPT, ['-X', 'gil=1'])
        assert (seen['before'], seen['after'], seen['warnings']) == (True, True, [])


# Shared by the thread scripts: a statement of one account and `count` payment documents.
STATEMENT_CODE = '''
    import json, sys, threading
    import corvina_py
    from corvina_py import SectionType
    assert not sys._is_gil_enabled(), 'the lock should be forced off for this check'

    def statement(count, tagged=None):
        lines = ['1CClientBankExchange', 'ВерсияФормата=1.03', 'Отправитель=Бухгалтерия',
                 'СекцияРасчСчет', 'ДатаНачала=01.03.2024', 'РасчСчет=40702810938000012345',
                 'НачальныйОстаток=1250.15', 'КонецРасчСчет']
        for number in range(1, count + 1):
            fields = {
                'Номер': str(number), 'Дата': '05.03.2024',
                'Сумма': f'{number}.{number % 100:02}', 'НазначениеПлатежа': 'Оплата',
                'ПлательщикИНН': '7701234567', 'ПлательщикБИК': '044525225',
                'ПлательщикБанк1': 'ПАО СБЕРБАНК', 'ПлательщикСчет': '40702810938000012345',
                'ПолучательИНН': '5009876543', 'ПолучательСчет': '40702810100000054321',
                'ПолучательБИК': '044525593', 'ПолучательБанк1': 'АО "АЛЬФА-БАНК"',
            }
            fields.update(dict.fromkeys(tagged or (), 'g0'))
            lines += ['СекцияДокумент=Платежное поручение',
                      *(f'{key}={value}' for key, value in fields.items()), 'КонецДокумента']
        return '\\n'.join([*lines, 'КонецФайла']) + '\\n'

    def outcome(result):
        return (result.encoding, result.header, result.accounts, result.documents,
                result.warnings)
'''

OWN_ATTRS_SCRIPT = STATEMENT_CODE + '''
    THREADS, ROUNDS = 8, 15

    def rewriting(section_type, attrs, header):
        # Changes of every kind, each on the dict this call was given.
        if section_type == SectionType.Document:
            attrs['НазначениеПлатежа'] += ' №' + attrs['Номер']
            attrs['ПолучательБанк1'] = attrs.pop('ПолучательБанк1').lower()
            attrs['Получатель'] = header['Отправитель']
            for key in sorted(attrs, reverse=True):
                attrs[key] = attrs.pop(key)
        else:
            attrs['КонечныйОстаток'] = attrs['НачальныйОстаток']
        attrs['Лишнее'] = 'x'
        del attrs['Лишнее']

    def counting(section_type, attrs, header):
        attrs['Плательщик'] = str(len(attrs))

    data = statement(40)
    hooks = [rewriting, counting]
    expected = outcome(corvina_py.parse(data, hooks))
    assert len(expected[3]) == 40 and expected[4] == []
    barrier = threading.Barrier(THREADS)
    differing, failures = [], []

    def work():
        try:
            barrier.wait()
            for _ in range(ROUNDS):
                seen = outcome(corvina_py.parse(data, hooks))
                if seen != expected:
                    differing.append(repr(seen)[:500])
        except BaseException as error:
            failures.append(repr(error))

    threads = [threading.Thread(target=work) for _ in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    print(json.dumps({'lock': sys._is_gil_enabled(), 'differing': differing[:3],
                      'failures': failures[:3],
                      'purpose': expected[3][0].purpose, 'payee': expected[3][0].payee}))
'''

# One parser thread per writer thread. The first hook hands its attrs to the writer and returns
# once the writer is busy with it, so the read-back of attrs races the writer's updates. Each
# update sets every tagged key to one new generation in a single dict.update, and adds or drops an
# extra key; any section that was read back whole shows one generation in all its tagged fields.
RACING_SCRIPT = STATEMENT_CODE + '''
    import time
    PAIRS, ROUNDS, DOCUMENTS, WRITES_PER_SECTION = 2, 8, 60, 400
    TAGGED = ('НазначениеПлатежа', 'Плательщик', 'Плательщик1', 'Получатель',
              'ПлательщикБанк1', 'ПолучательБанк1')
    EXTRA = ('Лишнее', 'Другое')
    ABORTS = {'dictionary changed size during iteration',
              'dictionary keys changed during iteration'}
    data = statement(DOCUMENTS, TAGGED)
    problems, counts = [], {'parses': 0, 'aborts': 0, 'sections': 0, 'updates': 0}
    counts_lock = threading.Lock()

    class Pair:
        def __init__(self):
            # (attrs, event set after the first write to them) while a section is open
            self.current = None
            self.armed = threading.Event()
            self.stop = False
            self.writes = 0

        def writer(self):
            generation = 0
            while self.armed.wait() and not self.stop:
                current = self.current
                if current is None:
                    continue
                attrs, started = current
                # Sleeps while no section is open, writes without pause while one is, long
                # enough to cover the read-back that follows the hook's return.
                for _ in range(WRITES_PER_SECTION):
                    if self.current is not current:
                        break
                    generation += 1
                    tag = f'g{generation}'
                    attrs.update(dict.fromkeys(TAGGED, tag))
                    if generation % 3:
                        attrs[EXTRA[generation % 2]] = tag
                    else:
                        attrs.pop(EXTRA[0], None)
                        attrs.pop(EXTRA[1], None)
                    self.writes += 1
                    started.set()
                while self.current is current:
                    time.sleep(0.0002)

        def racing(self, section_type, attrs, header):
            if section_type == SectionType.Document:
                started = threading.Event()
                self.current = (attrs, started)
                self.armed.set()
                if not started.wait(30):
                    problems.append(('writer stalled',))

        def checking(self, section_type, attrs, header):
            # attrs here is built from the section map that the read-back produced.
            self.armed.clear()
            self.current = None
            if section_type != SectionType.Document:
                return
            tags = {attrs.get(key) for key in TAGGED}
            extras = set(attrs) - set(self.expected_keys)
            if len(tags) != 1 or None in tags or not extras <= set(EXTRA):
                problems.append(('mixed section', sorted(attrs.items())))
            for key in extras:
                if not attrs[key].startswith('g'):
                    problems.append(('bad extra', key, attrs[key]))

        def parser(self):
            try:
                for _ in range(ROUNDS):
                    try:
                        result = corvina_py.parse(data, [self.racing, self.checking])
                    except RuntimeError as error:
                        if str(error) not in ABORTS:
                            problems.append(('unexpected error', repr(error)))
                        with counts_lock:
                            counts['aborts'] += 1
                        continue
                    with counts_lock:
                        counts['parses'] += 1
                        counts['sections'] += len(result.documents)
                    if result.warnings or len(result.documents) != DOCUMENTS:
                        problems.append(('lost documents', result.warnings[:3]))
                    for document in result.documents:
                        fields = {document.purpose, document.counterparty,
                                  document.counterparty_1, document.payee,
                                  document.counterparty_bank1, document.payee_bank1}
                        if len(fields) != 1 or not next(iter(fields)).startswith('g'):
                            problems.append(('mixed document', repr(document)[:300]))
            except BaseException as error:
                problems.append(('failure', repr(error)))
            finally:
                self.current = None
                self.stop = True
                self.armed.set()

    # The keys a section has before any writer touches it.
    keys = []
    corvina_py.parse(data, [lambda section_type, attrs, header: keys.append(list(attrs))])
    pairs = [Pair() for _ in range(PAIRS)]
    threads = []
    for pair in pairs:
        pair.expected_keys = keys[-1]
        threads += [threading.Thread(target=pair.writer), threading.Thread(target=pair.parser)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    counts['updates'] = sum(pair.writes for pair in pairs)
    print(json.dumps({'lock': sys._is_gil_enabled(), 'problems': problems[:5],
                      'counts': counts}))
'''

# Three threads a round. The read-backs of A and B both need the UTF-8 form of one fresh large
# str, which one of them makes while holding that str's lock; the other waits for it, and a
# thread that waits gives up the locks it holds, among them, for B, the lock of its attrs. C then
# deletes a key from B's attrs and drops it. A read-back that walked attrs in place would see the
# dict change under it (and read a freed key); one that copies it first reads it whole.
SUSPENDED_SCRIPT = STATEMENT_CODE + '''
    import time
    data = statement(1)
    problems = []
    for round_ in range(50):
        big = 'Ж' * (1 << 19) + str(round_)
        owned = [''.join(['Ключ', str(round_)])]
        start = threading.Barrier(3, timeout=30)
        handed, extras = [], []

        def converting(section_type, attrs, header):
            if section_type == SectionType.Document:
                attrs.clear()
                attrs[big] = 'x'
                start.wait()

        def sharing(section_type, attrs, header):
            if section_type == SectionType.Document:
                attrs[owned[0]] = big
                handed.append(attrs)
                start.wait()

        def checking(section_type, attrs, header):
            if section_type == SectionType.Document:
                extras.append({key: len(value) for key, value in attrs.items()
                               if key.startswith('Ключ')})

        def deleting():
            start.wait()
            time.sleep(0.0003)
            handed[0].pop(owned.pop())

        def parsing(hooks):
            try:
                corvina_py.parse(data, hooks)
            except BaseException as error:
                problems.append(repr(error)[:300])

        threads = [threading.Thread(target=parsing, args=([converting],)),
                   threading.Thread(target=parsing, args=([sharing, checking],)),
                   threading.Thread(target=deleting)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        if extras not in ([{}], [{f'Ключ{round_}': len(big)}]):
            problems.append(('not whole', repr(extras)[:300]))
    print(json.dumps({'lock': sys._is_gil_enabled(), 'problems': problems[:5]}))
'''


@pytest.mark.parametrize(('options', 'env'), FORCED_OFF)
class TestLockForcedOff:
    def test_threads_rewriting_their_own_attrs_agree(self, options, env):
        seen = run_python(OWN_ATTRS_SCRIPT, options, env)
        assert seen['lock'] is False
        assert (seen['differing'], seen['failures']) == ([], [])
        # The hooks did take effect, so the threads compared real rewrites.
        assert (seen['purpose'], seen['payee']) == ('Оплата №1', 'Бухгалтерия')

    def test_attrs_written_by_another_thread_read_back_whole(self, options, env):
        seen = run_python(RACING_SCRIPT, options, env)
        assert seen['lock'] is False
        assert seen['problems'] == []
        counts = seen['counts']
        assert counts['parses'] + counts['aborts'] == 2 * 8
        # The dict's lock keeps the writers out for the whole read-back, so it is never cut
        # short; were every parse aborted, there would have been nothing to check.
        assert counts['parses'] > 0
        # The writers really ran during the read-backs, not only before or after them.
        assert counts['updates'] >= counts['sections'] > 0

    def test_read_back_whole_while_waiting_for_a_str(self, options, env):
        # The debug allocator fills freed memory, so a freed key read back would show.
        seen = run_python(SUSPENDED_SCRIPT, options, {**env, 'PYTHONMALLOC': 'mimalloc_debug'})
        assert seen['lock'] is False
        assert seen['problems'] == []
