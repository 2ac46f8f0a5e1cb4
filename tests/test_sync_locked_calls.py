"""What one call of a locked method does with the object's lock, on the
ordinary path and on every failing one."""
import inspect
import sys
import threading
import time
import types

import pytest

import vortan.async_.synchronize as sync
from conftest import (BLOCKING, FORK, NONBLOCKING, RELEASE, RLOCK_TYPE, Plain,
                      RecordingLock, in_thread, raw_wrapper, run_python)

locked = sync.locked
# sys._clear_type_cache() is deprecated from 3.14 for this spelling.
clear_type_cache = sys._clear_internal_caches if sys.version_info >= (3, 14) else sys._clear_type_cache


class BadBool:
    def __bool__(self):
        raise ZeroDivisionError("no truth here")


def recorder(events, result="result"):
    def method(self, *args, **kwargs):
        events.append(("method", args, kwargs))
        return result
    return method


class FakeContext:
    """Stands in for the module's fork context; counts the locks it makes."""

    def __init__(self, make):
        self.make = make
        self.made = []

    def RLock(self):
        lock = self.make()
        self.made.append(lock)
        return lock


@pytest.fixture
def fake_context(monkeypatch, events):
    ctx = FakeContext(lambda: RecordingLock(events))
    monkeypatch.setattr(sync, "multiprocessing", ctx)
    return ctx


# ---- the ordinary paths ----------------------------------------------------

def test_uncontended_call_sequence(events, fake_lock, log_records):
    obj = Plain()
    obj.__lock__ = fake_lock
    w = locked(recorder(events, result=obj))
    assert w(obj, 1, 2, k=3) is obj
    assert events == [NONBLOCKING, ("method", (1, 2), {"k": 3}), RELEASE]
    assert log_records == []


@pytest.mark.parametrize("decorator", [locked, sync.Lockable.locked])
def test_contended_call_warns_then_waits(decorator, events, fake_lock, log_records):
    fake_lock.free = 0
    obj = Plain("50% %s done")
    obj.__lock__ = fake_lock
    assert decorator(recorder(events))(obj) == "result"
    text = "Waiting for lock on <Plain 50% %s done>"
    assert events == [NONBLOCKING, ("log", "WARNING", text), BLOCKING,
                      ("method", (), {}), RELEASE]
    (record,) = log_records
    assert record.msg == text and not record.args
    assert record.name == "vortan.async_.synchronize"


def test_truth_of_the_attempt_decides(events, fake_lock, log_records):
    obj = Plain()
    obj.__lock__ = fake_lock
    w = locked(recorder(events))
    for value, waits in ((1, False), ([], True), ("x", False), (None, True)):
        del events[:]
        fake_lock.free = value
        w(obj)
        assert (BLOCKING in events) is waits


def locked_class(form, method):
    """A class whose `method` is locked by `form`: "locked", "Lockable.locked" or "LockableMeta"."""
    if form == "LockableMeta":
        return sync.LockableMeta("ByMeta", (), {"method": method})
    decorator = locked if form == "locked" else sync.Lockable.locked
    return type("ByDecorator", (), {"method": decorator(method)})


@pytest.mark.parametrize("form", ["locked", "Lockable.locked", "LockableMeta"])
@pytest.mark.parametrize("change", ["replace", "delete"])
def test_release_goes_to_the_lock_acquired(form, change, events):
    first, second = RecordingLock(events, name="first"), RecordingLock(events, name="second")

    def method(self):
        if change == "replace":
            self.__lock__ = second
        else:
            self.__dict__.clear()
        return "done"
    obj = locked_class(form, method)()
    obj.__lock__ = first
    assert obj.method() == "done"
    assert [e[0] for e in events] == ["first.acquire", "first.release"]


def test_logger_and_context_are_looked_up_at_each_call(monkeypatch, events):
    said = []
    monkeypatch.setattr(sync, "logger", types.SimpleNamespace(warning=said.append))
    ctx = FakeContext(lambda: RecordingLock(events, free=False))
    monkeypatch.setattr(sync, "multiprocessing", ctx)
    obj = Plain("x")
    locked(recorder(events))(obj)
    assert obj.__lock__ is ctx.made[0]
    assert said == ["Waiting for lock on <Plain x>"]


def test_first_call_creates_a_fork_rlock():
    obj = Plain()
    w = locked(lambda self: self.__lock__)
    lock = w(obj)
    assert type(lock) is RLOCK_TYPE
    assert obj.__lock__ is lock and w(obj) is lock
    assert in_thread(lambda: lock.acquire(False) and (lock.release() or True))


def test_failed_read_of_lock_is_treated_as_missing(fake_context):
    class Guarded:
        class _Slot:
            def __get__(self, obj, owner):
                if obj is None or "_l" not in vars(obj):
                    raise LookupError("not yet")
                return vars(obj)["_l"]

            def __set__(self, obj, value):
                vars(obj)["_l"] = value
        __lock__ = _Slot()

    obj = Guarded()
    locked(lambda self: None)(obj)
    assert vars(obj)["_l"] is fake_context.made[0]


def test_existing_lock_is_used_and_class_lock_is_shared(fake_context, events):
    class Shared:
        __lock__ = RecordingLock(events, name="class")
    a, b = Shared(), Shared()
    w = locked(lambda self: None)
    w(a)
    w(b)
    assert fake_context.made == []
    assert "__lock__" not in vars(a) and "__lock__" not in vars(b)
    assert [e[0] for e in events] == ["class.acquire", "class.release"] * 2


def test_self_by_keyword_and_fresh_kwargs(events, fake_lock):
    obj = Plain()
    obj.__lock__ = fake_lock
    kw = {"a": 1}

    def method(self, **kwargs):
        events.append(("method", self, dict(kwargs)))
        kwargs["added"] = True
    w = locked(method)
    w(self=obj, **kw)
    assert events == [NONBLOCKING, ("method", obj, {"a": 1}), RELEASE]
    assert kw == {"a": 1}


def test_missing_or_doubled_self_is_a_type_error(events, fake_lock):
    obj = Plain()
    obj.__lock__ = fake_lock
    w = locked(recorder(events))
    with pytest.raises(TypeError):
        w()
    with pytest.raises(TypeError):
        w(x=1)
    with pytest.raises(TypeError):
        w(obj, self=obj)
    assert events == []


DECORATORS = pytest.mark.parametrize("decorator", [locked, sync.Lockable.locked], ids=["locked", "Lockable.locked"])


@DECORATORS
def test_self_from_defaults_as_the_signature_shows(decorator, events, fake_lock):
    obj = Plain()
    obj.__lock__ = fake_lock
    w = decorator(lambda self, k=None: (self, k))
    del w.__wrapped__
    w.__defaults__ = (obj,)
    assert str(inspect.signature(w)) == "(self=%r, *args, **kwargs)" % obj
    assert w() == (obj, None)
    assert w(k=1) == (obj, 1)
    assert events == [NONBLOCKING, RELEASE, NONBLOCKING, RELEASE]


def test_keyword_names_that_are_not_strings_are_a_type_error():
    # 3.8 hands such names on to C callables unchecked.
    r = run_python("""
        from vortan.async_.synchronize import Lockable, locked

        class Obj:
            @locked
            def m(self, **kwargs):
                return kwargs

        for call in (lambda: Obj().m(**{b"k": 1}), lambda: Obj.m(**{b"self": Obj()}),
                     lambda: Lockable().acquire(**{b"block": False})):
            try:
                call()
            except TypeError as error:
                print("keywords must be strings" in str(error))
    """)
    assert (r.returncode, r.stdout.split()) == (0, ["True"] * 3), r.stderr


@DECORATORS
def test_a_failing_call_leaves_the_handled_exception_as_it_was(decorator, fake_lock):
    class Obj:
        @decorator
        def fail(self):
            raise ValueError("inner")
    obj = Obj()
    obj.__lock__ = fake_lock

    def generator():
        try:
            obj.fail()
        except ValueError:
            pass
        yield
        yield sys.exc_info()
    try:
        raise KeyError("outer")
    except KeyError:
        running = generator()
        next(running)  # runs while the caller handles the KeyError
    assert next(running) == (None, None, None)


def test_method_exception_propagates_after_release(events, fake_lock):
    obj = Plain()
    obj.__lock__ = fake_lock
    boom = ValueError("boom")

    def method(self):
        events.append("method")
        raise boom
    with pytest.raises(ValueError) as info:
        locked(method)(obj)
    assert info.value is boom
    assert events == [NONBLOCKING, "method", RELEASE]


def test_release_failure_replaces_exception_and_chains_it(events, fake_lock):
    obj = Plain()
    obj.__lock__ = fake_lock
    fake_lock.release_error = RuntimeError("release failed")
    boom = ValueError("boom")

    def method(self):
        raise boom
    with pytest.raises(RuntimeError) as info:
        locked(method)(obj)
    assert info.value is fake_lock.release_error
    assert info.value.__context__ is boom


def test_release_failure_after_success_drops_result(events, fake_lock):
    obj = Plain()
    obj.__lock__ = fake_lock
    fake_lock.release_error = RuntimeError("release failed")
    with pytest.raises(RuntimeError) as info:
        locked(recorder(events))(obj)
    assert info.value.__context__ is None
    assert events == [NONBLOCKING, ("method", (), {}), RELEASE]


@pytest.mark.parametrize("failure", ["acquire", "truth", "blocking", "log"])
def test_failure_before_the_lock_is_held(failure, events, fake_lock, log_records):
    obj = Plain()
    obj.__lock__ = fake_lock
    expected = {"acquire": OSError, "truth": ZeroDivisionError, "blocking": KeyboardInterrupt,
                "log": LookupError}[failure]
    if failure == "acquire":
        fake_lock.acquire_error = OSError("acquire failed")
    elif failure == "truth":
        fake_lock.free = BadBool()
    else:
        fake_lock.free = False
    if failure == "blocking":
        fake_lock.blocking_error = KeyboardInterrupt()

    def refuse(record):
        raise LookupError("filter failed")
    if failure == "log":
        sync.logger.addFilter(refuse)
    try:
        with pytest.raises(expected):
            locked(recorder(events))(obj)
    finally:
        sync.logger.removeFilter(refuse)
    calls = [e for e in events if e[0] != "log"]
    assert calls == ([NONBLOCKING, BLOCKING] if failure == "blocking" else [NONBLOCKING])


@pytest.mark.parametrize("case", ["str raises", "warnings disabled"])
def test_warning_text_never_stops_the_call(case, events, fake_lock, log_records, monkeypatch):
    class Obj:
        def __str__(self):
            events.append("str")
            raise KeyError("no str")
    obj = Obj()
    obj.__lock__ = fake_lock
    fake_lock.free = False
    if case == "warnings disabled":
        monkeypatch.setattr(sync.logger, "disabled", True)
    assert locked(recorder(events))(obj) == "result"
    calls = [e for e in events if e[0] != "log"]
    if case == "str raises":
        assert calls == [NONBLOCKING, "str", BLOCKING, ("method", (), {}), RELEASE]
        (record,) = log_records
        assert record.getMessage() == "Waiting for lock on " + object.__repr__(obj)
    else:
        assert calls == [NONBLOCKING, BLOCKING, ("method", (), {}), RELEASE]
        assert log_records == []


def test_contended_call_with_a_locked_repr_under_a_high_recursion_limit():
    r = run_python("""
        import logging, sys, threading
        from vortan.async_.synchronize import locked
        sys.setrecursionlimit(20000)

        class Obj:
            @locked
            def __repr__(self):
                return "obj"

            @locked
            def work(self):
                return "worked"

        warned = threading.Event()
        class Note(logging.Handler):
            def emit(self, record):
                warned.set()
        logging.getLogger("vortan.async_.synchronize").addHandler(Note())
        obj = Obj()
        obj.work()
        taken = threading.Event()

        def hold():
            obj.__lock__.acquire()
            taken.set()
            warned.wait(30)
            obj.__lock__.release()
        t = threading.Thread(target=hold)
        t.start()
        taken.wait(30)
        print(obj.work())
        t.join()
    """)
    assert (r.returncode, r.stdout.split()) == (0, ["worked"]), r.stderr


def test_object_without_instance_dict(fake_context, events):
    class Slotted:
        __slots__ = ("x",)
    with pytest.raises(AttributeError):
        locked(recorder(events))(Slotted())
    assert len(fake_context.made) == 1 and events == []


def test_lock_creation_failure_propagates(monkeypatch, events):
    def refuse():
        raise OSError("no semaphores")
    monkeypatch.setattr(sync, "multiprocessing", types.SimpleNamespace(RLock=refuse))
    obj = Plain()
    with pytest.raises(OSError):
        locked(recorder(events))(obj)
    assert events == [] and not hasattr(obj, "__lock__")


def test_non_callable_and_nameless_objects_can_be_decorated(events, fake_lock):
    class Nameless:
        __slots__ = ()

        def __call__(self, obj):
            return "called"
    for decorator, qualname in ((locked, "locked.<locals>._wrapped"),
                                (sync.Lockable.locked, "Lockable.locked.<locals>._wrapped")):
        w = decorator(Nameless())
        assert (w.__name__, w.__qualname__) == ("_wrapped", qualname)
        assert isinstance(w.__wrapped__, Nameless)

    obj = Plain()
    obj.__lock__ = fake_lock
    assert locked(Nameless())(obj) == "called"
    w = locked(42)
    assert w.__name__ == "_wrapped" and w.__wrapped__ == 42
    del events[:]
    with pytest.raises(TypeError):
        w(obj)
    assert events == [NONBLOCKING, RELEASE]


def test_wrapper_keeps_the_method_alive():
    import gc
    import weakref

    def method(self):
        return "alive"
    ref = weakref.ref(method)
    w = raw_wrapper(locked, method)
    del method
    gc.collect()
    assert ref() is not None and w(Plain()) == "alive"
    del w
    gc.collect()
    assert ref() is None


# ---- reads that the call caches per type -----------------------------------

class DictLock:
    """A lock whose methods sit in its instance dict, as the fork context's do."""

    def __init__(self, events, name):
        inner = RecordingLock(events, name=name)
        self.acquire = inner.acquire
        self.release = inner.release


@pytest.mark.parametrize("decorator", [locked, sync.Lockable.locked], ids=["locked", "Lockable.locked"])
@pytest.mark.parametrize("change", ["class __lock__", "__getattribute__", "__getattr__",
                                    "lock class", "other lock"])
@pytest.mark.parametrize("type_cache", ["kept", "cleared", "cleared, every class read"])
def test_cached_reads_follow_changes(type_cache, change, decorator, events):
    class Owner:
        @decorator
        def m(self):
            return "done"

    class Lock(DictLock):
        pass
    obj = Owner()
    obj.__lock__ = FORK.RLock() if change == "other lock" else Lock(events, "first")

    def call():
        if type_cache != "kept":
            # Some versions then hand out the same tags again, in the same
            # order: these reads give both types back the tags they had.
            clear_type_cache()
            if type_cache == "cleared, every class read":
                for cls in object.__subclasses__():
                    getattr(cls, "no_such_attribute", None)
            obj.m, obj.__lock__.acquire
        return obj.m()
    for _ in range(3):
        call()  # both types are known by now
    del events[:]
    second = RecordingLock(events, name="second")
    if change == "class __lock__":
        Owner.__lock__ = property(lambda self: second)
    elif change == "__getattribute__":
        Owner.__getattribute__ = (lambda self, name: second if name == "__lock__"
                                  else object.__getattribute__(self, name))
    elif change == "__getattr__":
        del obj.__lock__
        Owner.__getattr__ = lambda self, name: second
    elif change == "lock class":
        Lock.acquire = property(lambda self: second.acquire)
        Lock.release = property(lambda self: second.release)
    else:
        obj.__lock__ = DictLock(events, "second")
    assert call() == "done"
    assert events == [("second.acquire", (False,), {}), ("second.release", (), {})]


@pytest.mark.parametrize("change", ["release replaced", "dict replaced", "class changed"])
def test_release_follows_what_the_method_did_to_the_fork_lock(change):
    lock = FORK.RLock()
    semaphore_release = lock.release
    calls = []

    def release():
        calls.append("release")
        semaphore_release()

    class Obj:
        change = None

        @locked
        def m(self):
            if self.change == "release replaced":
                lock.release = release
            elif self.change == "dict replaced":
                lock.__dict__ = dict(vars(lock), release=release)
            elif self.change == "class changed":
                lock.__class__ = type("Changed", (type(lock),), {"release": property(lambda self: release)})
            return "done"
    obj = Obj()
    obj.__lock__ = lock
    for _ in range(3):
        obj.m()  # the lock's methods are known by now
    obj.change = change
    assert obj.m() == "done"
    assert calls == ["release"] and lock._semlock._count() == 0


def test_only_the_fork_semaphore_is_called_directly():
    # A lock of another kind whose class takes the semaphore's name: its
    # methods are called as Python calls them.
    r = run_python("""
        import _thread
        from vortan.async_.synchronize import locked

        class Impostor(_thread.RLock):
            pass
        Impostor.__name__ = "_multiprocessing.SemLock"

        class Lock:
            pass
        lock, inner = Lock(), Impostor()
        lock.acquire, lock.release = inner.acquire, inner.release

        class Obj:
            pass
        obj = Obj()
        obj.__lock__ = lock
        print(locked(lambda self: "ran")(obj))
    """)
    assert (r.returncode, r.stdout.split()) == (0, ["ran"]), r.stderr


# ---- threads and recursion -------------------------------------------------

def test_nested_calls_reenter_without_warning(log_records):
    class Account:
        @locked
        def outer(self):
            return self.inner() + 1

        @locked
        def inner(self):
            return 1
    acc = Account()
    assert acc.outer() == 2
    assert log_records == []
    assert in_thread(lambda: acc.__lock__.acquire(False))


class Counter:
    def __init__(self):
        self.value = 0
        self.inside = 0
        self.overlap = False

    @locked
    def bump(self):
        self.inside += 1
        if self.inside > 1:
            self.overlap = True
        v = self.value
        time.sleep(0)
        self.value = v + 1
        self.inside -= 1
        return self.__lock__


def test_threads_exclude_one_another():
    c = Counter()
    c.bump()  # the lock exists before the object is shared
    threads = [threading.Thread(target=lambda: [c.bump() for _ in range(300)]) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    assert c.value == 1 + 4 * 300 and not c.overlap


class SlowSetattr(Counter):
    def __setattr__(self, name, value):
        time.sleep(0.005)  # lets the other first callers run between check and assignment
        object.__setattr__(self, name, value)


class SlowGetattribute(Counter):
    def __getattribute__(self, name):
        if name == "__lock__":
            time.sleep(0.005)
        return object.__getattribute__(self, name)


@pytest.mark.parametrize("cls", [Counter, SlowSetattr, SlowGetattribute])
def test_first_call_race_ends_with_one_shared_lock(cls, monkeypatch):
    def slow_rlock():
        time.sleep(0.02)  # lets the other threads reach the same point
        return FORK.RLock()
    ctx = FakeContext(slow_rlock)
    monkeypatch.setattr(sync, "multiprocessing", ctx)
    c = cls()
    n = 8
    barrier = threading.Barrier(n)
    seen = []
    errors = []

    def run():
        try:
            barrier.wait(10)
            seen.append(c.bump())
        except BaseException as exc:  # surfaced below
            errors.append(exc)
    threads = [threading.Thread(target=run) for _ in range(n)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    assert errors == []
    assert ctx.made == [c.__lock__]
    assert len(seen) == n and all(lock is c.__lock__ for lock in seen)
    assert c.value == n and not c.overlap


def test_child_forked_while_a_first_call_creates_a_lock_can_create_its_own():
    r = run_python("""
        import os, threading, time
        from vortan.async_.synchronize import locked

        class Stalling:
            def __setattr__(self, name, value):
                inside.set()
                go.wait(30)
                object.__setattr__(self, name, value)

        class Plain:
            pass

        @locked
        def touch(self):
            return "touched"

        inside, go = threading.Event(), threading.Event()
        t = threading.Thread(target=touch, args=(Stalling(),))
        t.start()
        inside.wait(30)  # that thread now creates a lock for its object
        pid = os.fork()
        if pid == 0:
            os._exit(0 if touch(Plain()) == "touched" else 1)
        for _ in range(300):
            done, status = os.waitpid(pid, os.WNOHANG)
            if done:
                break
            time.sleep(0.05)
        else:
            os.kill(pid, 9)
            os.waitpid(pid, 0)
            status = "deadlocked"
        go.set()
        t.join()
        print(status)
    """)
    assert (r.returncode, r.stdout.split()) == (0, ["0"]), r.stderr


@pytest.mark.parametrize("user_code", ["__setattr__", "__getattribute__", "__getattr__", "lock factory"])
def test_first_calls_on_different_objects_never_wait_on_each_other(user_code):
    # The first locked call on one object runs user code that waits for a
    # worker, which makes the first locked call on another object.
    r = run_python("""
        import os, threading
        import vortan.async_.synchronize as sync

        @sync.locked
        def touch(self):
            return "touched"

        class Other:
            pass

        audited = []

        def hand_to_worker():
            if threading.current_thread().name == "auditor":
                return
            done = threading.Event()
            def audit():
                audited.append(touch(Other()))
                done.set()
            threading.Thread(target=audit, name="auditor", daemon=True).start()
            if not done.wait(20):
                print("deadlocked", flush=True)
                os._exit(1)

        class Audited:
            if USER_CODE == "__setattr__":
                def __setattr__(self, name, value):
                    hand_to_worker()
                    object.__setattr__(self, name, value)
            elif USER_CODE == "__getattribute__":
                def __getattribute__(self, name):
                    hand_to_worker()
                    return object.__getattribute__(self, name)
            elif USER_CODE == "__getattr__":
                def __getattr__(self, name):
                    hand_to_worker()
                    raise AttributeError(name)

        if USER_CODE == "lock factory":
            context = sync.multiprocessing
            class Factory:
                def RLock(self):
                    hand_to_worker()
                    return context.RLock()
            sync.multiprocessing = Factory()
        print(touch(Audited()), set(audited))
    """.replace("USER_CODE", repr(user_code)), timeout=120)
    assert (r.returncode, r.stdout.split()) == (0, ["touched", "{'touched'}"]), r.stderr


@pytest.mark.parametrize("lock_kind", ["owner-checked", "default"])
def test_no_lock_stays_held_after_runaway_recursion(lock_kind):
    # A release written in Python needs frames of its own at the limit.
    r = run_python("""
        import sys, threading
        from vortan.async_.synchronize import locked

        class OwnerChecked:
            def __init__(self):
                self.inner = threading.RLock()
            def acquire(self, block=True, timeout=None):
                return self.inner.acquire(block)
            def release(self):
                self.check_owner()
                self.inner.release()
            def check_owner(self):
                if not self.inner._is_owned():
                    raise RuntimeError("not the owner")

        class Obj:
            pass

        @locked
        def down(self):
            return down(self)

        def at_depth(extra, obj):
            if extra:
                return at_depth(extra - 1, obj)
            try:
                down(obj)
            except RecursionError:
                pass

        held = []
        for extra in range(6):
            obj = Obj()
            if LOCK_KIND == "owner-checked":
                obj.__lock__ = OwnerChecked()
            at_depth(extra, obj)
            got = []
            t = threading.Thread(target=lambda: got.append(obj.__lock__.acquire(False)))
            t.start()
            t.join()
            held.append(not got[0])
        print(held)
    """.replace("LOCK_KIND", repr(lock_kind)))
    assert (r.returncode, r.stdout.split()) == (0, ["[False,", "False,", "False,", "False,", "False,", "False]"]), \
        r.stderr


def test_endless_recursion_ends_in_recursion_error():
    r = run_python("""
        import threading
        from vortan.async_.synchronize import locked
        class O: pass
        @locked
        def down(self):
            return down(self)
        o = O()
        try:
            down(o)
        except RecursionError:
            print("RecursionError")
        got = []
        t = threading.Thread(target=lambda: got.append(o.__lock__.acquire(False)))
        t.start(); t.join()
        print(got)
    """)
    assert (r.returncode, r.stdout.split()) == (0, ["RecursionError", "[True]"]), r.stderr


def test_chain_of_wrappers_ends_in_recursion_error_and_is_freed_iteratively():
    # Without functools.wraps, each wrapper holds the next only through the
    # function type itself: freeing the chain by plain recursion would
    # overflow the C stack.
    r = run_python("""
        import gc, types
        import vortan.async_.synchronize as sync
        sync.functools = types.SimpleNamespace(wraps=lambda method: lambda wrapper: wrapper)
        class O: pass
        f = lambda self: "bottom"
        for _ in range(1000000):
            f = sync.locked(f)
        try:
            print(f(O()))
        except RecursionError:
            print("RecursionError")
        del f
        gc.collect()
        print("freed")
    """)
    assert (r.returncode, r.stdout.split()) == (0, ["RecursionError", "freed"]), r.stderr
