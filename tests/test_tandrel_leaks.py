"""Building plans and workers, and running workers, keep no references, no
memory and no file descriptors behind. Nothing here is timed."""
import gc
import os
import sys
import types
import weakref

import pytest

import vortan.async_.tandrel as tandrel
from tandrel_helpers import FORK, drain

Pcall, ChildLabor = tandrel.Pcall, tandrel.ChildLabor

MiB = 1024 * 1024
PLANS = 10000
# AddressSanitizer keeps freed memory in quarantine, so resident memory says
# nothing about leaks there (its own reports do).
rss_is_meaningful = pytest.mark.skipif(
    "asan" in os.environ.get("LD_PRELOAD", ""),
    reason="resident memory under AddressSanitizer includes its quarantine")
# Without pymalloc (PYTHONMALLOC=malloc) no blocks are counted.
blocks_are_counted = pytest.mark.skipif(
    sys.getallocatedblocks() == 0, reason="the interpreter's allocator counts no blocks")


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def open_descriptors():
    return len(os.listdir("/proc/self/fd"))


def target(*args, **kwargs):
    return args


class Inputs:
    """The objects handed to the plans, kept apart so that their reference
    counts can be compared."""

    def __init__(self):
        self.cargs = (object(),)
        self.ckwargs = {"common": object()}
        self.iargs = [(object(),), (object(),)]
        self.ikwargs = [{"own": object()}, [("own", object())]]
        self.values = [object(), object(), object()]
        self.timeout = float("2.5")  # a float of its own, so its count is ours
        self.other_target = lambda: None

    def objects(self):
        return [target, self.other_target, self.cargs, self.cargs[0], self.ckwargs,
                self.ckwargs["common"], self.iargs, self.iargs[0], self.iargs[0][0],
                self.ikwargs, self.ikwargs[0], self.ikwargs[0]["own"], self.ikwargs[1],
                self.values, self.values[0], self.timeout]


def build_plans(inputs, n=PLANS):
    for i in range(n // 2):
        Pcall(target, inputs.timeout, inputs.cargs, inputs.iargs, inputs.ckwargs,
              inputs.ikwargs, v=inputs.values)
        Pcall([target, inputs.other_target], iargs=inputs.iargs, w=inputs.values)


def failing_plans(inputs, n=PLANS // 10):
    """Constructions that fail, one per failure path."""
    def attempt(*args, **kwargs):
        try:
            Pcall(*args, **kwargs)
        except (TypeError, ValueError, AttributeError):
            pass
    for _ in range(n):
        attempt(target, cargs=inputs.cargs, iargs=None)
        attempt(target, ikwargs=inputs.ikwargs, v=5)
        attempt(None, cargs=inputs.cargs)
        attempt([], iargs=inputs.iargs, ckwargs=inputs.ckwargs)
        attempt(target, iargs=inputs.iargs, ckwargs=None)
        attempt(target, iargs=inputs.iargs, ikwargs=[inputs.ikwargs[0], ["abc"]],
                v=inputs.values)
        attempt(target, cargs=inputs.cargs, iargs=[inputs.iargs[0], 5])


def refcount_changes(call, objects):
    """Change of each object's reference count over a call (0: no leak)."""
    call()  # anything created lazily exists from here on
    gc.collect()
    before = [sys.getrefcount(o) for o in objects]
    call()
    gc.collect()
    after = [sys.getrefcount(o) for o in objects]
    return [a - b for a, b in zip(after, before)]


@pytest.fixture(scope="module")
def ten_thousand_plans():
    """What changed over ten thousand plans and the failing constructions,
    built once for the tests below after a first round of the same."""
    inputs = Inputs()
    objects = inputs.objects()

    def build():
        build_plans(inputs)
        failing_plans(inputs)
    build()
    gc.collect()
    refcounts = [sys.getrefcount(o) for o in objects]
    blocks = sys.getallocatedblocks()
    descriptors = open_descriptors()
    resident = resident_bytes()
    build()
    gc.collect()
    changes = types.SimpleNamespace(
        resident=resident_bytes() - resident,
        descriptors=open_descriptors() - descriptors,
        blocks=sys.getallocatedblocks() - blocks,
    )
    after = [sys.getrefcount(o) for o in objects]
    changes.refcounts = [a - b for a, b in zip(after, refcounts)]
    return changes


def test_ten_thousand_plans_keep_reference_counts_of_targets_and_arguments(ten_thousand_plans):
    assert ten_thousand_plans.refcounts == [0] * len(ten_thousand_plans.refcounts)


def test_ten_thousand_plans_leave_no_descriptor_open(ten_thousand_plans):
    assert ten_thousand_plans.descriptors == 0


@rss_is_meaningful
def test_ten_thousand_plans_keep_resident_memory_flat(ten_thousand_plans):
    assert ten_thousand_plans.resident < 2 * MiB


@blocks_are_counted
def test_ten_thousand_plans_keep_allocated_blocks_flat(ten_thousand_plans):
    # Any object kept per plan would add at least one block per plan.
    assert ten_thousand_plans.blocks < PLANS // 100


def test_plan_releases_its_channel_and_workers_with_itself():
    gc.collect()
    gc.disable()  # released by reference counting, not by the collector
    try:
        before = set(os.listdir("/proc/self/fd"))
        plan = Pcall(target, iargs=[(1,), (2,)])
        queue, worker = weakref.ref(plan._queue), weakref.ref(plan._processes[0])
        assert len(set(os.listdir("/proc/self/fd")) - before) == 2  # the two ends of the channel
        del plan
        assert queue() is None and worker() is None
        assert set(os.listdir("/proc/self/fd")) == before
    finally:
        gc.enable()


def test_workers_keep_reference_counts():
    queue, args, kwargs = FORK.SimpleQueue(), [object()], {"k": object()}
    objects = [queue, args, args[0], kwargs, kwargs["k"], target]

    def build():
        for i in range(2000):
            ChildLabor(i, queue, target=target, args=args, kwargs=kwargs)
            ChildLabor(i, queue, None, target, "named", args, kwargs, daemon=True)
    changes = refcount_changes(build, objects)
    assert changes == [0] * len(objects)


def test_running_workers_keeps_reference_counts(monkeypatch):
    monkeypatch.setattr(tandrel, "logger", types.SimpleNamespace(exception=lambda text: None))
    monkeypatch.setattr(tandrel, "ExceptionWithTraceback", lambda error: error.args)
    queue, arg, value = FORK.SimpleQueue(), object(), object()

    def succeed(a, k=None):
        return a is arg and k is value

    def fail(a, k=None):
        raise ValueError(a is arg)

    def unsendable(a, k=None):
        return lambda: None  # does not pickle
    workers = [ChildLabor(0, queue, target=t, args=(arg,), kwargs={"k": value})
               for t in (succeed, fail, unsendable)]
    objects = [queue, arg, value, succeed, fail, unsendable] + workers

    def run():
        for _ in range(500):
            for w in workers:
                w.run()
            assert [m[1] for m in drain(queue)] == [True, False, False]
    changes = refcount_changes(run, objects)
    assert changes == [0] * len(objects)


@pytest.mark.parametrize("gather", [False, True])
def test_maps_keep_reference_counts_and_descriptors(gather):
    """Items, function and results are let go with the map, failures too."""
    items = [object() for _ in range(6)]
    marker = object()

    def function(item):
        if item is items[3]:
            raise ValueError(marker)
        return marker

    def maps():
        for _ in range(20):
            try:
                tandrel.Pcall.map(function, items, chunksize=2, return_exceptions=gather)
            except ValueError:
                pass
            list(tandrel.Pcall.imap(function, items[:3], chunksize=1))

    descriptors = open_descriptors()
    assert refcount_changes(maps, items + [function, marker]) == [0] * 8
    assert open_descriptors() == descriptors
