"""Shared helpers for the tandrel tests: running one worker in a forked child,
capturing the log records that a child emits, and recording fakes for the
module globals that plan construction uses."""
import json
import logging
import multiprocessing
import traceback

import pytest

# The module under test is imported where it is used, so that loading these
# fixtures (conftest does) never depends on it.

FORK = multiprocessing.get_context("fork")
LOGGER_NAME = "vortan.async_.tandrel"
HANG_GUARD = 60  # seconds; only ever reached when something hangs


def drain(queue):
    """Every message waiting on a SimpleQueue, in arrival order."""
    messages = []
    while not queue.empty():
        messages.append(queue.get())
    return messages


def finish(worker, queue):
    """Wait for a started worker; its exit code and the messages it sent."""
    worker.join(HANG_GUARD)
    if worker.is_alive():
        worker.kill()
        worker.join()
        pytest.fail("the child did not end")
    return worker.exitcode, drain(queue)


def run_child(*args, index=0, **kwargs):
    """Build ChildLabor(index, queue, *args, **kwargs), fork it, wait for it.

    Returns (worker, exit code, messages put on the queue)."""
    from vortan.async_.tandrel import ChildLabor
    queue = FORK.SimpleQueue()
    worker = ChildLabor(index, queue, *args, **kwargs)
    worker.start()
    exitcode, messages = finish(worker, queue)
    return worker, exitcode, messages


class FileRecords(logging.Handler):
    """Writes a summary of every record as one JSON line to a file.

    Installed before a fork, it is inherited by the child, so the parent can
    read afterwards what the child logged."""

    def __init__(self, path):
        super().__init__(logging.DEBUG)
        self.path = path

    def emit(self, record):
        exc_type = exc_value = tb_text = None
        if record.exc_info:
            etype, value, tb = record.exc_info
            exc_type = etype.__name__ if etype else None
            exc_value = repr(value)
            tb_text = "".join(traceback.format_exception(etype, value, tb))
        summary = {
            "name": record.name,
            "levelno": record.levelno,
            "msg": record.msg if isinstance(record.msg, str) else repr(record.msg),
            "args": repr(record.args),
            "message": record.getMessage(),
            "exc_type": exc_type,
            "exc_value": exc_value,
            "traceback": tb_text,
        }
        with open(self.path, "a") as f:
            f.write(json.dumps(summary) + "\n")

    def read(self):
        try:
            with open(self.path) as f:
                return [json.loads(line) for line in f]
        except FileNotFoundError:
            return []


@pytest.fixture
def child_log(tmp_path):
    """Records of the module logger, also those emitted in forked children."""
    handler = FileRecords(str(tmp_path / "records.jsonl"))
    logger = logging.getLogger(LOGGER_NAME)
    logger.addHandler(handler)
    try:
        yield handler
    finally:
        logger.removeHandler(handler)


class Recorder(logging.Handler):
    """Keeps the records of the module logger in this process."""

    def __init__(self):
        super().__init__(logging.DEBUG)
        self.records = []

    def emit(self, record):
        self.records.append(record)


@pytest.fixture
def tandrel_records():
    """Records of the module logger emitted in this process."""
    handler = Recorder()
    logger = logging.getLogger(LOGGER_NAME)
    logger.addHandler(handler)
    try:
        yield handler.records
    finally:
        logger.removeHandler(handler)


class FakeWorker:
    """Stands in for ChildLabor: keeps the keyword arguments it was built with."""

    def __init__(self, **kwargs):
        self.kwargs = kwargs


class RecordingQueueContext:
    """Stands in for the fork context: SimpleQueue() is recorded, and fails
    with `error` when that is set."""

    def __init__(self, events, error=None):
        self.events = events
        self.error = error

    def SimpleQueue(self, *args, **kwargs):
        self.events.append(("SimpleQueue", args, kwargs))
        if self.error is not None:
            raise self.error
        return FORK.SimpleQueue()


def recording_plan_class(events):
    """A Pcall subclass that records each attribute set and each call of
    _build_arguments into `events`."""
    from vortan.async_.tandrel import Pcall

    class RecordingPcall(Pcall):
        def __setattr__(self, name, value):
            events.append(("set", name))
            super().__setattr__(name, value)

        def _build_arguments(self):
            events.append(("build",))
            return super()._build_arguments()

    return RecordingPcall


def work_of(worker):
    """(target, args, kwargs) as a worker holds them."""
    return worker._target, worker._args, worker._kwargs


# ---- running plans -----------------------------------------------------------
# Helpers of the start/join/pcall and control tests. Children are held back by
# gates (fork-context events) rather than by sleeping, and the parent looks at
# a child's state through /proc, which does not collect its exit status.

import os  # noqa: E402
import select  # noqa: E402
import signal  # noqa: E402
import sys  # noqa: E402
import time as real_time  # noqa: E402
import types  # noqa: E402


class Gate:
    """Something any number of forked processes can wait at until it opens.

    A pipe that becomes readable when opened, and is never read: unlike a
    multiprocessing Event, a waiter that is killed leaves nothing behind that
    could block whoever opens it later."""

    def __init__(self):
        self._read, self._write = os.pipe()
        self._opened = False

    def wait(self, timeout=HANG_GUARD):
        """Whether the gate opened within `timeout` seconds."""
        return bool(select.select([self._read], [], [], timeout)[0])

    def set(self):
        if not self._opened:
            os.write(self._write, b"!")
            self._opened = True

    def close(self):
        self.set()
        os.close(self._read)
        os.close(self._write)


def wait_until(condition, what="the condition", guard=HANG_GUARD):
    """Poll `condition` until it holds; fail the test after `guard` seconds."""
    deadline = real_time.monotonic() + guard
    while not condition():
        if real_time.monotonic() > deadline:
            pytest.fail("gave up waiting for %s" % what)
        real_time.sleep(0.002)


def has_ended(pid):
    """Whether the process has exited, without collecting its exit status:
    a zombie, or gone altogether."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            stat = f.read()
    except (FileNotFoundError, ProcessLookupError):  # reaped meanwhile
        return True
    return stat.rsplit(")", 1)[1].split()[0] in ("Z", "X")


def wait_ended(*pids):
    for pid in pids:
        wait_until(lambda: has_ended(pid), "process %d to end" % pid)


def is_reaped(pid):
    """Whether the exit status of our child `pid` has been collected already.

    (A zombie found here is collected by this very call, so ask only once.)"""
    try:
        os.waitpid(pid, os.WNOHANG)
    except ChildProcessError:
        return True
    return False


def collected(child):
    """Whether the parent has collected the exit status of a started child,
    read without polling it."""
    return child._popen is not None and child._popen.returncode is not None


class FakeTime:
    """Stands in for the module global `time`: a clock that moves only when
    told to (`now` set by the test), or by `tick` seconds at each reading.
    Sleeps are recorded, and a join that sleeps past the hang guard fails
    the test instead of hanging it."""

    def __init__(self, now=1000.0, tick=0.0, events=None):
        self.now = now
        self.tick = tick
        self.events = events
        self.sleeps = []
        self.guard = real_time.monotonic() + HANG_GUARD

    def time(self):
        if self.events is not None:
            self.events.append(("time",))
        now = self.now
        self.now += self.tick
        return now

    def sleep(self, seconds):
        self.sleeps.append(seconds)
        if real_time.monotonic() > self.guard:
            raise AssertionError("join kept waiting past the hang guard")
        real_time.sleep(0.001)


@pytest.fixture
def fake_time(monkeypatch):
    clock = FakeTime()
    monkeypatch.setattr(sys.modules["vortan.async_.tandrel"], "time", clock)
    return clock


class RecordingLogContext:
    """The log context of `start`; records entering and leaving, and the
    exception being handled while it is left."""

    def __init__(self, events, enter_error=None, exit_result=False, exit_error=None):
        self.events = events
        self.enter_error = enter_error
        self.exit_result = exit_result
        self.exit_error = exit_error
        self.handled_at_exit = None

    def __enter__(self, *args, **kwargs):
        self.events.append(("enter", args, kwargs))
        if self.enter_error is not None:
            raise self.enter_error
        return "dropped"

    def __exit__(self, *args, **kwargs):
        self.events.append(("exit",) + args)
        self.handled_at_exit = sys.exc_info()[1]
        if self.exit_error is not None:
            raise self.exit_error
        return self.exit_result


class RecordingManagedHandlers:
    """Stands in for `vortan.log.managed_handlers`: every call of
    `tasklog.consolidate_next_forked_logfile` is recorded and gives a new
    RecordingLogContext built with `context_options`."""

    def __init__(self, events, **context_options):
        self.events = events
        self.context_options = context_options
        self.contexts = []
        self.tasklog = types.SimpleNamespace(consolidate_next_forked_logfile=self._consolidate)

    def _consolidate(self, *args, **kwargs):
        self.events.append(("consolidate", args, kwargs))
        context = RecordingLogContext(self.events, **self.context_options)
        self.contexts.append(context)
        return context


class RecordingWorker:
    """Stands in for a started or unstarted child: records what is asked of
    it into `events`, and raises `error` from the call named `fails`."""

    def __init__(self, events, index, alive=False, pid=None, fails=None, error=None):
        self.events = events
        self.index = index
        self.alive = alive
        self._pid = pid
        self.fails = fails
        self.error = error

    def _call(self, name):
        self.events.append((name, self.index))
        if self.fails == name:
            raise self.error

    def start(self):
        self._call("start")

    def terminate(self):
        self._call("terminate")

    def is_alive(self):
        self._call("is_alive")
        return self.alive

    @property
    def pid(self):
        self._call("pid")
        return self._pid


def recording_labor(events):
    """A ChildLabor subclass that records each start (before and after the
    fork) and each terminate; to be bound as the module's ChildLabor."""
    from vortan.async_.tandrel import ChildLabor

    class RecordingLabor(ChildLabor):
        def start(self):
            events.append(("fork", self._index))
            super().start()
            events.append(("forked", self._index))

        def terminate(self):
            events.append(("terminate", self._index))
            super().terminate()

    return RecordingLabor


def sequenced_labor(order):
    """A ChildLabor subclass whose children run (and put their messages) one
    after another in the given order of indexes; to be bound as the module's
    ChildLabor. Children not named in `order` run at once."""
    from vortan.async_.tandrel import ChildLabor
    turns = {index: Gate() for index in order}
    following = dict(zip(order, order[1:]))
    turns[order[0]].set()

    class SequencedLabor(ChildLabor):
        def run(self):
            turn = turns.get(self._index)
            if turn is not None and not turn.wait(HANG_GUARD):
                raise SystemExit(99)
            try:
                super().run()
            finally:
                if self._index in following:
                    turns[following[self._index]].set()

    return SequencedLabor


def our_children(pids):
    """The pids that are still children of this process, alive or zombie."""
    left = []
    for pid in pids:
        try:
            with open("/proc/%d/stat" % pid) as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except (FileNotFoundError, ProcessLookupError, TypeError):
            continue
        if int(fields[1]) == os.getpid():
            left.append(pid)
    return left


def blocked_in_send(pid):
    """Whether the process sleeps in the kernel waiting to write."""
    try:
        with open("/proc/%d/wchan" % pid) as f:
            wchan = f.read()
    except FileNotFoundError:
        return False
    return any(word in wchan for word in ("sock", "unix", "pipe"))


def unreported_text(plan, index):
    child = plan._processes[index]
    return "Child process-%d (pid %d) ended with exit code %d before reporting a result." % (
        index, child.pid, child.exitcode)


@pytest.fixture
def reap_leftovers():
    """Kills and reaps any child that a failing test left behind."""
    yield
    for child in FORK.active_children():
        child.kill()
        child.join(HANG_GUARD)


@pytest.fixture
def gate():
    g = Gate()
    yield g
    g.close()


# ---- targets shared by the tests (they run in the children) ----------------

def value(v):
    return v


def fail(*args):
    raise ValueError("child failed", *args)


def block(gate, *args, **kwargs):
    """Waits until the gate opens; returns what it was given."""
    if not gate.wait(HANG_GUARD):
        raise RuntimeError("gate never opened")
    return args


def stubborn(gate, ready, result):
    """Ignores SIGTERM, says so, then waits for the gate."""
    signal.signal(signal.SIGTERM, signal.SIG_IGN)
    ready.set()
    if not gate.wait(HANG_GUARD):
        raise RuntimeError("gate never opened")
    return result
