"""Locked calls, decoration and class creation keep no references and no
memory behind. Nothing here is timed."""
import gc
import os
import sys
import types

import pytest

import vortan.async_.synchronize as sync
from conftest import RecordingLock, classes_freed

Lockable, LockableMeta, locked = sync.Lockable, sync.LockableMeta, sync.locked

MiB = 1024 * 1024
# AddressSanitizer keeps freed memory in quarantine, so resident memory says
# nothing about leaks there (its own reports do).
rss_is_meaningful = pytest.mark.skipif(
    "asan" in os.environ.get("LD_PRELOAD", ""),
    reason="resident memory under AddressSanitizer includes its quarantine")


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def growth(run, warmup=True, rounds=3):
    """Smallest growth of resident memory over a few runs of `run`.

    A leak grows memory in every run; the allocator's and other threads' noise
    does not, so the smallest of several growths is the one to judge.
    """
    if warmup:
        run()
    growths = []
    for _ in range(rounds):
        gc.collect()
        before = resident_bytes()
        run()
        gc.collect()
        growths.append(resident_bytes() - before)
    return min(growths)


def refcount_changes(call, *objs, n=10000):
    """Change of each object's reference count over n calls (0: no leak)."""
    call()  # anything created lazily exists from here on
    gc.collect()
    before = [sys.getrefcount(o) for o in objs]
    for _ in range(n):
        call()
    gc.collect()
    after = [sys.getrefcount(o) for o in objs]
    return [a - b for a, b in zip(after, before)]


class Obj:
    def __str__(self):
        return "obj"


@rss_is_meaningful
def test_million_calls_keep_resident_memory_flat():
    obj, arg = Obj(), object()
    w = locked(lambda self, a, k=None: a)
    lockable_method = Lockable.locked(lambda self, a, k=None: a)
    lk = Lockable()

    def run():
        for _ in range(500000):
            w(obj, arg, k=arg)
            lockable_method(lk, arg)
    assert growth(run) < 2 * MiB


@pytest.mark.parametrize("decorator", [locked, Lockable.locked], ids=["locked", "Lockable.locked"])
def test_calls_keep_reference_counts(decorator):
    obj, a, b, result = Lockable(), object(), object(), object()
    lock = obj.__lock__
    boom = object()

    def method(self, x, y=None):
        if y is boom:
            raise ValueError(x)
        return result
    w = decorator(method)

    def calls():
        w(obj, a)
        w(obj, a, y=b)
        w(self=obj, x=a, y=b)
        obj_method(a, y=b)
        try:
            w(obj, a, y=boom)
        except ValueError:
            pass
        try:
            w()
        except TypeError:
            pass
    obj_method = types.MethodType(w, obj)
    changes = refcount_changes(calls, obj, a, b, result, method, w, lock, boom)
    assert changes == [0] * len(changes)


def test_contended_and_failing_lock_paths_keep_reference_counts(monkeypatch):
    monkeypatch.setattr(sync, "logger", types.SimpleNamespace(warning=lambda text: None))
    obj, a = Obj(), object()
    lock = RecordingLock()
    lock.free = False
    obj.__lock__ = lock

    def method(self, x):
        return x
    w = locked(method)
    failure = RuntimeError("release")

    def calls():
        del lock.events[:]
        lock.release_error = None
        w(obj, a)
        lock.release_error = failure
        try:
            w(obj, a)
        except RuntimeError:
            failure.__traceback__ = None  # a re-raised instance keeps its old frames
    changes = refcount_changes(calls, obj, a, method, w, lock, failure)
    assert changes == [0] * len(changes)


def test_lock_creation_keeps_reference_counts(monkeypatch):
    made = RecordingLock()
    monkeypatch.setattr(sync, "multiprocessing", types.SimpleNamespace(RLock=lambda: made))
    method = lambda self: None
    w = locked(method)

    class Slotted:
        __slots__ = ()

    def calls():
        w(Obj())
        try:
            w(Slotted())
        except AttributeError:
            pass
        del made.events[:]
    changes = refcount_changes(calls, made, method, w)
    assert changes == [0] * len(changes)


def method(self):
    pass


def test_decoration_keeps_reference_counts():
    def decorate():
        locked(method)
        Lockable.locked(method)
        LockableMeta.ignore(method)
        Lockable(lock=RecordingLock)
        LockableMeta("Made", (), {"a": method, "_b": method})
    changes = refcount_changes(decorate, method, RecordingLock)
    assert changes == [0] * len(changes)


@classes_freed
@rss_is_meaningful
def test_decoration_and_class_creation_keep_resident_memory_flat():
    def make_classes():
        for i in range(2000):
            class Made(metaclass=LockableMeta):
                def a(self):
                    pass
                b = method
            Made().a()
            if i % 100 == 0:
                gc.collect()  # classes are cyclic garbage: bound the peak, so that only a leak grows
        for _ in range(100000):
            locked(method)
    assert growth(make_classes) < 2 * MiB
