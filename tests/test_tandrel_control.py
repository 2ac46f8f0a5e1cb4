"""Looking at and stopping the children of a plan: pids and livings, terminate
and kill, before start, while the children run and after join."""
import os
import signal
import types

import pytest

import vortan.async_.tandrel as tandrel
from tandrel_helpers import (Gate, RecordingWorker, collected, is_reaped, recording_labor,
                             unreported_text, wait_ended)
from tandrel_helpers import fake_time, gate, reap_leftovers  # noqa: F401  (fixtures)

Pcall = tandrel.Pcall

pytestmark = pytest.mark.usefixtures("reap_leftovers")


def wait_then_give_pid(gate):
    if not gate.wait():
        raise RuntimeError("gate never opened")
    return os.getpid()


def give_pid():
    return os.getpid()


class RecordingOs:
    """Stands in for the module global `os`: records each kill, and passes
    it on to the real os.kill when `real` is set."""

    def __init__(self, real=True, error_at=None):
        self.kills = []
        self.real = real
        self.error_at = error_at

    def kill(self, pid, sig):
        self.kills.append((pid, sig))
        if self.error_at == len(self.kills):
            raise PermissionError("not allowed")
        if self.real:
            os.kill(pid, sig)


@pytest.fixture
def events():
    return []


@pytest.fixture
def fake_os(monkeypatch):
    fake = RecordingOs()
    monkeypatch.setattr(tandrel, "os", fake)
    return fake


@pytest.fixture
def signals_sent(monkeypatch):
    """Every os.kill made in this process by anyone (the standard Process
    included), passed on unchanged."""
    sent = []
    real = os.kill

    def kill(pid, sig):
        sent.append((pid, sig))
        return real(pid, sig)
    monkeypatch.setattr(os, "kill", kill)
    return sent


@pytest.fixture
def running(gate, monkeypatch, events):
    """A started plan of three children held at the gate, whose terminate
    calls are recorded into `events`."""
    monkeypatch.setattr(tandrel, "ChildLabor", recording_labor(events))
    plan = Pcall(wait_then_give_pid, cargs=(gate,), iargs=[()] * 3, timeout=60)
    plan.start()
    del events[:]
    return plan


# ---- before start --------------------------------------------------------------

def test_before_start(monkeypatch, events, fake_os):
    monkeypatch.setattr(tandrel, "ChildLabor", recording_labor(events))
    plan = Pcall(give_pid, iargs=[()] * 3)
    assert plan.pids == (None, None, None)
    assert plan.livings == ()
    # Nothing runs yet: nothing to signal, nothing to join.
    assert plan.terminate() is None and plan.kill() is None
    assert events == [] and fake_os.kills == []
    with pytest.raises(RuntimeError, match="not started"):
        plan.join()


# ---- while the children run ----------------------------------------------------

def test_while_running_pids_and_livings_list_every_child_in_order(running, gate):
    pids, living = running.pids, running.livings
    assert type(pids) is tuple and type(living) is tuple
    assert len(pids) == 3 and all(type(pid) is int for pid in pids)
    assert pids == tuple(p.pid for p in running._processes)
    assert len(living) == 3 and all(a is b for a, b in zip(living, running._processes))
    gate.set()
    running.join()
    # Each child's own pid, in child order.
    assert running.results == pids
    assert running.livings == ()
    assert running.pids == pids


def test_terminate_signals_every_child_and_does_not_wait(running, events, signals_sent):
    pids = running.pids
    assert running.terminate() is None
    assert events == [("terminate", 0), ("terminate", 1), ("terminate", 2)]
    assert signals_sent == [(pid, signal.SIGTERM) for pid in pids]
    assert not any(collected(p) for p in running._processes)
    wait_ended(*pids)
    assert [p.exitcode for p in running._processes] == [-signal.SIGTERM] * 3
    with pytest.raises(ChildProcessError) as info:
        running.join()
    assert str(info.value) == unreported_text(running, 0)


def test_kill_sends_sigkill_to_every_child_and_does_not_wait(running, fake_os):
    pids = running.pids
    assert running.kill() is None
    assert fake_os.kills == [(pid, signal.SIGKILL) for pid in pids]
    assert not any(collected(p) for p in running._processes)
    wait_ended(*pids)
    assert [p.exitcode for p in running._processes] == [-signal.SIGKILL] * 3
    with pytest.raises(ChildProcessError) as info:
        running.join()
    assert str(info.value) == unreported_text(running, 0)


def test_kill_looks_up_os_and_signal_when_it_runs(running, monkeypatch):
    fake = RecordingOs()
    monkeypatch.setattr(tandrel, "os", fake)
    monkeypatch.setattr(tandrel, "signal", types.SimpleNamespace(SIGKILL=signal.SIGTERM))
    running.kill()
    assert fake.kills == [(pid, signal.SIGTERM) for pid in running.pids]
    wait_ended(*running.pids)
    assert [p.exitcode for p in running._processes] == [-signal.SIGTERM] * 3


def test_a_failing_kill_stops_at_that_child(running, monkeypatch, gate):
    fake = RecordingOs(real=False, error_at=2)
    monkeypatch.setattr(tandrel, "os", fake)
    with pytest.raises(PermissionError):
        running.kill()
    assert fake.kills == [(pid, signal.SIGKILL) for pid in running.pids[:2]]
    gate.set()
    running.join()
    assert running.results == running.pids


# ---- after the children ended ----------------------------------------------------

def test_after_join(running, gate, fake_os, signals_sent, events):
    pids = running.pids
    gate.set()
    running.join()
    assert running.livings == ()
    assert running.pids == pids
    # Every exit status has been collected: nothing is signalled any more,
    # since the pids may belong to other processes by now.
    assert running.terminate() is None
    assert running.kill() is None
    assert events == []
    assert signals_sent == [] and fake_os.kills == []
    assert all(is_reaped(pid) for pid in pids)


def test_kill_skips_only_the_children_whose_exit_status_was_collected(monkeypatch, fake_os, gate):
    plan = Pcall([give_pid, wait_then_give_pid, wait_then_give_pid], iargs=[(), (gate,), (gate,)],
                 timeout=60)
    plan.start()
    first, second, third = plan._processes
    wait_ended(first.pid)
    assert plan.livings == (second, third)  # the plan saw the first child end
    plan.kill()
    assert fake_os.kills == [(second.pid, signal.SIGKILL), (third.pid, signal.SIGKILL)]
    with pytest.raises(ChildProcessError) as info:
        plan.join()
    assert str(info.value) == unreported_text(plan, 1)
    assert [p.exitcode for p in plan._processes] == [0, -signal.SIGKILL, -signal.SIGKILL]


def test_a_child_seen_ending_through_livings_still_delivers_its_result():
    plan = Pcall(give_pid, iargs=[(), ()])
    plan.start()
    wait_ended(*plan.pids)
    assert plan.livings == ()
    plan.join()
    assert plan.results == plan.pids


# ---- walking the children --------------------------------------------------------

def plan_of(workers):
    plan = Pcall(give_pid)
    plan._processes = workers
    return plan


def test_pids_reads_every_child_in_order(events):
    plan = plan_of([RecordingWorker(events, i, pid=100 + i) for i in range(3)])
    assert plan.pids == (100, 101, 102)
    assert events == [("pid", 0), ("pid", 1), ("pid", 2)]


@pytest.mark.parametrize("member,call", [
    ("pid", lambda plan: plan.pids),
])
def test_an_error_of_one_child_stops_the_walk_there(events, member, call):
    error = OSError("child %s failed" % member)
    plan = plan_of([RecordingWorker(events, 0), RecordingWorker(events, 1, fails=member, error=error),
                    RecordingWorker(events, 2)])
    with pytest.raises(OSError) as info:
        call(plan)
    assert info.value is error
    assert events == [(member, 0), (member, 1)]


def test_each_access_sees_the_current_children(events):
    plan = plan_of([RecordingWorker(events, 0, alive=True, pid=7)])
    assert plan.pids == (7,)
    plan._processes = [RecordingWorker(events, 0, alive=False, pid=8),
                       RecordingWorker(events, 1, alive=True, pid=9)]
    assert plan.pids == (8, 9)
    plan._processes = []
    assert plan.pids == ()


# ---- repr ------------------------------------------------------------------------

def fail():
    raise ValueError("no")


def test_repr_shows_the_class_the_children_and_the_state(gate, fake_time):
    plan = Pcall(wait_then_give_pid, cargs=(gate,), iargs=[()] * 3)
    assert repr(plan) == "<Pcall 3 children, not started>"
    plan.start()
    fake_time.now += 1.25
    assert repr(plan) == "<Pcall 3 children, 3 running, started 1.2 s ago>"
    gate.set()
    fake_time.now += 1
    plan.join()
    assert repr(plan) == "<Pcall 3 children, finished in 2.2 s>"

    class Failing(Pcall):
        pass
    failing = Failing([give_pid, fail])
    failing.start()
    with pytest.raises(ValueError):
        failing.join()
    assert repr(failing) == "<Failing 2 children, failed (child 1)>"

    never = Gate()
    late = Pcall(wait_then_give_pid, cargs=(never,), timeout=2)
    late.start()
    fake_time.now += 5
    with pytest.raises(TimeoutError):
        late.join()
    never.close()
    assert repr(late) == "<Pcall 1 child, timed out after 2 s>"


def test_repr_names_the_class_as_it_is_named_when_the_text_is_made():
    # Reading the plan's attributes runs code that renames the class; the
    # name read before that is freed with the old name string.
    class Renaming(Pcall):
        @property
        def _processes(self):
            type(self).__name__ = "".join(["Renamed", str(len(self.__dict__))])
            return self.__dict__["_processes"]

    Renaming.__name__ = "".join(["Before", "Renaming"])  # not interned: freed on rename
    plan = Renaming.__new__(Renaming)
    plan.__dict__.update(Pcall(give_pid).__dict__)
    assert repr(plan) == "<Renamed%d 1 child, not started>" % len(plan.__dict__)
