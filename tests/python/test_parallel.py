"""A large statement is read in pieces on several threads with the interpreter lock released:
the outcome is that of one thread, other threads run meanwhile, and forked children parse.

CORVINA_CHUNK_THRESHOLD lets statements of a few kilobytes be read in pieces, so that these
tests need no statements of many megabytes, except where time spent in the core is the point.
"""

from __future__ import annotations

import os
import textwrap
import threading
import time
from pathlib import Path

import pytest
from conftest import FREE_THREADED, UNDER_ASAN, document_lines, many_sections, run_python

import corvina_py

TEXT = many_sections(400)


def outcome(data):
    """Everything a call produces, in comparable form."""
    try:
        result = corvina_py.parse(data)
    except corvina_py.ParseError as error:
        return (type(error), error.args, repr(getattr(error, 'detail', None)))
    return (result.encoding, result.header, result.accounts, result.documents, result.warnings)


def with_line(text: str, line: str, at: float) -> str:
    """The text with `line` put in at the line break nearest the share `at` of it."""
    cut = text.index('\n', int(len(text) * at)) + 1
    return text[:cut] + line + '\n' + text[cut:]


class TestSameAsOneThread:
    # name, statement: faults in the second half must lose to, or win over, those in the first
    # exactly as they do on one thread.
    CASES = [
        ('clean', TEXT),
        ('CR LF', TEXT.replace('\n', '\r\n')),
        ('unfinished', TEXT.rsplit('КонецФайла', 1)[0]),
        ('unrecognised late', with_line(TEXT, 'строка', 0.8)),
        ('stray attribute early, unrecognised late',
         with_line(with_line(TEXT, 'строка', 0.8), 'Ключ=значение', 0.2)),
        ('stray end lines', with_line(with_line(TEXT, 'КонецРасчСчет', 0.7), 'КонецДокумента', 0.3)),
        ('end of file early', with_line(TEXT, 'КонецФайла', 0.5)),
    ]

    @pytest.mark.parametrize('encoding', [None, 'utf-8', 'cp1251'])
    @pytest.mark.parametrize(('name', 'text'), CASES, ids=[name for name, _ in CASES])
    def test_pieces_agree(self, monkeypatch, name, text, encoding):
        data = text if encoding is None else text.encode(encoding)
        monkeypatch.setenv('CORVINA_CHUNK_THRESHOLD', '1')
        monkeypatch.setenv('CORVINA_THREADS', '1')
        expected = outcome(data)
        for threads in (None, '2', '64'):
            if threads is None:
                monkeypatch.delenv('CORVINA_THREADS')
            else:
                monkeypatch.setenv('CORVINA_THREADS', threads)
            assert outcome(data) == expected, threads

    def test_warnings_name_lines_of_the_whole_input(self, monkeypatch):
        monkeypatch.setenv('CORVINA_CHUNK_THRESHOLD', '1')
        warnings = corvina_py.parse(TEXT).warnings
        assert warnings
        lines = TEXT.split('\n')
        for lineno, _ in warnings:
            assert lines[lineno - 1] == 'КонецДокумента'


@pytest.fixture(scope='module')
def large():
    """About 64 MB: long enough in the core for another thread to be seen running."""
    return many_sections(120_000).encode('cp1251')


class TestLockReleased:
    def test_other_thread_runs_during_parse(self, large):
        # The statement never ends, so building the result takes no time: what the other
        # thread gets done, it gets done while the core reads.
        data = large.rsplit('КонецФайла'.encode('cp1251'), 1)[0]
        ticks = []
        stop = threading.Event()

        def ticking():
            while not stop.is_set():
                time.sleep(0.001)
                ticks.append(time.perf_counter())

        thread = threading.Thread(target=ticking)
        thread.start()
        try:
            time.sleep(0.05)
            # Parses for a fifth of a second at least, however fast the machine: with the lock
            # held, the other thread would tick only between the parses, once each at most.
            started = time.perf_counter()
            parses = 0
            while parses == 0 or time.perf_counter() - started < 0.2:
                with pytest.raises(corvina_py.UnfinishedError):
                    corvina_py.parse(data)
                parses += 1
            ended = time.perf_counter()
        finally:
            stop.set()
            thread.join()
        during = [tick for tick in ticks if started < tick < ended]
        # A tick a millisecond and a bit while the core reads; a quarter of that is plenty.
        assert len(during) >= max(5, 3 * parses, (ended - started) / 0.004), (
            len(during), parses, ended - started)


FORK_SCRIPT = textwrap.dedent('''
    import multiprocessing, os, sys
    sys.path.insert(0, {tests!r})
    from conftest import many_sections
    import corvina_py

    data = many_sections(30_000).encode('cp1251')

    def summary(_=None):
        result = corvina_py.parse(data)
        return len(result.documents), len(result.warnings), result.warnings[-1]

    expected = summary()
    expected = summary()
    pid = os.fork()
    if pid == 0:
        os._exit(0 if summary() == expected else 3)
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0, status
    with multiprocessing.get_context('fork').Pool(2) as pool:
        assert pool.map(summary, range(4)) == [expected] * 4
    print('ok')
''')


# Children forked while another thread parses: each reads its statement on more than its own
# thread (a library thread it started is still waiting after the parse, in /proc/self/task).
FORK_MID_PARSE_SCRIPT = textwrap.dedent('''
    import os, sys, threading
    sys.path.insert(0, {tests!r})
    from conftest import many_sections
    import corvina_py

    large = many_sections(20_000).encode('cp1251')
    small = many_sections(400).encode('cp1251')
    # Whatever the library makes once, on its first parse, is made before the first fork.
    corvina_py.parse(small)
    spinning = True

    def spin():
        while spinning:
            corvina_py.parse(large)

    thread = threading.Thread(target=spin)
    thread.start()
    threads = []
    for _ in range(10):
        pid = os.fork()
        if pid == 0:
            corvina_py.parse(small)
            os._exit(len(os.listdir('/proc/self/task')))
        threads.append(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))
    spinning = False
    thread.join()
    print(min(threads) > 1, threads)
''')


class TestFork:
    @pytest.mark.parametrize('threshold', ['1', None], ids=['tiny pieces', 'default'])
    def test_forked_children_parse(self, threshold):
        env = {'CORVINA_CHUNK_THRESHOLD': threshold} if threshold else {}
        done = run_python(FORK_SCRIPT.format(tests=str(Path(__file__).parent)), timeout=120,
                          env=env)
        assert (done.returncode, done.stdout.strip()) == (0, 'ok'), done.stderr

    @pytest.mark.skipif(not Path('/proc/self/task').is_dir() or len(os.sched_getaffinity(0)) < 2,
                        reason='counts threads in /proc on a machine of two cores or more')
    # The sanitizer's allocator takes no lock around a fork: a child forked while the other
    # thread allocates waits for that lock forever, whatever the library does.
    @pytest.mark.skipif(UNDER_ASAN, reason="AddressSanitizer's allocator does not survive a fork "
                        'in the middle of another thread\'s allocation')
    def test_children_forked_mid_parse_use_threads(self):
        done = run_python(FORK_MID_PARSE_SCRIPT.format(tests=str(Path(__file__).parent)),
                          timeout=300, env={'CORVINA_CHUNK_THRESHOLD': '1'})
        assert done.stdout.startswith('True'), (done.stdout, done.stderr)


INTERRUPT_SCRIPT = textwrap.dedent('''
    import os, signal, sys, threading, time
    import corvina_py

    # A shell starts a background job with SIGINT ignored, and Python then leaves it so.
    signal.signal(signal.SIGINT, signal.default_int_handler)

    section = {section!r}.encode('cp1251')
    # Never finished, so that no result is built: the time is the core's.
    data = '1CClientBankExchange\\nВерсияФормата=1.03\\n'.encode('cp1251') + section * {count}

    def run():
        try:
            corvina_py.parse(data)
        except corvina_py.UnfinishedError:
            return 'unfinished'
        except KeyboardInterrupt:
            return 'interrupted'

    def timed():
        started = time.perf_counter()
        outcome = run()
        return outcome, time.perf_counter() - started

    whole = min(timed()[1] for _ in range(2))
    references = sys.getrefcount(data)
    outcomes, late = [], []
    for _ in range(3):
        timer = threading.Timer(whole / 4, os.kill, (os.getpid(), signal.SIGINT))
        try:
            timer.start()
            outcome, took = timed()
            timer.join()
        except KeyboardInterrupt:
            outcome, took = 'interrupted after the parse', whole
        outcomes.append(outcome)
        late.append(took / whole - 0.25)
    outcomes.append(run())
    print(outcomes, min(late) < 0.5, sys.getrefcount(data) == references)
''')


@pytest.mark.skipif(UNDER_ASAN, reason='the sanitizer slows the parse and the timer thread '
                    'unevenly, so the signal may come after the parse it was meant for')
@pytest.mark.skipif(FREE_THREADED, reason='a free-threaded interpreter does not yet see every '
                    'pending signal during the parse')
class TestInterrupt:
    # Ctrl-C during a long parse without hooks stops it soon after, on one thread or several:
    # KeyboardInterrupt comes from the parse, which lets go of everything it held, and the
    # next parse runs as usual.
    @pytest.mark.parametrize('threads', ['1', None], ids=['one thread', 'default'])
    def test_keyboard_interrupt_stops_the_parse(self, threads):
        section = ''.join(f'{line}\n' for line in document_lines())
        script = INTERRUPT_SCRIPT.format(section=section, count=40_000_000 // len(section))
        done = run_python(script, timeout=300, env={'CORVINA_THREADS': threads} if threads else {})
        assert done.stdout.split('\n')[0] == (
            "['interrupted', 'interrupted', 'interrupted', 'unfinished'] True True"), done.stderr


EXIT_SCRIPT = textwrap.dedent('''
    import sys, threading, time
    sys.path.insert(0, {tests!r})
    from conftest import many_sections
    import corvina_py

    data = many_sections(3_000).encode('cp1251')

    def spin():
        while True:
            corvina_py.parse(data)

    for _ in range(3):
        threading.Thread(target=spin, daemon=True).start()
    time.sleep(0.2)
    sys.exit(7)
''')


def test_exit_with_parses_in_pieces():
    # Daemon threads ended at exit while their parses read pieces on threads of the core.
    script = EXIT_SCRIPT.format(tests=str(Path(__file__).parent))
    for _ in range(10):
        done = run_python(script, timeout=60, env={'CORVINA_CHUNK_THRESHOLD': '1'})
        assert (done.returncode, done.stderr) == (7, '')
