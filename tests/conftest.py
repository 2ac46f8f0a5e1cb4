"""Shared helpers for the synchronize tests: a lock that records what is done
to it, a capture of the module logger, and a runner for code that has to be
tried in a fresh interpreter (so that a crash shows as a failed test)."""
import contextlib
import logging
import multiprocessing
import subprocess
import sys
import sysconfig
import textwrap
import threading
import types

import pytest

import vortan.async_.synchronize as sync

FORK = multiprocessing.get_context("fork")
RLOCK_TYPE = type(FORK.RLock())

# CPython 3.13's free-threaded build makes classes and functions immortal once
# a second thread has run with the GIL off (3.14 no longer does), so a test
# that waits for them to be freed cannot pass there.
classes_freed = pytest.mark.skipif(
    bool(sysconfig.get_config_var("Py_GIL_DISABLED")) and sys.version_info < (3, 14)
    and not sys._is_gil_enabled(),
    reason="3.13t with the GIL off keeps classes alive once a thread has run")
LOGGER_NAME = "vortan.async_.synchronize"


class RecordingLock:
    """Follows the multiprocessing lock protocol and logs every call.

    `free` is what the non-blocking attempt returns; `acquire_error`,
    `blocking_error` and `release_error` are raised by the matching call.
    """

    def __init__(self, events=None, free=True, name="lock"):
        self.events = [] if events is None else events
        self.free = free
        self.name = name
        self.acquire_error = None
        self.blocking_error = None
        self.release_error = None

    def acquire(self, *args, **kwargs):
        self.events.append((self.name + ".acquire", args, kwargs))
        if self.acquire_error is not None:
            raise self.acquire_error
        if not (args[0] if args else kwargs.get("block", True)):
            return self.free
        if self.blocking_error is not None:
            raise self.blocking_error
        return True

    def release(self, *args, **kwargs):
        self.events.append((self.name + ".release", args, kwargs))
        if self.release_error is not None:
            raise self.release_error
        return "released"


NONBLOCKING = ("lock.acquire", (False,), {})
BLOCKING = ("lock.acquire", (), {})
RELEASE = ("lock.release", (), {})


class Plain:
    """An ordinary object: takes attributes, has a readable str()."""

    def __init__(self, label="plain"):
        self.label = label

    def __str__(self):
        return "<Plain %s>" % self.label


class _Sink(logging.Handler):
    def __init__(self, records, events):
        super().__init__(logging.DEBUG)
        self.records = records
        self.events = events

    def emit(self, record):
        self.records.append(record)
        self.events.append(("log", record.levelname, record.getMessage()))


@pytest.fixture
def events():
    return []


@pytest.fixture
def fake_lock(events):
    return RecordingLock(events)


@pytest.fixture
def log_records(events):
    """Records of the module logger, also appended to `events` in order."""
    records = []
    handler = _Sink(records, events)
    logger = logging.getLogger(LOGGER_NAME)
    logger.addHandler(handler)
    try:
        yield records
    finally:
        logger.removeHandler(handler)


def in_thread(fn):
    """fn() run in another thread; its result."""
    out = []
    t = threading.Thread(target=lambda: out.append(fn()))
    t.start()
    t.join(30)
    assert not t.is_alive()
    return out[0]


@contextlib.contextmanager
def held_elsewhere(lockable):
    """Another thread holds the object's lock until the block ends or the
    yielded event is set."""
    taken, done = threading.Event(), threading.Event()

    def hold():
        assert lockable.acquire()
        taken.set()
        done.wait(30)
        lockable.release()
    t = threading.Thread(target=hold)
    t.start()
    assert taken.wait(30)
    try:
        yield done
    finally:
        done.set()
        t.join(30)


def run_python(code, timeout=120, env=None, options=()):
    """Run `code` in a fresh interpreter of the one running the tests."""
    return subprocess.run(
        [sys.executable, *options, "-c", textwrap.dedent(code)],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        universal_newlines=True,
        timeout=timeout,
        env=env,
    )


def raw_wrapper(decorator, method):
    """The wrapper as the decorator builds it, before functools.wraps touches it."""
    seen = []

    def wraps(wrapped):
        seen.append(wrapped)
        return lambda wrapper: wrapper

    saved = sync.functools
    sync.functools = types.SimpleNamespace(wraps=wraps)
    try:
        wrapper = decorator(method)
    finally:
        sync.functools = saved
    assert seen == [method]
    return wrapper


# ---- tandrel ---------------------------------------------------------------
# Fixtures of the parallel-call tests, defined in tandrel_helpers: `child_log`
# (records of the module logger, also those of forked children) and
# `tandrel_records` (records emitted in this process).
from tandrel_helpers import child_log, tandrel_records  # noqa: E402,F401
