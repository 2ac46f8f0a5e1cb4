"""Every child's outcome in one plan (return_exceptions), a time limit per
call (call_timeout), plans as context managers, errors that name their child,
and children that lead their own process group. What remains of a child is
read from /proc; plan deadlines are driven by a fake clock."""
import gc
import math
import os
import signal
import subprocess
import sys
import time

import pytest

import vortan.async_.tandrel as tandrel
from vortan.async_.exceptions import ChildTraceback
from tandrel_helpers import block, fail, value, FORK, has_ended, our_children, wait_until
from tandrel_helpers import gate, fake_time, reap_leftovers  # noqa: F401  (fixtures)

Pcall = tandrel.Pcall

pytestmark = pytest.mark.usefixtures("reap_leftovers")


# ---- targets (they run in the children) ------------------------------------

def leave(code):
    os._exit(code)


def nap(seconds):
    time.sleep(seconds)
    return seconds


def spawn_sleeper(path, gate):
    """Starts a grandchild `sleep`, writes its pid to `path`, then blocks."""
    sleeper = subprocess.Popen(["sleep", "100"])
    with open(path + ".tmp", "w") as f:
        f.write("%d %d" % (sleeper.pid, os.getpgid(0)))
    os.rename(path + ".tmp", path)
    return block(gate)


class Gather(Pcall):
    return_exceptions = True


def open_descriptors():
    gc.collect()  # plans dropped by earlier tests close theirs now, not halfway through this one
    return sorted(os.listdir("/proc/self/fd"))


def assert_no_child_left(plan):
    assert our_children([p for p in plan.pids if p is not None]) == []


# ---- return_exceptions ------------------------------------------------------

def mixed_plan(gate):
    """Children 0 to 3: a result, a failure, an exit without reporting, and a
    call that outlives its call_timeout."""
    return [(value, (10,)), (fail, (1,)), (leave, (3,)), (block, (gate,))]


def check_mixed_slots(plan, slots):
    pids = plan.pids
    assert slots[0] == 10
    assert type(slots[1]) is ValueError and slots[1].args == ("child failed", 1)
    assert isinstance(slots[1].__cause__, ChildTraceback)
    assert type(slots[2]) is ChildProcessError
    assert (slots[2].index, slots[2].pid, slots[2].exitcode) == (2, pids[2], 3)
    assert str(slots[2]) == "Child process-2 (pid %d) ended with exit code 3 before reporting a result." % pids[2]
    assert type(slots[3]) is TimeoutError
    assert (slots[3].index, slots[3].pid, slots[3].exitcode) == (3, pids[3], -signal.SIGTERM)
    assert "call_timeout" in str(slots[3]) and "process-3" in str(slots[3])


@pytest.mark.parametrize("way", ["join", "as_completed", "class attribute"])
def test_return_exceptions_gives_every_childs_outcome_in_its_slot(gate, way):
    targets, iargs = zip(*mixed_plan(gate))
    cls = Gather if way == "class attribute" else Pcall
    plan = cls(list(targets), iargs=list(iargs))
    plan.start(call_timeout=2)
    if way == "as_completed":
        seen = dict(plan.as_completed(return_exceptions=True))
        assert sorted(seen) == [0, 1, 2, 3]
        check_mixed_slots(plan, [seen[i] for i in range(4)])
    else:
        plan.join() if way == "class attribute" else plan.join(return_exceptions=True)
    check_mixed_slots(plan, plan.results)
    assert_no_child_left(plan)


def test_gather_pcall_returns_failures_in_place():
    results = Gather.pcall([value, fail], iargs=[(1,), (2,)])
    assert results[0] == 1 and type(results[1]) is ValueError


def test_at_the_plan_deadline_join_still_returns_every_slot(fake_time, gate, tandrel_records):
    plan = Pcall(block, timeout=5, cargs=(gate,), iargs=[(0,), (1,), (2,)])
    plan.start(max_running=1)
    fake_time.now += 10
    plan.join(return_exceptions=True)
    first, *rest = plan.results
    assert type(first) is TimeoutError and (first.index, first.pid) == (0, plan.pids[0])
    assert [type(e) for e in rest] == [ChildProcessError, ChildProcessError]
    assert [(e.index, e.pid, e.exitcode, str(e)) for e in rest] == [
        (i, None, None, "Child process-%d was never started." % i) for i in (1, 2)]
    assert [r.levelname for r in tandrel_records] == ["ERROR"]  # the children still running, as without
    assert_no_child_left(plan)


def test_what_was_delivered_before_a_timeout_can_be_read(fake_time, gate):
    plan = Pcall([value, block, value], timeout=5, iargs=[(1,), (gate,), (3,)])
    plan.start()
    pids = plan.pids
    wait_until(lambda: has_ended(pids[0]) and has_ended(pids[2]), "children 0 and 2 to end")
    fake_time.now += 10
    with pytest.raises(TimeoutError) as info:
        plan.join()
    assert not hasattr(info.value, "index")  # the plan's own limit, not one child's
    plan.join(return_exceptions=True)
    assert plan.results[0] == 1 and plan.results[2] == 3
    assert type(plan.results[1]) is TimeoutError and plan.results[1].index == 1


def test_no_child_is_stopped_because_another_failed(gate):
    plan = Pcall([fail, block], iargs=[(0,), (gate,)])
    plan.start()
    outcomes = plan.as_completed(return_exceptions=True)
    index, error = next(outcomes)
    assert (index, type(error)) == (0, ValueError)
    assert not has_ended(plan.pids[1])
    gate.set()
    assert list(outcomes) == [(1, ())]


# ---- call_timeout ---------------------------------------------------------------

def test_a_capped_childs_limit_counts_from_its_own_fork():
    # Run one after the other, the two naps take 2.4 s in all: a limit counted
    # from the start of the plan would stop the second.
    plan = Pcall(nap, iargs=[(1.2,), (1.2,)])
    plan.start(max_running=1, call_timeout=2.0)
    plan.join()
    assert plan.results == (1.2, 1.2)


def test_a_call_past_its_limit_fails_the_plan_like_any_failure(gate):
    class Limited(Pcall):
        call_timeout = 0.5
    with pytest.raises(TimeoutError) as info:
        Limited.pcall([value, block], iargs=[(1,), (gate,)])
    error = info.value
    assert error.index == 1 and error.exitcode == -signal.SIGTERM
    assert str(error) == "Child process-1 (pid %d) did not finish within its call_timeout of 0.5 seconds." % error.pid


@pytest.mark.parametrize("bad, error", [
    (0, ValueError), (-1, ValueError), (math.nan, ValueError), (10 ** 400, ValueError),
    (True, TypeError), ("1", TypeError), ([1], TypeError)])
@pytest.mark.parametrize("where", ["keyword", "class attribute"])
def test_a_bad_call_timeout_is_refused_before_anything_forks(bad, error, where):
    plan = Pcall(value, iargs=[(1,), (2,)])
    with pytest.raises(error, match="call_timeout"):
        if where == "keyword":
            plan.start(call_timeout=bad)
        else:
            plan.call_timeout = bad
            plan.start()
    assert plan.pids == (None, None)


# ---- with -----------------------------------------------------------------------

def test_leaving_with_on_an_exception_stops_and_reaps_every_child(gate):
    before = open_descriptors()
    with pytest.raises(LookupError):
        with Pcall(block, cargs=(gate,), iargs=[(0,), (1,)], timeout=60) as plan:
            plan.start()
            raise LookupError("leaving")
    assert_no_child_left(plan)
    assert [p.exitcode for p in plan._processes] == [-signal.SIGTERM] * 2
    assert open_descriptors() == before


def test_leaving_with_normally_joins_a_started_plan():
    before = open_descriptors()
    with Pcall(value, iargs=[(1,), (2,), (3,)]) as plan:
        plan.start(max_running=2)
    assert plan.results == (1, 2, 3)
    assert_no_child_left(plan)
    assert open_descriptors() == before


def test_with_leaves_a_plan_that_was_never_started_alone():
    with Pcall(value, iargs=[(1,)]) as plan:
        pass
    assert plan.pids == (None,) and plan.results is None
    plan.start()
    plan.join()
    assert plan.results == (1,)


# ---- errors that name their child ---------------------------------------------------

def kill_myself():
    os.kill(os.getpid(), signal.SIGKILL)


@pytest.mark.parametrize("target, exitcode", [(lambda: leave(4), 4), (kill_myself, -signal.SIGKILL)])
def test_child_process_error_carries_index_pid_and_exitcode(target, exitcode):
    plan = Pcall([value, target], iargs=[(0,), ()])
    plan.start()
    with pytest.raises(ChildProcessError) as info:
        plan.join()
    assert (info.value.index, info.value.pid, info.value.exitcode) == (1, plan.pids[1], exitcode)
    assert str(info.value) == "Child process-1 (pid %d) ended with exit code %d before reporting a result." % (
        plan.pids[1], exitcode)


def test_an_exit_code_nobody_could_collect_is_none():
    previous = signal.signal(signal.SIGCHLD, signal.SIG_IGN)  # the kernel reaps the children itself
    try:
        plan = Pcall(leave, iargs=[(4,)])
        plan.start()
        with pytest.raises(ChildProcessError) as info:
            plan.join()
    finally:
        signal.signal(signal.SIGCHLD, previous)
    assert (info.value.index, info.value.pid, info.value.exitcode) == (0, plan.pids[0], None)
    assert str(info.value) == "Child process-0 (pid %d) ended before reporting a result." % plan.pids[0]


@pytest.mark.skipif(sys.version_info < (3, 11), reason="exception notes came with 3.11")
def test_a_reraised_child_exception_notes_its_child():
    plan = Pcall(fail, iargs=[(0,), (1,)])
    plan.start()
    for attempt in range(2):  # noted once, however often it is raised
        with pytest.raises(ValueError) as info:
            plan.join()
        assert info.value.__notes__ == ["raised in child process-0 (pid %d)" % plan.pids[0]]


# ---- process groups -----------------------------------------------------------------

@pytest.mark.parametrize("grouped", [True, False])
def test_stopping_a_grouped_child_stops_its_grandchildren(tmp_path, fake_time, gate, grouped, tandrel_records):
    path = str(tmp_path / "sleeper")

    class Plan(Pcall):
        process_group = grouped
    plan = Plan(spawn_sleeper, timeout=5, cargs=(path, gate))
    plan.start()
    wait_until(lambda: os.path.exists(path), "the grandchild to start")
    with open(path) as f:
        sleeper, group = map(int, f.read().split())
    try:
        assert (group == plan.pids[0]) is grouped
        fake_time.now += 10
        with pytest.raises(TimeoutError):
            plan.join()
        assert_no_child_left(plan)
        if grouped:
            wait_until(lambda: has_ended(sleeper), "the grandchild to end")
        else:
            assert not has_ended(sleeper)
    finally:
        if not has_ended(sleeper):
            os.kill(sleeper, signal.SIGKILL)


def test_terminate_and_kill_signal_the_whole_group(tmp_path, gate):
    path = str(tmp_path / "sleeper")

    class Plan(Pcall):
        process_group = True
    plan = Plan(spawn_sleeper, cargs=(path, gate))
    plan.start()
    wait_until(lambda: os.path.exists(path), "the grandchild to start")
    with open(path) as f:
        sleeper = int(f.read().split()[0])
    plan.kill()
    wait_until(lambda: has_ended(sleeper), "the grandchild to end")
    with pytest.raises(ChildProcessError):
        plan.join()
    assert_no_child_left(plan)
