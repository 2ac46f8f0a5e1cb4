"""The layer both modules are built on, as Python code meets it: `**mapping`
merges, the function type's attributes and garbage collection, and the
boundary where C++ failures become Python exceptions.

Cases that could crash the interpreter run in a fresh one (run_python), so
that a crash fails the test instead of ending the run."""
import gc
import inspect
import os
import weakref

import pytest

import vortan.async_.synchronize as sync
import vortan.async_.tandrel as tandrel
from conftest import classes_freed, raw_wrapper, run_python

# Keyword mappings whose str-subclass keys empty the mapping from __hash__ or
# __eq__ while it is being merged, and two callers of the merge:
# ChildLabor.run (`target(**self._kwargs)`) and plan construction
# (`ChildLabor(index=i, queue=q, **work)`).
HOSTILE_KEYWORDS = """
import vortan.async_.tandrel as tandrel

class Queue:
    def __init__(self):
        self.items = []
    def put(self, item):
        self.items.append(item)

armed = []
class Key(str):
    # One hash for every key: each insertion after the first compares keys.
    def __hash__(self):
        if %(in_hash)s and armed:
            armed.pop().clear()
        return 1
    def __eq__(self, other):
        if not %(in_hash)s and armed:
            armed.pop().clear()
        return str.__eq__(self, other)

def mapping(**items):
    # Keys and values live only in the mapping.
    d = {Key(name): value for name, value in items.items()}
    armed.append(d)
    return d

def target(**kwargs):
    return sorted(kwargs)

via_run = tandrel.ChildLabor(0, Queue(), target=target)
via_run._kwargs = mapping(alpha=object(), beta=object())
via_run.run()
print("run", via_run._queue.items)

class Plan(tandrel.Pcall):
    def _build_arguments(self):
        return [mapping(target=target, args=(), kwargs={})]
try:
    Plan(target)
except Exception as exc:
    print("plan", type(exc).__name__, exc)
else:
    print("plan", "built")
"""


@pytest.mark.parametrize("in_hash", [True, False], ids=["hash", "eq"])
def test_keyword_key_that_empties_its_mapping_is_merged_safely(in_hash):
    r = run_python(HOSTILE_KEYWORDS % {"in_hash": in_hash})
    assert r.returncode == 0, r.stderr
    # Every keyword, as the mapping stood when the call began: what the
    # interpreter's own `target(**mapping)` gives where it copes (the hash
    # case on every version, the eq case on 3.8).
    assert r.stdout.splitlines() == ["run [(0, True, ['alpha', 'beta'])]", "plan built"]


class KeysOverridden(dict):
    def keys(self):
        return ["x"]

    def __getitem__(self, key):
        return 5


class IterationOverridden(KeysOverridden):
    def __iter__(self):
        return iter(["y"])


@pytest.mark.parametrize("mapping_class", [dict, KeysOverridden, IterationOverridden])
def test_keyword_merge_reads_dict_subclasses_as_the_interpreter_does(mapping_class):
    class Queue:
        def put(self, message):
            self.message = message

    def target(**kwargs):
        return kwargs

    worker = tandrel.ChildLabor(0, Queue(), target=target)
    worker._kwargs = mapping_class(a=1)
    worker.run()
    assert worker._queue.message == (0, True, target(**mapping_class(a=1)))


@pytest.mark.parametrize("fn", [sync.locked, tandrel.Pcall.join, raw_wrapper(sync.locked, lambda self: None)],
                         ids=["locked", "Pcall.join", "wrapper"])
def test_signature_attribute_deletes_as_a_python_function_does(fn):
    declared = str(inspect.signature(fn))
    with pytest.raises(AttributeError):
        del fn.__signature__
    fn.__signature__ = "assigned"
    assert fn.__signature__ == "assigned"
    del fn.__signature__
    assert str(fn.__signature__) == declared
    with pytest.raises(AttributeError):
        del fn.__signature__


@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""),
                    reason="the sanitizer's allocator aborts instead of failing an allocation")
def test_cpp_allocation_failure_is_memory_error():
    # ChildLabor.__init__ copies the arguments it passes on into a C++ vector:
    # under a limit on the address space, that allocation is the one to fail.
    r = run_python("""
        import resource
        import vortan.async_.tandrel as tandrel
        many = (None,) * 20000000
        with open("/proc/self/status") as status:
            size = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))
        resource.setrlimit(resource.RLIMIT_AS, (size + 50 * 2**20,) * 2)
        try:
            tandrel.ChildLabor.__init__(object(), 0, None, *many)
        except MemoryError:
            print("MemoryError")
    """)
    assert (r.returncode, r.stdout.strip()) == (0, "MemoryError"), r.stderr


@classes_freed
def test_classes_with_locked_methods_that_use_their_class_are_collected():
    # A method that uses super() or __class__ holds its class through a cell,
    # and the class holds the wrapper: only a collector that sees the wrapper's
    # reference to the method can free the cycle.
    Lockable, LockableMeta, locked = sync.Lockable, sync.LockableMeta, sync.locked

    def make_classes():
        class Base:
            def name(self):
                return "base"

        class Plain(Base):
            @locked
            def name(self):
                return super().name() + __class__.__name__

        class Owned(Lockable):
            @Lockable.locked
            def name(self):
                return __class__.__name__

        class Meta(Base, metaclass=LockableMeta):
            def name(self):
                return super().name()

        for cls in (Plain, Owned, Meta):
            cls().name()
        return [weakref.ref(cls) for cls in (Plain, Owned, Meta)]

    probes = [probe for _ in range(5) for probe in make_classes()]
    gc.collect()
    assert [probe() for probe in probes] == [None] * len(probes)


def test_function_called_by_the_collector_after_its_clear():
    # A finalizer makes a weak reference to the wrapper, with a callback on
    # an object that dies as the collector tears the cycle down: the callback
    # then calls the wrapper after its clear.
    r = run_python("""
        import gc, weakref
        from vortan.async_.synchronize import locked

        class Plain:
            pass

        class Method:
            def __call__(self, obj):
                return "ran"

        keep = []

        class Finalizer:
            def __del__(self):
                wrapper = weakref.ref(self.w)

                def call(_):
                    if wrapper() is not None:
                        print(wrapper()(Plain()))
                keep.append(weakref.ref(self.m, call))

        def make():
            m = Method()
            w = locked(m)
            fin = Finalizer()
            fin.m, fin.w = m, w
            w.fin = fin
        make()
        gc.collect()
        print("collected")
    """)
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines()[-1:] == ["collected"]
