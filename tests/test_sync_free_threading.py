"""The locking module with the GIL off: exclusion and the one lazy lock per
object hold when threads really run at once."""
import logging
import sys
import threading

import pytest

import vortan.async_.synchronize as sync
from conftest import LOGGER_NAME

pytestmark = pytest.mark.skipif(not hasattr(sys, "_is_gil_enabled") or sys._is_gil_enabled(),
                                reason="needs a free-threaded build running with the GIL off")

THREADS = 8


def run_together(target):
    barrier = threading.Barrier(THREADS)
    errors = []

    def run():
        try:
            barrier.wait(60)
            target()
        except BaseException as error:  # surfaced below
            errors.append(error)
    threads = [threading.Thread(target=run) for _ in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(600)
    assert errors == [] and not any(thread.is_alive() for thread in threads)


class ByDecorator:
    n = 0

    @sync.locked
    def bump(self):
        self.n += 1


class ByBase(sync.Lockable):
    n = 0

    @sync.Lockable.locked
    def bump(self):
        self.n += 1


class ByMetaclass(metaclass=sync.LockableMeta):
    n = 0

    def bump(self):
        self.n += 1


@pytest.fixture
def quiet_waits():
    # Every contended call would warn.
    logger = logging.getLogger(LOGGER_NAME)
    level = logger.level
    logger.setLevel(logging.ERROR)
    yield
    logger.setLevel(level)


@pytest.mark.parametrize("cls", [ByDecorator, ByBase, ByMetaclass])
def test_exact_counts_from_eight_threads(cls, quiet_waits):
    calls = 200_000
    obj = cls()

    def bump_many():
        bump = obj.bump
        for _ in range(calls):
            bump()
    run_together(bump_many)
    assert obj.n == THREADS * calls


def test_the_lazy_lock_is_made_once_when_eight_threads_call_first(monkeypatch, quiet_waits):
    context = sync.multiprocessing
    made = []

    class Counting:
        def RLock(self):
            lock = context.RLock()
            made.append(lock)
            return lock
    monkeypatch.setattr(sync, "multiprocessing", Counting())

    @sync.locked
    def lock_of(self):
        return self.__lock__

    class Fresh:
        pass
    for _ in range(300):
        obj, seen = Fresh(), []
        del made[:]
        run_together(lambda: seen.append(lock_of(obj)))
        assert made == [obj.__lock__] and seen == made * THREADS
