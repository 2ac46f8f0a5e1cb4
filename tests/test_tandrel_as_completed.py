"""A cap on the children alive at once, and results as they arrive: the cap
is never exceeded (sampled from /proc), arrival order follows the children,
and every way out of as_completed leaves no child behind."""
import gc
import logging
import os
import signal
import threading
import types
import time as real_time

import pytest

import vortan.async_.tandrel as tandrel
from conftest import run_python
from tandrel_helpers import (block, fail, stubborn, value, HANG_GUARD, LOGGER_NAME, Gate, our_children, recording_labor, sequenced_labor,
                             unreported_text, wait_ended)
from tandrel_helpers import gate, fake_time, reap_leftovers  # noqa: F401  (fixtures)

Pcall = tandrel.Pcall

pytestmark = pytest.mark.usefixtures("reap_leftovers")


def nap(i, seconds=0.03):
    real_time.sleep(seconds)
    return i


def alive(pid):
    """Running (not a zombie) and our child."""
    if pid is None:
        return False
    try:
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
    except (FileNotFoundError, ProcessLookupError):  # reaped meanwhile
        return False
    return fields[0] not in ("Z", "X") and int(fields[1]) == os.getpid()


class Sampler:
    """Counts, from /proc, the plan's children alive at once while it runs."""

    def __init__(self, plan):
        self.plan = plan
        self.most = 0
        self.done = threading.Event()
        self.thread = threading.Thread(target=self.sample)

    def sample(self):
        while not self.done.is_set():
            self.most = max(self.most, sum(alive(pid) for pid in self.plan.pids))

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.done.set()
        self.thread.join(HANG_GUARD)


class Capped(Pcall):
    max_running = 3


# The sampling thread runs while children fork; they never use it.
@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
@pytest.mark.parametrize("how", ["join", "as_completed", "class attribute"])
def test_the_cap_is_never_exceeded_and_children_start_in_index_order(monkeypatch, events, how):
    monkeypatch.setattr(tandrel, "ChildLabor", recording_labor(events))
    cls = Capped if how == "class attribute" else Pcall
    plan = cls(nap, iargs=[(i,) for i in range(12)])
    with Sampler(plan) as sampler:
        if how == "class attribute":
            plan.start()
        else:
            plan.start(max_running=3)
        assert plan.pids[3:] == (None,) * 9
        if how == "as_completed":
            arrived = dict(plan.as_completed())
            assert arrived == {i: i for i in range(12)}
        else:
            plan.join()
    assert 1 <= sampler.most <= 3
    assert plan.results == tuple(range(12))
    assert [e[1] for e in events if e[0] == "fork"] == list(range(12))
    assert our_children(plan.pids) == []


@pytest.fixture
def events():
    return []


@pytest.mark.parametrize("bad,error", [
    (True, TypeError), (1.5, TypeError), ("2", TypeError), (0, ValueError), (-1, ValueError),
])
def test_a_bad_cap_is_refused_before_anything_forks(fake_time, bad, error):
    plan = Pcall(value, iargs=[(1,), (2,)])
    with pytest.raises(error, match="max_running"):
        plan.start(max_running=bad)
    with pytest.raises(TypeError):
        plan.start(2)  # keyword only
    assert not hasattr(plan, "starttime") and plan.pids == (None, None)
    plan.start(max_running=1)
    plan.join()
    assert plan.results == (1, 2)


def test_results_arrive_in_the_order_the_children_finish(monkeypatch):
    monkeypatch.setattr(tandrel, "ChildLabor", sequenced_labor([2, 0, 3, 1]))
    plan = Pcall(value, iargs=[(i * 10,) for i in range(4)])
    plan.start()
    assert list(plan.as_completed()) == [(2, 20), (0, 0), (3, 30), (1, 10)]
    assert plan.results == (0, 10, 20, 30) and hasattr(plan, "stoptime")
    plan.join()  # returns at once with the same results
    assert plan.results == (0, 10, 20, 30)


def leave_by_break(plan):
    for index, result in plan.as_completed():
        break


def leave_by_exception(plan):
    with pytest.raises(KeyError):
        for index, result in plan.as_completed():
            raise KeyError(index)


def leave_by_close(plan):
    it = plan.as_completed()
    assert next(it) == (0, (0,))
    it.close()
    assert list(it) == []


def leave_by_collection(plan):
    it = plan.as_completed()
    next(it)
    del it
    gc.collect()


@pytest.mark.parametrize("leave", [leave_by_break, leave_by_exception, leave_by_close, leave_by_collection])
def test_leaving_early_stops_the_other_children_and_keeps_what_arrived(gate, leave):
    plan = Pcall([value] + [block] * 3, iargs=[((0,),), (gate, 1), (gate, 2), (gate, 3)])
    plan.start(max_running=2)
    leave(plan)
    assert our_children(plan.pids) == []
    assert plan.pids[3] is None  # never started
    # Child 0's result stayed; child 1 was stopped before it reported.
    with pytest.raises(ChildProcessError) as info:
        plan.join()
    assert str(info.value) == unreported_text(plan, 1)


def test_a_failure_stops_the_other_children_and_is_raised(gate):
    plan = Pcall([block, fail, block], iargs=[(gate, 0), (1,), (gate, 2)])
    plan.start()
    with pytest.raises(ValueError) as info:
        list(plan.as_completed())
    assert info.value.args == ("child failed", 1)
    assert info.value.__cause__ is not None  # the child's traceback
    assert our_children(plan.pids) == []
    assert plan.results is None


def test_a_child_ending_without_reporting_is_raised_at_once(gate):
    plan = Pcall(block, cargs=(gate,), iargs=[(0,), (1,)])
    plan.start()
    os.kill(plan.pids[1], signal.SIGKILL)
    with pytest.raises(ChildProcessError) as info:
        next(plan.as_completed())
    assert str(info.value) == unreported_text(plan, 1)
    assert our_children(plan.pids) == []


class OpenOnError(logging.Handler):
    def __init__(self, gate):
        super().__init__(logging.ERROR)
        self.gate = gate
        self.messages = []

    def emit(self, record):
        self.messages.append(record.getMessage())
        self.gate.set()


class PastTheDeadlineWhenReady:
    """A clock at 1000 until the gate is open, at 2000 from then on."""

    def __init__(self, ready):
        self.ready = ready

    def time(self):
        return 2000.0 if self.ready.wait(0) else 1000.0


def test_the_time_limit_applies_and_children_not_started_never_start(monkeypatch):
    gate, ready = Gate(), Gate()
    monkeypatch.setattr(tandrel, "time", PastTheDeadlineWhenReady(ready))
    handler = OpenOnError(gate)  # child 1 reports while the plan is being stopped
    logging.getLogger(LOGGER_NAME).addHandler(handler)
    try:
        plan = Pcall([value, stubborn, value], iargs=[(0,), (gate, ready, "one"), (2,)], timeout=5)
        plan.grace_period = HANG_GUARD
        plan.start(max_running=1)
        with pytest.raises(TimeoutError):
            for index, result in plan.as_completed():
                assert (index, result) == (0, 0)
        [message] = handler.messages
        assert message.startswith("The following processes are still running after 5 seconds:\n    PID-%d: "
                                  "target=stubborn" % plan.pids[1])
        assert our_children(plan.pids) == []
        assert plan.pids[2] is None
        with pytest.raises(ChildProcessError) as info:
            plan.join()
        assert str(info.value) == "Child process-2 was never started."
    finally:
        logging.getLogger(LOGGER_NAME).removeHandler(handler)
        monkeypatch.undo()
        gate.close()
        ready.close()


def test_one_join_or_as_completed_at_a_time(gate):
    plan = Pcall(block, cargs=(gate,), iargs=[(0,), (1,)])
    with pytest.raises(RuntimeError, match="not started"):
        plan.as_completed()
    plan.start()
    it = plan.as_completed()
    with pytest.raises(RuntimeError, match="already running"):
        plan.as_completed()
    with pytest.raises(RuntimeError, match="already running"):
        plan.join()
    gate.set()
    assert sorted(it) == [(0, (0,)), (1, (1,))]
    plan.join()
    assert plan.results == ((0,), (1,))


def test_the_iterator_refuses_to_be_reentered_while_it_runs():
    # The result's rebuilding in the parent calls next() on the iterator that
    # is receiving it, after the child has ended: as a generator would, the
    # inner call is refused, and the run's count of children stays right.
    r = run_python("""
        import os
        import vortan.async_.tandrel as tandrel

        def reenter():
            for step in (lambda: next(IT), IT.close):
                try:
                    step()
                except ValueError as error:
                    print("refused:", error)
            return "rebuilt"

        class Reenters:
            def __reduce__(self):
                return reenter, ()

        plan = tandrel.Pcall(Reenters)
        plan.start()
        IT = plan.as_completed()
        os.waitid(os.P_PID, plan.pids[0], os.WEXITED | os.WNOWAIT)
        print(list(IT))
        plan.join()
        print(plan.results)
    """, timeout=HANG_GUARD)
    assert r.returncode == 0, r.stderr
    assert r.stdout == ("refused: the iterator is already running\n" * 2
                        + "[(0, 'rebuilt')]\n('rebuilt',)\n")


def test_children_held_back_never_start_after_an_error_left_join(monkeypatch):
    # The interrupt comes as child 1 is about to be forked, child 0 reaped:
    # none is alive then.
    class Interrupting:
        entered = 0

        def __enter__(self):
            Interrupting.entered += 1
            if Interrupting.entered == 2:
                raise KeyboardInterrupt("before the next fork")

        def __exit__(self, *exc_info):
            return False
    monkeypatch.setattr(tandrel, "managed_handlers", types.SimpleNamespace(
        tasklog=types.SimpleNamespace(consolidate_next_forked_logfile=Interrupting)))
    plan = Pcall(value, iargs=[(0,), (1,)])
    plan.start(max_running=1)
    with pytest.raises(KeyboardInterrupt):
        plan.join()
    with pytest.raises(ChildProcessError, match="never started"):
        plan.join()
    assert plan.pids[1] is None
