"""What a plan knows of its children, and keeps knowing: through a Ctrl-C at any
moment, children reaped by someone else, odd traffic on the channel, deadlines,
dropped plans and interpreter exit."""
import dataclasses
import errno
import os
import signal
import textwrap

import pytest

import vortan.async_.tandrel as tandrel
from conftest import run_python
from tandrel_helpers import block, value, HANG_GUARD, our_children, wait_ended, wait_until
from tandrel_helpers import gate, fake_time, reap_leftovers  # noqa: F401  (fixtures)

Pcall = tandrel.Pcall

# What a script run in its own interpreter uses to show what its plan left:
# every child of the process still alive, and every one not reaped.
LEFT_BEHIND = """
    import os

    def left_behind():
        found = []
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            try:
                with open("/proc/%s/stat" % entry) as f:
                    fields = f.read().rsplit(")", 1)[1].split()
            except OSError:
                continue
            if int(fields[1]) == os.getpid():
                found.append((int(entry), fields[0]))
        return found
"""


def script(body, **values):
    """LEFT_BEHIND and `body`, with `values` bound as globals first."""
    bound = "".join("%s = %r\n" % item for item in values.items())
    return bound + textwrap.dedent(LEFT_BEHIND) + textwrap.dedent(body)


# ---- interrupts at any moment ---------------------------------------------------

# A child that ignores SIGTERM and answers it with a Ctrl-C to its parent:
# the interrupt lands in the grace period, whatever the timing.
INTERRUPT_IN_GRACE = """
    import signal, sys, time
    import vortan.async_.tandrel as tandrel

    def stubborn(ready):
        signal.signal(signal.SIGTERM, lambda *_: os.kill(os.getppid(), signal.SIGINT))
        open(ready, "w").close()
        while True:
            time.sleep(1)

    def quick():
        return "quick"

    ready = DIRECTORY + "/ready"
    plan = tandrel.Pcall([quick, stubborn], iargs=[(), (ready,)], timeout=HOW == "join" and 0.5 or None)
    plan.grace_period = 120
    plan.start()
    while not os.path.exists(ready):
        time.sleep(0.01)
    try:
        if HOW == "join":
            plan.join()
        else:
            for index, result in plan.as_completed():
                break
        print("no interrupt")
    except KeyboardInterrupt:
        print("interrupt")
    except Exception as error:
        print(type(error).__name__)
    print(left_behind())
"""


@pytest.mark.parametrize("how", ["join", "as_completed"])
def test_a_ctrl_c_in_the_grace_period_is_raised_after_every_child_is_killed_and_reaped(how, tmp_path):
    r = run_python(script(INTERRUPT_IN_GRACE, HOW=how, DIRECTORY=str(tmp_path)), timeout=HANG_GUARD)
    assert r.stdout == "interrupt\n[]\n", r.stdout + r.stderr


# SIGALRM raises KeyboardInterrupt at a random moment of one call: Pcall,
# start (with or without a cap), join or as_completed. Whatever the moment,
# the plan's own kill and join then leave nothing behind.
INTERRUPT_ANYWHERE = """
    import random, signal
    import vortan.async_.tandrel as tandrel

    armed = [False]

    def on_alarm(*_):
        if armed[0]:
            armed[0] = False
            raise KeyboardInterrupt

    signal.signal(signal.SIGALRM, on_alarm)

    def work(i):
        return i

    random.seed(TRIALS)
    interrupted = failures = 0
    for trial in range(TRIALS):
        kind = ("join", "capped", "as_completed")[trial % 3]
        plan = None
        armed[0] = True
        signal.setitimer(signal.ITIMER_REAL, random.uniform(0.0005, 0.04))
        try:
            plan = tandrel.Pcall(work, iargs=[(i,) for i in range(24)], timeout=60)
            plan.start(max_running=4 if kind == "capped" else None)
            if kind == "as_completed":
                for _ in plan.as_completed():
                    pass
            else:
                plan.join()
        except KeyboardInterrupt:
            interrupted += 1
        armed[0] = False
        signal.setitimer(signal.ITIMER_REAL, 0)
        if plan is not None:
            plan.kill()
            try:
                plan.join()
            except Exception:
                pass
        left = left_behind()
        if left:
            failures += 1
            print("trial", trial, kind, "left", left)
            for pid, _ in left:
                os.kill(pid, signal.SIGKILL)
                os.waitpid(pid, 0)
    print(interrupted > 0, failures)
"""


def test_a_ctrl_c_at_any_moment_of_a_run_leaves_no_child_unknown_alive_or_unreaped():
    r = run_python(script(INTERRUPT_ANYWHERE, TRIALS=90), timeout=600)
    assert r.stdout.splitlines()[-1:] == ["True 0"], r.stdout + r.stderr[-3000:]


class Interrupt(BaseException):
    """Stands for a Ctrl-C (a KeyboardInterrupt would end the test session)."""


@pytest.mark.parametrize("member", ["join", "is_alive"])
def test_the_plan_reaps_and_counts_without_asking_its_workers(monkeypatch, member):
    # An interrupt inside the worker's own methods cannot cost a reap: the
    # plan does not call them.
    def interrupted(self, *args, **kwargs):
        raise Interrupt(member)

    class Worker(tandrel.ChildLabor):
        pass
    setattr(Worker, member, interrupted)
    monkeypatch.setattr(tandrel, "ChildLabor", Worker)
    plan = Pcall(value, iargs=[(0,), (1,)], timeout=HANG_GUARD)
    plan.start(max_running=1)
    plan.join()
    assert plan.results == (0, 1) and plan.livings == ()
    assert our_children(plan.pids) == []


# ---- children the plan has seen end -------------------------------------------------

class RecordingOs:
    def __init__(self):
        self.kills = []

    def kill(self, pid, sig):
        self.kills.append((pid, sig))


def test_with_sigchld_ignored_ended_children_are_neither_listed_nor_signalled_nor_holding_descriptors(monkeypatch):
    terminated = []

    class Worker(tandrel.ChildLabor):
        def terminate(self):
            terminated.append(self._index)
    monkeypatch.setattr(tandrel, "ChildLabor", Worker)
    previous = signal.signal(signal.SIGCHLD, signal.SIG_IGN)
    try:
        plan = Pcall(value, iargs=[(i,) for i in range(40)], timeout=HANG_GUARD)
        descriptors = len(os.listdir("/proc/self/fd"))
        plan.start(max_running=2)
        plan.join()
        # Each finished child let go of its two descriptors.
        assert len(os.listdir("/proc/self/fd")) <= descriptors + 4
    finally:
        signal.signal(signal.SIGCHLD, previous)
    assert plan.results == tuple(range(40))
    assert plan.livings == ()
    fake_os = RecordingOs()
    monkeypatch.setattr(tandrel, "os", fake_os)
    plan.kill()
    plan.terminate()
    assert fake_os.kills == [] and terminated == []


# ---- the result channel -----------------------------------------------------------------

CHANNEL = []


def note_then_answer(i):
    CHANNEL[0].put((i, True, "note"))
    return "answer %d" % i


def test_each_child_is_reported_once_by_its_own_report():
    plan = Pcall(note_then_answer, iargs=[(i,) for i in range(3)], timeout=HANG_GUARD)
    CHANNEL[:] = [plan._queue]
    try:
        plan.start()
        arrived = sorted(plan.as_completed())
    finally:
        CHANNEL.clear()
    assert arrived == [(i, "answer %d" % i) for i in range(3)]
    assert plan.results == ("answer 0", "answer 1", "answer 2")


# ---- deadlines and odd values ---------------------------------------------------------------

def test_a_capped_plan_forks_nothing_past_its_deadline(fake_time):
    plan = Pcall(value, iargs=[(0,), (1,), (2,)], timeout=5)
    plan.start(max_running=1)
    wait_ended(plan.pids[0])
    fake_time.now += 6
    with pytest.raises(TimeoutError):
        plan.join()
    assert plan.pids[1:] == (None, None)
    with pytest.raises(ChildProcessError, match="process-1 was never started"):
        plan.join()


@pytest.mark.parametrize("timeout", [float("nan"), 10 ** 400, -10 ** 400])
def test_a_timeout_that_is_no_number_of_seconds_is_refused_at_construction(timeout):
    with pytest.raises(ValueError, match="timeout"):
        Pcall(value, iargs=[(1,)], timeout=timeout)


def test_an_infinite_timeout_means_no_limit():
    assert Pcall.pcall(value, iargs=[(1,)], timeout=float("inf")) == (1,)


# ---- interpreter exit and dropped plans -------------------------------------------------------

EXIT_WITHOUT_JOIN = """
    import time
    import vortan.async_.tandrel as tandrel

    def big(i):
        return bytes(50 * 1024 * 1024)

    def slow(i):
        time.sleep(120)

    plan = tandrel.Pcall(big if WHAT == "big" else slow, iargs=[(0,), (1,)],
                         timeout=None if WHAT == "big" else 1)
    plan.start()
    print(*plan.pids, flush=True)
    raise RuntimeError("between start and join")
"""


@pytest.mark.parametrize("what", ["big", "slow"])
def test_exit_waits_for_a_started_plan_no_longer_than_its_deadline(what):
    r = run_python(script(EXIT_WITHOUT_JOIN, WHAT=what), timeout=HANG_GUARD)
    assert "between start and join" in r.stderr
    for pid in map(int, r.stdout.split()):
        assert not os.path.exists("/proc/%d" % pid) or open("/proc/%d/stat" % pid).read().split()[2] in "ZX"


def test_a_dropped_plan_stops_its_children_and_leaves_no_zombie_past_the_next_start(gate, reap_leftovers):
    plan = Pcall(block, cargs=(gate,), iargs=[(0,), (1,), (2,)])
    plan.start()
    pids = plan.pids
    del plan
    for pid in pids:  # killed: a zombie by now, or reaped already
        wait_until(lambda: not os.path.exists("/proc/%d" % pid) or
                   open("/proc/%d/stat" % pid).read().rsplit(")", 1)[1].split()[0] == "Z",
                   "child %d to be killed" % pid)
    assert Pcall.pcall(value, iargs=[(1,)]) == (1,)
    assert our_children(pids) == []


# ---- small things users hit first ----------------------------------------------------------------

@dataclasses.dataclass(frozen=True, init=False)
class FrozenError(Exception):
    """Refuses every attribute, __cause__ included."""


def raise_frozen(code):
    raise FrozenError(code)


def test_an_exception_that_refuses_a_cause_arrives_as_itself():
    with pytest.raises(FrozenError) as info:
        Pcall.pcall(raise_frozen, iargs=[(7,)], timeout=HANG_GUARD)
    assert info.value.args == (7,)


def test_too_many_children_for_the_descriptors_say_so():
    r = run_python("""
        import resource
        import vortan.async_.tandrel as tandrel
        resource.setrlimit(resource.RLIMIT_NOFILE, (64, resource.getrlimit(resource.RLIMIT_NOFILE)[1]))
        try:
            tandrel.Pcall.pcall(abs, iargs=[(i,) for i in range(100)])
        except OSError as error:
            print(error.errno, str(error), *getattr(error, "__notes__", ()))
    """, timeout=HANG_GUARD)
    number, text = r.stdout.split(" ", 1)
    assert int(number) == errno.EMFILE, r.stdout + r.stderr
    assert "100 child processes" in text and "max_running" in text
