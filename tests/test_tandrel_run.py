"""Running a plan: start forks the children inside one log context, join waits
for them, collects every result in child order and raises a child's failure,
a time limit ends in a report and TimeoutError, and pcall does it all in one
call. Waiting is driven by a fake clock where possible; nothing is timed."""
import gc
import logging
import os
import signal
import sys
import threading
import types

import pytest

import vortan.async_.tandrel as tandrel
from tandrel_helpers import (block, fail, stubborn, value, FORK, HANG_GUARD, LOGGER_NAME, FakeTime, Gate, RecordingManagedHandlers,
                             RecordingWorker, blocked_in_send, collected, is_reaped, our_children,
                             has_ended, recording_labor, sequenced_labor, unreported_text, wait_ended,
                             wait_until)
from tandrel_helpers import gate, fake_time, reap_leftovers  # noqa: F401  (fixtures)

Pcall = tandrel.Pcall
MiB = 1024 * 1024
TIMEOUT_TEXT = "Not all child processes finished running."

pytestmark = pytest.mark.usefixtures("reap_leftovers")


# ---- targets (they run in the children) ------------------------------------


def plus_ten(i):
    return 10 + i


def kill_myself(*args):
    os.kill(os.getpid(), signal.SIGKILL)


def leave(code):
    sys.exit(code)


def unsendable(*args):
    return threading.Lock()


def pattern(i, size):
    return bytes([i % 256]) * size


def first(v, **kwargs):
    return v


def by_kind(kind, gate):
    if kind == "fail":
        raise ValueError(kind)
    if kind == "killed":
        os.kill(os.getpid(), signal.SIGKILL)
    if kind == "block":
        gate.wait(HANG_GUARD)
    return kind


# ---- shared set-ups ----------------------------------------------------------

@pytest.fixture
def events():
    return []


@pytest.fixture
def handlers(events, monkeypatch):
    fake = RecordingManagedHandlers(events)
    monkeypatch.setattr(tandrel, "managed_handlers", fake)
    return fake


class NoChildren(Pcall):
    def _build_arguments(self):
        return []


def in_chain(tb, final):
    """Whether traceback entry `tb` is part of the chain that ends in `final`
    (a traceback grows at its head while the exception propagates)."""
    while final is not None:
        if final is tb:
            return True
        final = final.tb_next
    return False


def error_records(records):
    return [r for r in records if r.levelno >= logging.ERROR]


def still_running_text(timeout, *lines):
    return "The following processes are still running after %s seconds:\n%s\n" % (
        timeout, "\n".join(lines))


def line_of(child, target, args, kwargs):
    return "    PID-%d: target=%s, args=%s, kwargs=%s" % (child.pid, target, args, kwargs)


# ---- start -------------------------------------------------------------------

def test_start_takes_the_time_then_forks_in_order_inside_one_log_context(
        events, handlers, monkeypatch):
    clock = FakeTime(now=1234.5, events=events)
    monkeypatch.setattr(tandrel, "time", clock)
    monkeypatch.setattr(tandrel, "ChildLabor", recording_labor(events))
    plan = Pcall(plus_ten, iargs=[(0,), (1,), (2,)], timeout=60)
    assert plan.start() is None
    assert events == [
        ("time",), ("consolidate", (), {}), ("enter", (), {}),
        ("fork", 0), ("forked", 0), ("fork", 1), ("forked", 1), ("fork", 2), ("forked", 2),
        ("exit", None, None, None)]
    assert plan.starttime == 1234.5
    assert len(handlers.contexts) == 1
    assert all(type(p.pid) is int for p in plan._processes)
    plan.join()
    assert plan.results == (10, 11, 12)


def test_start_of_a_plan_without_children(events, handlers, fake_time):
    plan = NoChildren(value)
    assert plan._processes == []
    assert plan.start() is None
    assert events == [("consolidate", (), {}), ("enter", (), {}), ("exit", None, None, None)]
    assert plan.starttime == fake_time.now
    plan.join()
    assert plan.results == () and fake_time.sleeps == []


@pytest.mark.parametrize("container", [list, tuple, iter])
def test_start_walks_the_children_in_order_whatever_holds_them(events, handlers, container):
    plan = Pcall(value, iargs=[(1,)])
    plan._processes = container([RecordingWorker(events, i) for i in range(3)])
    plan.start()
    assert events[2:] == [("start", 0), ("start", 1), ("start", 2), ("exit", None, None, None)]


@pytest.mark.parametrize("exit_result", [False, None, 0, "", True, 1, "yes"])
def test_a_worker_failing_to_start_leaves_the_log_context_with_its_error(
        events, monkeypatch, exit_result):
    handlers = RecordingManagedHandlers(events, exit_result=exit_result)
    monkeypatch.setattr(tandrel, "managed_handlers", handlers)
    error = RuntimeError("cannot fork")
    plan = Pcall(value, iargs=[(1,)])
    plan._processes = [RecordingWorker(events, 0), RecordingWorker(events, 1, fails="start", error=error),
                       RecordingWorker(events, 2)]
    if exit_result:
        assert plan.start() is None  # suppressed by the context
    else:
        with pytest.raises(RuntimeError) as info:
            plan.start()
        assert info.value is error
    assert events[2:4] == [("start", 0), ("start", 1)]
    assert events[4][:3] == ("exit", RuntimeError, error)
    assert events[4][3] is not None and in_chain(events[4][3], error.__traceback__)
    # __exit__ runs while the error is being handled, as in a with statement.
    assert handlers.contexts[0].handled_at_exit is error
    assert sys.exc_info() == (None, None, None)


def test_a_failing_exit_takes_the_place_of_the_workers_error(events, monkeypatch):
    exit_error = KeyError("exit failed")
    monkeypatch.setattr(tandrel, "managed_handlers",
                        RecordingManagedHandlers(events, exit_error=exit_error))
    error = RuntimeError("cannot fork")
    plan = Pcall(value, iargs=[(1,)])
    plan._processes = [RecordingWorker(events, 0, fails="start", error=error)]
    with pytest.raises(KeyError) as info:
        plan.start()
    assert info.value is exit_error and info.value.__context__ is error

    del events[:]
    plan = Pcall(value, iargs=[(1,)])
    plan._processes = [RecordingWorker(events, 0), RecordingWorker(events, 1)]
    with pytest.raises(KeyError):
        plan.start()
    assert events[2:5] == [("start", 0), ("start", 1), ("exit", None, None, None)]


class Entering:
    def __init__(self, events):
        self.events = events

    def __enter__(self):
        self.events.append(("enter",))


class Leaving:
    def __init__(self, events):
        self.events = events

    def __exit__(self, *args):
        self.events.append(("exit",))


class OnTheInstanceOnly:
    """__enter__ and __exit__ as instance attributes: a with statement does
    not see them."""

    def __init__(self, events):
        self.__enter__ = lambda: events.append(("enter",))
        self.__exit__ = lambda *a: events.append(("exit",))


def failing_handlers(kind, events):
    def consolidate(make_context):
        def call():
            events.append(("consolidate",))
            return make_context(events)
        return types.SimpleNamespace(tasklog=types.SimpleNamespace(consolidate_next_forked_logfile=call))
    if kind == "no tasklog":
        return AttributeError, types.SimpleNamespace()
    if kind == "consolidate raises":
        def make(events):
            raise OSError("no log file")
        return OSError, consolidate(make)
    if kind == "enter raises":
        return ZeroDivisionError, RecordingManagedHandlers(events, enter_error=ZeroDivisionError())
    if kind == "no __exit__":
        return AttributeError, consolidate(Entering)
    if kind == "no __enter__":
        return AttributeError, consolidate(Leaving)
    if kind == "instance attributes":
        return AttributeError, consolidate(OnTheInstanceOnly)
    raise AssertionError(kind)


@pytest.mark.parametrize("kind", ["no tasklog", "consolidate raises", "enter raises", "no __exit__",
                                  "no __enter__", "instance attributes"])
def test_log_context_failures_start_no_child(events, fake_time, monkeypatch, kind):
    expected, handlers = failing_handlers(kind, events)
    monkeypatch.setattr(tandrel, "managed_handlers", handlers)
    fake_time.now = 77.0
    plan = Pcall(value, iargs=[(1,)])
    plan._processes = [RecordingWorker(events, 0), RecordingWorker(events, 1)]
    with pytest.raises(expected):
        plan.start()
    assert plan.starttime == 77.0
    assert not [e for e in events if e[0] in ("start", "exit")]
    if kind in ("no __exit__", "no __enter__", "instance attributes"):
        assert ("enter",) not in events


def test_a_second_start_is_refused_and_changes_nothing(
        events, handlers, fake_time, monkeypatch, gate):
    monkeypatch.setattr(tandrel, "ChildLabor", recording_labor(events))
    plan = Pcall(block, cargs=(gate,), iargs=[(0,), (1,)])
    plan.start()
    pids, started = plan.pids, plan.starttime
    del events[:]
    fake_time.now = 2000.0
    with pytest.raises(RuntimeError, match="already started"):
        plan.start()
    assert plan.starttime == started
    assert events == []
    assert plan.pids == pids
    assert plan.livings == tuple(plan._processes)
    gate.set()
    plan.join()
    assert plan.results == ((0,), (1,))


class RefusingLabor(tandrel.ChildLabor):
    def start(self):
        if self._index == 2:
            raise OSError("no more processes")
        super().start()


@pytest.mark.parametrize("how", ["start", "pcall"])
def test_a_start_failing_part_way_stops_and_reaps_the_children_it_started(gate, monkeypatch, how):
    monkeypatch.setattr(tandrel, "ChildLabor", RefusingLabor)
    plan = Pcall(block, cargs=(gate,), iargs=[(0,), (1,), (2,)])
    with pytest.raises(OSError, match="no more processes"):
        if how == "start":
            plan.start()
        else:
            Pcall.pcall(block, cargs=(gate,), iargs=[(0,), (1,), (2,)])
    if how == "start":
        first, second, third = plan._processes
        assert third.pid is None
        assert our_children([first.pid, second.pid]) == []
        assert [first.exitcode, second.exitcode] == [-signal.SIGTERM] * 2
    assert FORK.active_children() == []


def test_children_started_by_someone_else_are_left_alone(gate):
    # The real log context of vortan.log, which suppresses nothing.
    plan = Pcall(block, cargs=(gate,), iargs=[(0,), (1,), (2,)])
    first, second, third = plan._processes
    second.start()
    with pytest.raises(AssertionError):
        plan.start()
    assert our_children([first.pid]) == [] and first.exitcode == -signal.SIGTERM
    assert second.is_alive()
    assert third.pid is None
    gate.set()
    second.join(HANG_GUARD)
    assert second.exitcode == 0


# ---- join: results -----------------------------------------------------------

def test_results_come_in_child_order_whatever_the_finishing_order(fake_time, monkeypatch):
    monkeypatch.setattr(tandrel, "ChildLabor", sequenced_labor([2, 0, 1]))
    plan = Pcall(plus_ten, iargs=[(0,), (1,), (2,)])
    plan.start()
    assert plan.join() is None
    assert plan.results == (10, 11, 12)
    assert plan.stoptime == fake_time.now
    assert all(collected(p) and p.exitcode == 0 for p in plan._processes)
    assert all(is_reaped(pid) for pid in plan.pids)


def test_a_plan_of_one_child_without_anything_per_child():
    plan = Pcall(value, cargs=("only",), timeout=HANG_GUARD)
    plan.start()
    plan.join()
    assert plan.results == ("only",)


def test_results_bigger_than_a_pipe_buffer_arrive_while_join_waits():
    # Each child stays inside its put until the parent reads: a join that
    # did not drain while waiting would run into the time limit.
    plan = Pcall(pattern, iargs=[(i, MiB) for i in range(3)], timeout=HANG_GUARD)
    plan.start()
    plan.join()
    assert [len(r) for r in plan.results] == [MiB] * 3
    assert plan.results == tuple(pattern(i, MiB) for i in range(3))


def test_sixty_four_children_return_a_mebibyte_each():
    plan = Pcall(pattern, iargs=[(i, MiB) for i in range(64)], timeout=HANG_GUARD)
    plan.start()
    plan.join()
    assert len(plan.results) == 64
    for i, result in enumerate(plan.results):
        assert result == pattern(i, MiB), "child %d" % i
    assert all(is_reaped(pid) for pid in plan.pids)


def test_the_lowest_indexed_failure_is_raised_and_every_child_reaped(fake_time, monkeypatch):
    monkeypatch.setattr(tandrel, "ChildLabor", sequenced_labor([3, 2, 1, 0]))
    plan = Pcall([value, fail, value, fail], iargs=[(0,), (1,), (2,), (3,)])
    plan.start()
    with pytest.raises(ValueError) as info:
        plan.join()
    assert type(info.value) is ValueError and info.value.args == ("child failed", 1)
    assert plan.results is None
    assert plan.stoptime == fake_time.now
    assert all(collected(p) for p in plan._processes)
    assert [p.exitcode for p in plan._processes] == [0, 0, 0, 0]


# Each child: (target, its argument); the lowest-indexed child that failed or
# never reported decides what join raises.
@pytest.mark.parametrize("children,raised,index,exitcode", [
    ([(value, 0), (fail, 1), (kill_myself, 2)], ValueError, 1, None),
    ([(value, 0), (kill_myself, 1), (fail, 2)], ChildProcessError, 1, -signal.SIGKILL),
    ([(kill_myself, 0), (value, 1), (kill_myself, 2)], ChildProcessError, 0, -signal.SIGKILL),
    ([(leave, 3), (value, 1)], ChildProcessError, 0, 3),
    ([(value, 0), (leave, 0)], ChildProcessError, 1, 0),
], ids=["failure-first", "sigkill-first", "two-sigkills", "sys.exit", "exit-0"])
def test_a_child_that_never_reported_is_named_by_child_process_error(
        fake_time, children, raised, index, exitcode):
    targets = [t for t, _ in children]
    plan = Pcall(targets, iargs=[(a,) for _, a in children])
    plan.start()
    with pytest.raises(raised) as info:
        plan.join()
    if raised is ChildProcessError:
        assert plan._processes[index].exitcode == exitcode
        assert type(info.value) is ChildProcessError
        assert str(info.value) == unreported_text(plan, index)
        assert info.value.args == (unreported_text(plan, index),)
    else:
        assert info.value.args == ("child failed", index)
    assert plan.results is None
    assert plan.stoptime == fake_time.now
    assert all(collected(p) for p in plan._processes)


def test_a_result_that_cannot_be_sent(fake_time, monkeypatch):
    # The child reports the pickling error in place of its result ...
    plan = Pcall([value, unsendable], iargs=[(0,), (1,)])
    plan.start()
    with pytest.raises(Exception, match="pickle"):
        plan.join()
    assert [p.exitcode for p in plan._processes] == [0, 0]
    # ... and when that report cannot be sent either, it ends with exit code 1.
    monkeypatch.setattr(tandrel, "ExceptionWithTraceback", lambda error: threading.Lock())
    plan = Pcall([value, unsendable], iargs=[(0,), (1,)])
    plan.start()
    with pytest.raises(ChildProcessError) as info:
        plan.join()
    assert plan._processes[1].exitcode == 1
    assert str(info.value) == unreported_text(plan, 1)


def test_a_child_killed_from_another_thread_while_join_waits():
    gates = [Gate() for _ in range(3)]
    ready = [Gate() for _ in range(3)]
    try:
        plan = Pcall([value] + [stubborn] * 2,
                     iargs=[("quick",), (gates[1], ready[1], "one"), (gates[2], ready[2], "two")],
                     timeout=HANG_GUARD)
        plan.start()
        killer_errors = []

        def killer():
            try:
                wait_ended(plan.pids[0])
                assert ready[1].wait(HANG_GUARD) and ready[2].wait(HANG_GUARD)
                plan.kill()
            except BaseException as error:
                killer_errors.append(error)
        thread = threading.Thread(target=killer)
        thread.start()
        try:
            with pytest.raises(ChildProcessError) as info:
                plan.join()
        finally:
            thread.join(HANG_GUARD)
        assert killer_errors == []
        assert [p.exitcode for p in plan._processes] == [0, -signal.SIGKILL, -signal.SIGKILL]
        assert str(info.value) == unreported_text(plan, 1)
        assert plan.results is None and hasattr(plan, "stoptime")
        assert all(is_reaped(pid) for pid in plan.pids)
    finally:
        for g in gates + ready:
            g.close()


def test_a_second_join_keeps_the_results_and_renews_stoptime(fake_time):
    plan = Pcall(plus_ten, iargs=[(0,), (1,)])
    plan.start()
    plan.join()
    first = plan.results
    assert first == (10, 11)
    fake_time.now += 100
    plan.join()
    assert plan.results == first
    assert plan.stoptime == fake_time.now


def test_join_of_a_plan_never_started(fake_time):
    plan = Pcall(value, iargs=[(1,), (2,)])
    with pytest.raises(RuntimeError, match="join: the plan was not started"):
        plan.join()
    assert not hasattr(plan, "stoptime")
    assert plan.results is None
    assert fake_time.sleeps == []


# ---- join: waiting and the time limit --------------------------------------
# The fake clock decides where the deadline is; the waiting itself is real.

TIMERS = []


def later(seconds, action, *args):
    timer = threading.Timer(seconds, action, args)
    timer.start()
    TIMERS.append(timer)
    return timer


@pytest.fixture(autouse=True)
def timers_ended():
    """No timer thread outlives its test: a later test's fork would copy it."""
    yield
    while TIMERS:
        TIMERS.pop().join(HANG_GUARD)


@pytest.mark.parametrize("timeout", [None, 0, 0.0])
def test_without_a_time_limit_join_never_times_out(fake_time, gate, timeout, tandrel_records):
    plan = Pcall(block, cargs=(gate,), iargs=[("a",), ("b",)], timeout=timeout)
    plan.start()
    fake_time.now += 1e6  # far past any deadline
    later(0.3, gate.set)
    plan.join()
    assert plan.results == (("a",), ("b",))
    assert error_records(tandrel_records) == []
    assert fake_time.sleeps == []  # join waits for events, not by sleeping


def test_the_time_limit_is_read_on_every_pass(fake_time, gate):
    plan = Pcall(block, cargs=(gate,), iargs=[(1,)])
    plan.start()
    fake_time.now += 10
    later(0.3, setattr, plan, "timeout", 1)
    with pytest.raises(TimeoutError):
        plan.join()


def test_the_deadline_is_strictly_after_timeout_plus_starttime(fake_time, gate):
    plan = Pcall(block, cargs=(gate,), iargs=[(1,)], timeout=1)
    plan.start()  # starttime 1000.0
    fake_time.now = 1001.0
    later(0.3, gate.set)
    plan.join()
    assert plan.results == ((1,),)

    never = Gate()
    try:
        blocked = Pcall(block, cargs=(never,), iargs=[(2,)], timeout=1)
        blocked.start()
        fake_time.now = blocked.starttime + 1.001
        with pytest.raises(TimeoutError):
            blocked.join()
    finally:
        never.close()


class WatchedPcall(Pcall):
    """Records its use of livings and terminate into `self.events`."""
    events = None

    @property
    def livings(self):
        living = super().livings
        self.events.append(("livings", tuple(p._index for p in living)))
        return living

    def terminate(self):
        self.events.append(("terminate",))
        super().terminate()


class EventHandler(logging.Handler):
    def __init__(self, events, on_error=None):
        super().__init__(logging.DEBUG)
        self.events = events
        self.on_error = on_error

    def emit(self, record):
        self.events.append(("log", record.levelno, record.msg, record.args, record.exc_info))
        if self.on_error is not None and record.levelno >= logging.ERROR:
            self.on_error()


def test_timeout_reports_terminates_stops_and_reaps_every_child_then_raises(
        fake_time, gate, monkeypatch, events):
    monkeypatch.setattr(WatchedPcall, "events", events)
    monkeypatch.setattr(tandrel, "ChildLabor", recording_labor(events))
    handler = EventHandler(events)
    logging.getLogger(LOGGER_NAME).addHandler(handler)
    try:
        plan = WatchedPcall([value, block, block], iargs=[("zero",), (gate, 1), (gate, 2)],
                            ikwargs=[{}, {"tag": "one"}, {"tag": "two"}], timeout=5)
        plan.start()
        wait_ended(plan.pids[0])
        fake_time.now += 6
        del events[:]
        with pytest.raises(TimeoutError) as info:
            plan.join()
    finally:
        logging.getLogger(LOGGER_NAME).removeHandler(handler)
    assert type(info.value) is TimeoutError and info.value.args == (TIMEOUT_TEXT,)
    _, first, second = plan._processes
    text = still_running_text(
        5, line_of(first, "block", str((gate, 1)), "{'tag': 'one'}"),
        line_of(second, "block", str((gate, 2)), "{'tag': 'two'}"))
    # Child 0 reported and ended: it is not signalled.
    assert events == [("livings", (1, 2)), ("terminate",), ("terminate", 1),
                      ("terminate", 2), ("log", logging.ERROR, text, (), None)]
    assert not hasattr(plan, "stoptime") and plan.results is None
    # No child of the plan is left, alive or zombie.
    assert our_children(plan.pids) == []
    assert [p.exitcode for p in plan._processes] == [0, -signal.SIGTERM, -signal.SIGTERM]
    # A later join answers at once: child 1 was terminated before it reported.
    with pytest.raises(ChildProcessError) as info:
        plan.join()
    assert str(info.value) == unreported_text(plan, 1)


@pytest.mark.parametrize("answers", [True, False], ids=["reports-in-grace", "killed"])
def test_a_child_that_ignores_sigterm_gets_the_grace_period_then_sigkill(fake_time, answers, events):
    gate, ready = Gate(), Gate()
    handler = EventHandler(events, on_error=gate.set if answers else None)
    logging.getLogger(LOGGER_NAME).addHandler(handler)
    try:
        plan = Pcall([value, stubborn], iargs=[("zero",), (gate, ready, "one")], timeout=1)
        plan.grace_period = 0.3 if not answers else HANG_GUARD
        plan.start()
        assert ready.wait(HANG_GUARD)
        wait_ended(plan.pids[0])
        fake_time.now += 2
        with pytest.raises(TimeoutError):
            plan.join()
        assert our_children(plan.pids) == []
        if answers:
            # What arrived within the grace period is kept for a later join.
            assert [p.exitcode for p in plan._processes] == [0, 0]
            plan.join()
            assert plan.results == ("zero", "one")
        else:
            assert [p.exitcode for p in plan._processes] == [0, -signal.SIGKILL]
            with pytest.raises(ChildProcessError, match="exit code -9"):
                plan.join()
    finally:
        logging.getLogger(LOGGER_NAME).removeHandler(handler)
        gate.close()
        ready.close()


def test_join_called_after_the_deadline(fake_time, gate, tandrel_records):
    plan = Pcall(block, cargs=(gate,), iargs=[(1,)], timeout=1)
    plan.start()
    fake_time.now += 10
    with pytest.raises(TimeoutError):
        plan.join()
    [record] = error_records(tandrel_records)
    assert record.getMessage() == still_running_text(
        1, line_of(plan._processes[0], "block", str((gate, 1)), "{}"))

    quick = Pcall(value, iargs=[(1,), (2,)], timeout=1)
    quick.start()
    wait_ended(*quick.pids)
    fake_time.now += 10
    quick.join()  # every child ended before the deadline was looked at
    assert quick.results == (1, 2)


class DeadlineAtTheEnd:
    """A clock that reads 1000 until the given process has ended, and far
    past any deadline from then on."""

    def __init__(self):
        self.pid = None

    def time(self):
        if self.pid is not None and has_ended(self.pid):
            return 2000.0
        return 1000.0


def test_children_that_end_as_the_deadline_passes_give_their_results(monkeypatch, gate, tandrel_records):
    clock = DeadlineAtTheEnd()
    monkeypatch.setattr(tandrel, "time", clock)
    plan = Pcall(block, cargs=(gate,), iargs=[("late",)], timeout=1)
    plan.start()
    clock.pid = plan.pids[0]
    later(0.2, gate.set)
    plan.join()
    assert plan.results == (("late",),)
    assert error_records(tandrel_records) == []


def test_join_uses_the_rebound_logger(fake_time, gate, monkeypatch):
    logged = []
    monkeypatch.setattr(tandrel, "logger",
                        types.SimpleNamespace(error=lambda *a, **k: logged.append((a, k))))
    plan = Pcall(block, cargs=(gate,), iargs=[(1,)], timeout=2.5)
    plan.start()
    fake_time.now += 10
    with pytest.raises(TimeoutError):
        plan.join()
    assert len(logged) == 1 and logged[0][1] == {} and len(logged[0][0]) == 1
    assert logged[0][0][0].startswith(
        "The following processes are still running after 2.5 seconds:\n    PID-%d: target=block,"
        % plan.pids[0])


# ---- pcall -------------------------------------------------------------------

def test_pcall_returns_the_results_in_call_order(monkeypatch):
    monkeypatch.setattr(tandrel, "ChildLabor", sequenced_labor([2, 1, 0]))
    results = Pcall.pcall(plus_ten, iargs=[(1,), (2,), (3,)], timeout=HANG_GUARD)
    assert type(results) is tuple and results == (11, 12, 13)


class Recorded(Pcall):
    """Records its construction, start and join, and keeps its instances."""
    events = []
    instances = []

    def __init__(self, *args, **kwargs):
        self.events.append(("init", type(self), args, kwargs))
        self.instances.append(self)
        super().__init__(*args, **kwargs)

    def start(self):
        self.events.append(("start",))
        super().start()

    def join(self):
        self.events.append(("join",))
        super().join()
        self.events.append(("joined", self.results))


@pytest.fixture
def recorded(monkeypatch):
    monkeypatch.setattr(Recorded, "events", [])
    monkeypatch.setattr(Recorded, "instances", [])
    return Recorded


def test_pcall_on_a_subclass_uses_its_construction_start_and_join(recorded, fake_time):
    results = recorded.pcall(first, None, (), [(1,), (2,)], extra=[1, 2])
    assert results == (1, 2)
    assert recorded.events == [
        ("init", recorded, (first, None, (), [(1,), (2,)]), {"extra": [1, 2]}),
        ("start",), ("join",), ("joined", (1, 2))]
    assert recorded.events[-1][1] is results  # the very object join left
    plan = recorded.instances[0]
    # Through an instance, pcall still builds a new plan of the subclass.
    again = plan.pcall(value, iargs=[(3,)])
    assert again == (3,)
    assert len(recorded.instances) == 2 and type(recorded.instances[1]) is recorded


def test_pcall_raises_the_childs_exception():
    with pytest.raises(ValueError) as info:
        Pcall.pcall([value, fail, fail], iargs=[(0,), (1,), (2,)], timeout=HANG_GUARD)
    assert type(info.value) is ValueError and info.value.args == ("child failed", 1)


def test_pcall_passes_on_a_construction_error(recorded):
    with pytest.raises(TypeError):
        Pcall.pcall()
    error = LookupError("no plan")

    class Refused(recorded):
        def __init__(self, *args, **kwargs):
            raise error
    with pytest.raises(LookupError) as info:
        Refused.pcall(value)
    assert info.value is error and recorded.events == []


def test_pcall_times_out_after_terminating_the_children(recorded, gate, tandrel_records):
    with pytest.raises(TimeoutError) as info:
        recorded.pcall([value, block], iargs=[("quick",), (gate,)], timeout=1)
    assert str(info.value) == TIMEOUT_TEXT
    [plan] = recorded.instances
    [record] = error_records(tandrel_records)
    assert record.getMessage().startswith("The following processes are still running after 1 seconds:")
    wait_ended(*plan.pids)
    assert plan._processes[1].exitcode == -signal.SIGTERM
    with pytest.raises(ChildProcessError):
        plan.join()
    assert all(is_reaped(pid) for pid in plan.pids)


# ---- nothing left behind -----------------------------------------------------

def test_two_hundred_plans_leave_no_zombie_and_no_descriptor(recorded, fake_time):
    fake_time.tick = 1.0  # a second passes at each reading of the clock
    gate = Gate()  # never opened: the blocked children are terminated
    kinds = ["ok", "fail", "block", "killed"]

    def run(kind):
        if kind == "ok":
            assert recorded.pcall(by_kind, iargs=[("ok", gate)] * 2) == ("ok", "ok")
            return
        expected = {"fail": ValueError, "block": TimeoutError, "killed": ChildProcessError}[kind]
        # Only the plan that is meant to run out of time has a limit.
        timeout = 1 if kind == "block" else None
        with pytest.raises(expected):
            recorded.pcall(by_kind, iargs=[("ok", gate), (kind, gate)], timeout=timeout)
        if kind == "block":
            plan = recorded.instances[-1]
            wait_ended(*plan.pids)
            with pytest.raises(ChildProcessError):
                plan.join()

    run("ok")  # anything made lazily exists from here on
    recorded.instances.clear()
    gc.collect()
    descriptors = sorted(os.listdir("/proc/self/fd"))
    try:
        for i in range(200):
            run(kinds[i % 4])
            plan = recorded.instances[-1]
            unreaped = our_children(plan.pids)
            assert unreaped == [], "plan %d (%s)" % (i, kinds[i % 4])
        del plan
        recorded.instances.clear()
        recorded.events.clear()
        gc.collect()
        assert sorted(os.listdir("/proc/self/fd")) == descriptors
    finally:
        gate.close()
