"""Lockable objects, the LockableMeta metaclass, and exclusion across threads
and forked processes."""
import inspect
import threading
import time

import pytest

import vortan.async_.synchronize as sync
from conftest import (FORK, NONBLOCKING, RELEASE, RLOCK_TYPE, RecordingLock,
                      held_elsewhere, in_thread)

Lockable, LockableMeta, locked = sync.Lockable, sync.LockableMeta, sync.locked


# ---- Lockable --------------------------------------------------------------

def test_default_lock_is_a_recursive_fork_lock():
    obj = Lockable()
    assert type(obj.__lock__) is RLOCK_TYPE
    assert obj.acquire() is True and obj.acquire() is True
    assert in_thread(lambda: obj.acquire(False)) is False
    assert obj.release() is None and obj.release() is None
    with pytest.raises(AssertionError):
        obj.release()
    assert in_thread(lambda: obj.acquire(False) and (obj.release() or True)) is True


LOCK_FACTORIES = {
    "threading.Lock": threading.Lock, "threading.RLock": threading.RLock,
    "threading.Semaphore": threading.Semaphore, "threading.BoundedSemaphore": threading.BoundedSemaphore,
    "fork Lock": FORK.Lock, "fork RLock": FORK.RLock, "fork Semaphore": FORK.Semaphore,
}


@pytest.mark.parametrize("factory", list(LOCK_FACTORIES.values()), ids=list(LOCK_FACTORIES))
def test_any_lock_that_acquires_and_releases_will_do(factory, log_records):
    class ByDecorator:
        @locked
        def bump(self):
            self.n += 1
            return self.n

    class ByMetaclass(metaclass=LockableMeta):
        def bump(self):
            self.n += 1
            return self.n

    class ByBase(Lockable):
        @Lockable.locked
        def bump(self):
            self.n += 1
            return self.n

    by_base = ByBase(lock=factory)
    assert by_base.acquire(False) is True and by_base.release() is None
    assert by_base.acquire(True, 5) is True and by_base.release() is None
    for obj in (ByDecorator(), ByMetaclass(), by_base):
        if not isinstance(obj, Lockable):
            obj.__lock__ = factory()
        obj.n = 0
        assert obj.bump() == 1
        del log_records[:]
        with held_elsewhere(obj.__lock__) as release:  # the contended path
            results = []
            waiting = threading.Thread(target=lambda: results.append(obj.bump()))
            waiting.start()
            deadline = time.monotonic() + 30
            while not log_records and time.monotonic() < deadline:
                time.sleep(0.01)
            release.set()
            waiting.join(30)
        assert results == [2] and len(log_records) == 1


def test_lock_factory_is_keyword_only_and_called_once():
    calls = []
    made = RecordingLock()

    def factory(*args, **kwargs):
        calls.append((args, kwargs))
        return made
    obj = Lockable(lock=factory)
    assert obj.__lock__ is made and calls == [((), {})]
    assert vars(obj) == {"__lock__": made}
    with pytest.raises(TypeError):
        Lockable(factory)
    assert len(calls) == 1


@pytest.mark.parametrize("lock,error", [(None, TypeError), (5, TypeError),
                                        (lambda: 1 / 0, ZeroDivisionError)])
def test_failing_lock_factory_sets_nothing(lock, error):
    obj = Lockable.__new__(Lockable)
    with pytest.raises(error):
        obj.__init__(lock=lock)
    assert not hasattr(obj, "__lock__")


def test_init_calls_no_other_init():
    class Mixin:
        def __init__(self):
            self.mixin_ran = True

    class Both(Lockable, Mixin):
        pass
    obj = Both()
    assert not hasattr(obj, "mixin_ran") and type(obj.__lock__) is RLOCK_TYPE
    assert Lockable.__init__(obj, lock=RecordingLock) is None
    assert isinstance(obj.__lock__, RecordingLock)


def test_acquire_and_release_pass_through_to_the_lock(events):
    lock = RecordingLock(events)
    lock.free = "taken"
    obj = Lockable(lock=lambda: lock)
    assert obj.acquire() is True
    assert obj.acquire(False) == "taken"
    assert obj.acquire(True, 2.5) is True
    assert obj.acquire(timeout=None, block=False) == "taken"
    assert obj.release() == "released"
    assert events == [
        ("lock.acquire", (True,), {}),
        ("lock.acquire", (False,), {}),
        ("lock.acquire", (True, 2.5), {}),
        ("lock.acquire", (False,), {}),
        RELEASE,
    ]
    lock.acquire_error = OSError("acquire")
    with pytest.raises(OSError):
        obj.acquire()


def test_acquire_fails_while_another_thread_holds_the_lock():
    obj = Lockable()
    with held_elsewhere(obj):
        assert obj.acquire(False) is False
        assert obj.acquire(True, 0.2) is False
        with pytest.raises(AssertionError):
            obj.release()
    assert obj.acquire(False) is True
    obj.release()


def test_forgotten_super_init():
    ran = []

    class Forgetful(Lockable):
        def __init__(self):
            pass

        @Lockable.locked
        def work(self):
            ran.append(1)
    obj = Forgetful()
    for call in (obj.work, obj.acquire, obj.release):
        with pytest.raises(AttributeError):
            call()
    assert ran == [] and not hasattr(obj, "__lock__")


def test_lockable_locked_never_creates_a_lock(monkeypatch, events):
    class NoContext:
        def RLock(self):
            raise AssertionError("a lock was created")
    monkeypatch.setattr(sync, "multiprocessing", NoContext())

    class Plain:
        pass
    ran = []
    w = Lockable.locked(lambda self: ran.append(self))
    with pytest.raises(AttributeError):
        w(Plain())
    assert ran == []
    obj = Lockable(lock=lambda: RecordingLock(events))
    assert w(obj) is None and ran == [obj]
    assert events == [NONBLOCKING, RELEASE]


def test_contended_lockable_method_warns_once_then_runs(log_records):
    class Worker(Lockable):
        def __str__(self):
            return "worker #7"

        @Lockable.locked
        def work(self):
            return in_thread(lambda: self.acquire(False))
    obj = Worker()
    with held_elsewhere(obj) as let_go:
        # the other thread lets go once the warning has been logged
        note = lambda record: let_go.set() or True
        sync.logger.addFilter(note)
        try:
            result = obj.work()
        finally:
            sync.logger.removeFilter(note)
    assert result is False  # held by this thread during the call
    assert [(r.levelname, r.getMessage()) for r in log_records] == [
        ("WARNING", "Waiting for lock on worker #7")]
    assert obj.acquire(False) is True


# ---- LockableMeta ----------------------------------------------------------

def test_ignore_marks_and_returns_the_object():
    class Thing:
        pass
    thing = Thing()
    assert LockableMeta.ignore(thing) is thing and thing._LockedMeta_ignore is True
    with pytest.raises(AttributeError):
        LockableMeta.ignore(object())


def test_which_class_body_entries_are_wrapped():
    def shared(self):
        return "shared"
    already = locked(lambda self: "already")
    already_l = Lockable.locked(lambda self: "already_l")
    static, klass, prop = staticmethod(len), classmethod(lambda c: c), property(lambda s: 1)

    class Nested:
        pass

    class Service(metaclass=LockableMeta):
        def __init__(self):
            self.made = True

        def public(self):
            return "public"

        def _helper(self):
            return "helper"

        @LockableMeta.ignore
        def unlocked(self):
            return "unlocked"

        @LockableMeta.ignore
        def _marked_private(self):
            return "marked"

        alias = shared
        wrapped_a, wrapped_b = already, already_l
        s, c, p, constant, inner = static, klass, prop, 3, Nested

    ns = vars(Service)
    assert not inspect.isfunction(ns["public"]) and ns["public"].__wrapped__.__name__ == "public"
    assert ns["alias"].__wrapped__ is shared and not inspect.isfunction(ns["alias"])
    for name in ("__init__", "_helper", "unlocked", "_marked_private"):
        assert inspect.isfunction(ns[name]), name
    assert not hasattr(ns["unlocked"], "_LockedMeta_ignore")
    assert ns["_marked_private"]._LockedMeta_ignore is True
    assert ns["wrapped_a"] is already and ns["wrapped_b"] is already_l
    assert (ns["s"], ns["c"], ns["p"], ns["constant"], ns["inner"]) == (static, klass, prop, 3, Nested)
    assert not hasattr(Service, "__lock__")

    obj = Service()
    assert not hasattr(obj, "__lock__")
    assert obj._helper() == "helper" and obj.unlocked() == "unlocked"
    assert not hasattr(obj, "__lock__")
    assert obj.public() == "public"
    assert type(obj.__lock__) is RLOCK_TYPE


def test_subclasses_are_processed_and_unmarked_functions_wrapped_again():
    @LockableMeta.ignore
    def helper(self):
        return "helper"

    class Base(metaclass=LockableMeta):
        free = helper

        def base(self):
            return "base"

    class Child(Base):
        again = helper

        def child(self):
            return super().base() + "+child"
    assert type(Child) is LockableMeta
    assert vars(Base)["free"] is helper
    assert "base" not in vars(Child)
    assert vars(Child)["again"].__wrapped__ is helper
    assert vars(Child)["child"].__wrapped__.__name__ == "child"
    assert Child().child() == "base+child"


def test_metaclass_uses_module_globals_at_class_creation(monkeypatch):
    monkeypatch.setattr(sync, "locked", lambda f: ("tagged", f))

    class Tagged(metaclass=LockableMeta):
        def m(self):
            pass
    assert vars(Tagged)["m"][0] == "tagged"


def test_class_keywords_besides_metaclass_are_refused():
    with pytest.raises(TypeError):
        class Bad(metaclass=LockableMeta, flavour="x"):
            pass


def test_super_new_follows_the_mro():
    class Other(type):
        def __new__(mcs, name, bases, attrs):
            attrs["tag"] = "other"
            return super().__new__(mcs, name, bases, attrs)

    class Both(LockableMeta, Other):
        pass

    class Made(metaclass=Both):
        def m(self):
            return "m"
    assert Made.tag == "other" and type(Made) is Both
    assert not inspect.isfunction(vars(Made)["m"])


class Refusing(dict):
    def items(self):
        raise KeyError("items refused")


class ExplodingKey(str):
    def startswith(self, *args):
        raise ValueError("startswith refused")


class NoStore(dict):
    def __setitem__(self, key, value):
        raise IndexError("store refused")


class MarkOnType:
    _LockedMeta_ignore = True


class BadMark:
    _LockedMeta_ignore = type("Truthless", (), {"__bool__": lambda self: 1 / 0})()


class BadLookup:
    def __getattribute__(self, name):
        raise OSError("lookup refused")


def f(self):
    pass


@pytest.mark.parametrize("attrs,error", [
    (Refusing(pub=f), KeyError),
    ({ExplodingKey("pub"): f}, ValueError),
    (NoStore(pub=f), IndexError),
    ({"pub": MarkOnType()}, AttributeError),  # the marker cannot be deleted
    ({"pub": BadMark()}, ZeroDivisionError),
    ({"pub": BadLookup()}, OSError),
], ids=["items", "startswith", "store", "delete-marker", "marker-truth", "marker-lookup"])
def test_errors_while_processing_the_namespace_propagate(attrs, error):
    with pytest.raises(error):
        LockableMeta("Broken", (), attrs)


def test_custom_prepare_mapping_is_used():
    class Meta(LockableMeta):
        @classmethod
        def __prepare__(mcs, name, bases):
            return Refusing()
    with pytest.raises(KeyError):
        class Broken(metaclass=Meta):
            def m(self):
                pass


def test_metaclass_with_lockable_uses_the_constructed_lock(monkeypatch, events):
    class NoContext:
        def RLock(self):
            raise AssertionError("a lock was created")
    monkeypatch.setattr(sync, "multiprocessing", NoContext())

    class Both(Lockable, metaclass=LockableMeta):
        def __init__(self):
            super().__init__(lock=lambda: RecordingLock(events))

        def outer(self):
            return self.inner()

        def inner(self):
            return "inner"
    assert Both().outer() == "inner"
    assert events == [NONBLOCKING, NONBLOCKING, RELEASE, RELEASE]


# ---- across processes ------------------------------------------------------

def _child_tries(obj, conn):
    conn.send(obj.acquire(False))
    conn.send(obj.acquire(True, 60))
    obj.release()


def test_lock_made_before_fork_excludes_the_child():
    obj = Lockable()
    parent_end, child_end = FORK.Pipe()
    assert obj.acquire()
    child = FORK.Process(target=_child_tries, args=(obj, child_end))
    child.start()
    try:
        assert parent_end.poll(60) and parent_end.recv() is False
        assert not parent_end.poll(0.3)  # still waiting for us
    finally:
        obj.release()
    assert parent_end.poll(60) and parent_end.recv() is True
    child.join(60)
    assert child.exitcode == 0


class SharedCounter(metaclass=LockableMeta):
    def bump(self, value, times):
        for _ in range(times):
            v = value.value
            time.sleep(0.0005)
            value.value = v + 1


def test_metaclass_object_excludes_forked_children():
    value = FORK.Value("i", 0, lock=False)
    counter = SharedCounter()
    counter.bump(value, 1)  # creates the lock before the fork
    children = [FORK.Process(target=counter.bump, args=(value, 40)) for _ in range(2)]
    for c in children:
        c.start()
    counter.bump(value, 40)
    for c in children:
        c.join(60)
        assert c.exitcode == 0
    assert value.value == 1 + 3 * 40
