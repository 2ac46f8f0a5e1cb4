"""Both modules on a free-threaded build: they keep the GIL off, and calls
from many threads at once lose nothing."""
import os
import sysconfig
import threading

import pytest

import vortan.async_.synchronize as sync
from vortan.async_.tandrel import Pcall
from conftest import raw_wrapper, run_python
from tandrel_helpers import HANG_GUARD

pytestmark = pytest.mark.skipif(not sysconfig.get_config_var("Py_GIL_DISABLED"),
                                reason="needs a free-threaded build")


@pytest.mark.parametrize("module", ["synchronize", "tandrel"])
def test_import_leaves_the_gil_off(module):
    # As the interpreter starts by itself: PYTHON_GIL=0 would hide a module
    # that asks for the GIL (and the warning it prints is made an error).
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    r = run_python("""
        import sys
        import vortan.async_.%s
        print(sys._is_gil_enabled())
    """ % module, env=env, options=["-W", "error::RuntimeWarning"])
    assert (r.returncode, r.stdout.strip(), r.stderr) == (0, "False", "")


def test_annotations_are_made_once_when_threads_read_them_first():
    for _ in range(300):
        wrapper = raw_wrapper(sync.locked, lambda self: None)
        start = threading.Barrier(8)
        seen = []

        def read():
            start.wait(HANG_GUARD)
            seen.append(wrapper.__annotations__)

        threads = [threading.Thread(target=read) for _ in range(8)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(HANG_GUARD)
        assert len(seen) == 8 and all(annotations is wrapper.__annotations__ for annotations in seen)


def plus_ten(x):
    return x + 10


class QuietStream:
    def write(self, text):
        return len(text)

    def flush(self):
        pass


def test_pcall_from_threads_while_others_make_locked_calls(monkeypatch):
    # multiprocessing flushes sys.stdout and sys.stderr before each fork and
    # in each child: a stream that one thread is flushing while another forks
    # stays locked in that child, which then hangs in its own flush. That is
    # the interpreter's hazard of forking with threads, not the module's.
    monkeypatch.setattr("sys.stdout", QuietStream())
    monkeypatch.setattr("sys.stderr", QuietStream())
    class Counter:
        def __init__(self):
            self.n = 0

        @sync.locked
        def add(self):
            self.n += 1

    counter = Counter()
    calls = 20_000
    start = threading.Barrier(4 + 4)
    results, errors = [], []

    def plans(index):
        try:
            start.wait(HANG_GUARD)
            for round_ in range(5):
                args = [(index * 100 + round_ * 10 + i,) for i in range(3)]
                got = Pcall.pcall(plus_ten, iargs=args, timeout=HANG_GUARD)
                results.append((got, tuple(a[0] + 10 for a in args)))
        except BaseException as error:
            errors.append(error)

    def locked_calls():
        try:
            start.wait(HANG_GUARD)
            for _ in range(calls):
                counter.add()
        except BaseException as error:
            errors.append(error)

    threads = ([threading.Thread(target=plans, args=(i,)) for i in range(4)]
               + [threading.Thread(target=locked_calls) for _ in range(4)])
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(HANG_GUARD)
    assert not any(thread.is_alive() for thread in threads)
    assert errors == []
    assert len(results) == 4 * 5 and all(got == want for got, want in results)
    assert counter.n == 4 * calls


def test_plans_made_and_dropped_in_many_threads_then_exit():
    # Every plan joins the process's list of runs, which the exit handler
    # walks: threads adding and removing theirs at once must leave it whole.
    r = run_python("""
        import threading
        from vortan.async_.tandrel import Pcall

        def churn():
            for _ in range(10_000):
                Pcall(abs, iargs=[(1,)])

        threads = [threading.Thread(target=churn) for _ in range(8)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        print("done")
    """)
    assert (r.returncode, r.stdout, r.stderr) == (0, "done\n", "")
