"""Every way out of a parallel call leaves no child behind, a child that dies
harms only itself, failures found in the parent name their child, and one
join runs at a time. Whether a child remains is read from /proc."""
import os
import signal
import threading
import time
import textwrap
import traceback

import pytest

import vortan.async_.tandrel as tandrel
from conftest import run_python
from tandrel_helpers import (block, fail, value, FORK, HANG_GUARD, Gate, blocked_in_send, our_children, unreported_text,
                             wait_ended, wait_until)
from tandrel_helpers import gate, reap_leftovers  # noqa: F401  (fixtures)

Pcall = tandrel.Pcall
MiB = 1024 * 1024

pytestmark = pytest.mark.usefixtures("reap_leftovers")


def after_gate(gate, size):
    gate.wait(HANG_GUARD)
    return bytes([size % 256]) * size


class Escape(BaseException):
    pass


@pytest.mark.parametrize("exception", [KeyboardInterrupt, SystemExit, LookupError, Escape])
def test_an_exception_leaving_join_stops_and_reaps_every_child_first(gate, exception):
    raised = exception("from a signal handler")

    def handler(signum, frame):
        raise raised
    previous = signal.signal(signal.SIGUSR1, handler)
    try:
        plan = Pcall(block, cargs=(gate,), iargs=[(0,), (1,), (2,)])
        plan.start()
        threading.Timer(0.2, os.kill, (os.getpid(), signal.SIGUSR1)).start()
        with pytest.raises(exception) as info:
            plan.join()
    finally:
        signal.signal(signal.SIGUSR1, previous)
    assert info.value is raised
    assert our_children(plan.pids) == []
    assert [p.exitcode for p in plan._processes] == [-signal.SIGTERM] * 3
    with pytest.raises(ChildProcessError):
        plan.join()


def test_pcall_leaves_no_child_behind_whatever_it_raises(gate):
    class Refuses(Pcall):
        def join(self):
            self.started_pids = self.pids
            raise LookupError("join refused")
    with pytest.raises(LookupError):
        Refuses.pcall(block, cargs=(gate,), iargs=[(0,), (1,)])
    assert FORK.active_children() == []


def test_a_dropped_plan_does_not_keep_the_program_from_exiting():
    # The children's results do not fit into the channel: with nobody left
    # to read them, their sends fail and they end.
    r = run_python("""
        import gc
        import vortan.async_.tandrel as tandrel

        def big(i):
            return bytes(8 * 1024 * 1024)

        plan = tandrel.Pcall(big, iargs=[(i,) for i in range(4)])
        plan.start()
        del plan
        gc.collect()
        print("dropped")
    """, timeout=HANG_GUARD)
    assert r.returncode == 0, r.stderr
    assert r.stdout == "dropped\n"


def test_a_plan_dropped_while_the_exit_handler_waits_for_it_is_stopped_at_once():
    # A signal handler drops every plan while the exit handler waits for the
    # newest: the handler must neither touch the freed run nor wait any longer.
    began = time.monotonic()
    r = run_python("""
        import gc, os, signal, time
        import vortan.async_.tandrel as tandrel

        def target():
            time.sleep(60)

        plans = [tandrel.Pcall([target, target], timeout=60) for _ in range(3)]
        for plan in plans:
            plan.start()
        print(" ".join(str(pid) for plan in plans for pid in plan.pids))
        del plan

        def drop(*_):
            plans.clear()
            gc.collect()

        signal.signal(signal.SIGALRM, drop)
        signal.setitimer(signal.ITIMER_REAL, 0.5)
    """, timeout=HANG_GUARD)
    elapsed = time.monotonic() - began
    assert r.returncode == 0 and r.stderr == "", r.stderr
    assert elapsed < 30  # not the plans' timeout of 60 seconds
    wait_ended(*(int(pid) for pid in r.stdout.split()))


def test_a_child_killed_mid_message_harms_only_itself(gate):
    # Child 2 is killed while its result is half sent; children 0 and 1 send
    # theirs afterwards through the same channel.
    plan = Pcall([after_gate, after_gate, value], iargs=[(gate, MiB), (gate, 2 * MiB), (bytes(64 * MiB),)],
                 timeout=HANG_GUARD)
    plan.start()
    victim = plan.pids[2]
    wait_until(lambda: blocked_in_send(victim), "child 2 to be sending")
    os.kill(victim, signal.SIGKILL)
    gate.set()
    with pytest.raises(ChildProcessError) as info:
        plan.join()
    assert str(info.value) == unreported_text(plan, 2)
    assert [p.exitcode for p in plan._processes] == [0, 0, -signal.SIGKILL]
    assert our_children(plan.pids) == []


class Unrebuildable:
    """Pickles in the child; rebuilding it fails in the parent only."""

    def __reduce__(self):
        return rebuild_in_child_only, (os.getpid(),)


def rebuild_in_child_only(pid):
    if os.getpid() != pid:
        raise ValueError("cannot be rebuilt here")
    return Unrebuildable()


def unrebuildable(*args):
    return Unrebuildable()


def test_a_result_that_cannot_be_rebuilt_names_its_child(gate):
    plan = Pcall([value, unrebuildable, block], iargs=[("zero",), (), (gate,)])
    plan.start()
    wait_ended(plan.pids[1])
    threading.Timer(0.2, gate.set).start()
    with pytest.raises(RuntimeError) as info:
        plan.join()
    # Raised only once every child had ended.
    assert [p.exitcode for p in plan._processes] == [0, 0, 0]
    assert "child process-1" in str(info.value) and "cannot be rebuilt here" in str(info.value)
    assert type(info.value.__cause__) is ValueError
    with pytest.raises(RuntimeError) as again:
        plan.join()
    assert again.value is info.value


INTERRUPTIONS = []


def rebuilt_unless_interrupted(text):
    if INTERRUPTIONS:
        raise INTERRUPTIONS.pop()
    return text


class InterruptsItsRebuilding:
    def __reduce__(self):
        return rebuilt_unless_interrupted, ("rebuilt",)


def test_an_interrupt_while_results_are_rebuilt_loses_none_of_them():
    plan = Pcall([value, InterruptsItsRebuilding, value], iargs=[(0,), (), (2,)])
    plan.start()
    wait_ended(*plan.pids)
    INTERRUPTIONS.append(KeyboardInterrupt("while rebuilding"))
    with pytest.raises(KeyboardInterrupt):
        plan.join()
    plan.join()
    assert plan.results == (0, "rebuilt", 2)


def test_a_failure_raised_again_does_not_grow_its_traceback():
    plan = Pcall([value, fail], iargs=[(0,), (1,)])
    plan.start()
    depths = []
    for _ in range(3):
        with pytest.raises(ValueError) as info:
            plan.join()
        depths.append(len(traceback.extract_tb(info.value.__traceback__)))
    assert depths[0] == depths[1] == depths[2]


def test_children_reaped_by_the_kernel_still_give_their_results():
    r = run_python("""
        import signal
        import vortan.async_.tandrel as tandrel
        signal.signal(signal.SIGCHLD, signal.SIG_IGN)

        def square(x):
            return x * x

        print(tandrel.Pcall.pcall(square, iargs=[(i,) for i in range(4)], timeout=10))
    """, timeout=HANG_GUARD)
    assert r.returncode == 0, r.stderr
    assert r.stdout == "(0, 1, 4, 9)\n"


def test_one_join_at_a_time(gate, monkeypatch):
    inside = threading.Event()

    class Telling:
        def time(self):
            inside.set()  # join reads the clock at each step: it is running
            return time.time()
    plan = Pcall([value, block], iargs=[(0,), (gate,)], timeout=HANG_GUARD)
    plan.start()
    monkeypatch.setattr(tandrel, "time", Telling())
    outcome = []
    thread = threading.Thread(target=lambda: outcome.append(plan.join()))
    thread.start()
    try:
        assert inside.wait(HANG_GUARD)
        with pytest.raises(RuntimeError, match="already running"):
            plan.join()
    finally:
        gate.set()
        thread.join(HANG_GUARD)
    assert outcome == [None] and plan.results == (0, ())


# A child that writes raw datagrams into the channel stands for the odd
# senders the parent must survive: a message too large to hold here, and a
# stream whose later datagram announces another size than its first.
RAW_SENDER = """
    import os, socket, struct
    import vortan.async_.tandrel as tandrel

    def send_raw(*frames):
        for fd in map(int, os.listdir("/proc/self/fd")):
            try:
                channel = socket.socket(fileno=os.dup(fd))
            except OSError:
                continue
            if channel.type == socket.SOCK_DGRAM:
                break
            channel.close()
        for sequence, total, payload in frames:
            channel.send(struct.pack("=IIQ", 1, sequence, total) + payload)  # a report

    def odd_sender():
        send_raw(*FRAMES)
        if EXIT_SILENTLY:
            os._exit(0)
        return "sent"

    try:
        print(tandrel.Pcall.pcall(odd_sender, timeout=30))
    except Exception as error:
        print(type(error).__name__, error, "|", repr(error.__cause__))
"""


@pytest.mark.parametrize("frames, exit_silently, expected", [
    # A stream that changes its announced size is thrown away, never written
    # past its buffer; the child's real message still arrives.
    ("[(0, 2, b'a'), (1, 1 << 20, bytes(128 * 1024))]", False, "('sent',)\n"),
    # A message cut short (its sender interrupted mid-put) is replaced by the
    # next one the child starts: that report is the child's result.
    ("[(0, 1 << 20, bytes(1000))]", False, "('sent',)\n"),
    # A message larger than can be held names its child, as an unrebuildable
    # result does, instead of blocking the channel for ever.
    ("[(0, 2 ** 64 - 1, b'x')]", True,
     "RuntimeError The result of child process-0 could not be rebuilt in the parent (MemoryError: "),
])
def test_odd_datagrams_harm_only_their_sender(frames, exit_silently, expected):
    r = run_python("FRAMES = %s\nEXIT_SILENTLY = %s\n" % (frames, exit_silently) + textwrap.dedent(RAW_SENDER),
                   timeout=HANG_GUARD)
    assert r.returncode == 0, r.stderr
    assert r.stdout.startswith(expected), r.stdout


def test_a_wait_that_fails_still_stops_every_child():
    # Below the descriptor limit the wait itself fails (EINVAL) on every try:
    # join raises it, and the children are still stopped and reaped.
    r = run_python("""
        import resource, time
        import vortan.async_.tandrel as tandrel

        plan = tandrel.Pcall(time.sleep, iargs=[(60,)] * 12)
        plan.start()
        resource.setrlimit(resource.RLIMIT_NOFILE, (8, resource.getrlimit(resource.RLIMIT_NOFILE)[1]))
        try:
            plan.join()
        except OSError as error:
            print(type(error).__name__, error.errno)
        # SIGTERM, or SIGKILL after the grace period for a child too starved
        # of CPU to have died of it yet: stopped and reaped either way.
        print({p.exitcode for p in plan._processes} <= {-15, -9})
    """, timeout=HANG_GUARD)
    assert r.returncode == 0, r.stderr
    assert r.stdout == "OSError 22\nTrue\n"
