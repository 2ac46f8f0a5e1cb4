"""The interpreter exits while daemon threads are inside the modules' calls.

From 3.9 to 3.13 the interpreter ends such a thread with pthread_exit() when
it next wants the GIL; glibc unwinds its stack as a C++ exception, which must
pass through the modules as it passes through the interpreter's own frames.
"""
import pytest

from conftest import run_python

HANG_GUARD = 120

# Holds the thread that runs it: says so, then keeps giving up and taking back the GIL.
HOLD = """
import threading, time
inside = threading.Event()

def hold():
    inside.set()
    while True:
        time.sleep(0.001)

def compute():
    inside.set()
    while True:
        pass  # the eval loop hands the GIL over now and then
"""

# A plan's result whose rebuilding in the parent holds the rebuilding thread.
SLOW_RESULT = HOLD + """
import vortan.async_.tandrel as tandrel

class SlowToRebuild:
    def __reduce__(self):
        return hold, ()

def slow():
    return SlowToRebuild()

plan = tandrel.Pcall(slow, iargs=[()])
"""

CASES = {
    "locked": HOLD + """
from vortan.async_.synchronize import locked
class Worker:
    @locked
    def work(self):
        hold()
run = Worker().work
""",
    "Lockable.locked": HOLD + """
from vortan.async_.synchronize import Lockable
class Worker(Lockable):
    @Lockable.locked
    def work(self):
        compute()
run = Worker().work
""",
    "LockableMeta": HOLD + """
from vortan.async_.synchronize import LockableMeta
class Worker(metaclass=LockableMeta):
    def work(self):
        hold()
run = Worker().work
""",
    "join": SLOW_RESULT + """
def run():
    plan.start()
    plan.join()
""",
    "as_completed": SLOW_RESULT + """
def run():
    plan.start()
    list(plan.as_completed())
""",
    # The first result's rebuilding raises, so join stops the plan; the second
    # child ignores SIGTERM and reports while the stop routine waits for it.
    "stop routine": HOLD + """
import multiprocessing, signal
import vortan.async_.tandrel as tandrel

class Escape(BaseException):
    pass

escaped = []

def rebuild(kind):
    if kind == "hold":
        hold()
    if not escaped:
        escaped.append(kind)
        raise Escape

class Result:
    def __init__(self, kind):
        self.kind = kind
    def __reduce__(self):
        return rebuild, (self.kind,)

def target(kind, stubborn):
    if kind == "hold":
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
        stubborn.set()
        time.sleep(0.5)
    else:
        assert stubborn.wait(HANG_GUARD)
    return Result(kind)

stubborn = multiprocessing.get_context("fork").Event()
plan = tandrel.Pcall(target, iargs=[("escape", stubborn), ("hold", stubborn)])
plan.grace_period = HANG_GUARD

def run():
    plan.start()
    plan.join()
""",
}


@pytest.mark.parametrize("case", CASES)
def test_a_daemon_thread_inside_a_call_at_exit_ends_quietly(case):
    r = run_python(CASES[case].replace("HANG_GUARD", str(HANG_GUARD)) + """
threading.Thread(target=run, daemon=True).start()
assert inside.wait(%d)
print("exiting")
""" % HANG_GUARD, timeout=HANG_GUARD + 60)
    assert (r.returncode, r.stdout) == (0, "exiting\n"), r.stderr
    assert "FATAL" not in r.stderr
