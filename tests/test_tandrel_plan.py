"""Building a call plan: what construction stores, how common and per-child
arguments combine into each child's work, and how bad input fails."""
import collections
import collections.abc
import fractions
import multiprocessing
import os
import resource
import types

import pytest

import vortan.async_.tandrel as tandrel
from conftest import run_python
from tandrel_helpers import (FORK, FakeWorker, RecordingQueueContext, recording_plan_class,
                             work_of)

Pcall, ChildLabor = tandrel.Pcall, tandrel.ChildLabor
SENDER_TYPE = type(Pcall(lambda: None)._queue)


def f(*args, **kwargs):
    return ("f", args, kwargs)


def g(*args, **kwargs):
    return ("g", args, kwargs)


def h(*args, **kwargs):
    return ("h", args, kwargs)


def works(plan):
    """(target, args, kwargs) of every worker of a plan."""
    return [work_of(w) for w in plan._processes]


def work(target, args=(), kwargs=None):
    return {"target": target, "args": args, "kwargs": {} if kwargs is None else kwargs}


@pytest.fixture
def events():
    return []


@pytest.fixture
def recorded(events, monkeypatch):
    """A plan class whose construction is recorded step by step: attribute
    sets, the queue, the argument building and each worker."""
    monkeypatch.setattr(tandrel, "multiprocessing", RecordingQueueContext(events))

    def worker(**kwargs):
        events.append(("ChildLabor", kwargs["index"]))
        return FakeWorker(**kwargs)
    monkeypatch.setattr(tandrel, "ChildLabor", worker)
    return recording_plan_class(events)


STORED = [("set", n) for n in ("targets", "timeout", "cargs", "iargs", "ckwargs", "ikwargs",
                               "varkwargs", "results")]
QUEUE = [("set", "_queue"), ("set", "_run"), ("set", "_processes"), ("build",)]


# ---- what construction stores ----------------------------------------------

def test_construction_order(recorded, events):
    plan = recorded(f, iargs=[(1,), (2,)])
    assert events == STORED + QUEUE + [("ChildLabor", 0), ("ChildLabor", 1)]
    assert [w.kwargs["index"] for w in plan._processes] == [0, 1]


def test_stored_attributes():
    cargs, ckwargs, timeout = [1], {"c": 1}, 2.5
    iargs, ikwargs = ((2,), (3,)), ({"i": 1}, {"i": 2})
    values = (9, 8)
    plan = Pcall(f, timeout, cargs, iargs, ckwargs, ikwargs, zeta=values, alpha=iter("xy"))
    assert plan.targets is f
    assert plan.timeout is timeout
    assert plan.cargs is cargs
    assert plan.ckwargs is ckwargs
    assert type(plan.iargs) is list and plan.iargs == [(2,), (3,)] and plan.iargs[0] is iargs[0]
    assert type(plan.ikwargs) is list and plan.ikwargs == [{"i": 1}, {"i": 2}]
    assert plan.ikwargs[1] is ikwargs[1]
    assert type(plan.varkwargs) is dict and list(plan.varkwargs.items()) == [
        ("zeta", [9, 8]), ("alpha", ["x", "y"])]
    assert all(type(v) is list for v in plan.varkwargs.values())
    assert plan.results is None
    assert type(plan._queue) is SENDER_TYPE
    assert not hasattr(plan, "starttime") and not hasattr(plan, "stoptime")

    lst = [(5,)]
    assert Pcall(f, iargs=lst).iargs is not lst


def test_workers_in_child_order_not_started():
    before = multiprocessing.active_children()
    plan = Pcall([f, g, h], iargs=[(0,), (1,), (2,)])
    assert type(plan._processes) is list and len(plan._processes) == 3
    for i, w in enumerate(plan._processes):
        assert type(w) is ChildLabor
        assert w._index == i and w._queue is plan._queue
        assert not w.is_alive() and w.pid is None and w.exitcode is None
    assert works(plan) == [(f, (0,), {}), (g, (1,), {}), (h, (2,), {})]
    assert [w._work.target for w in plan._processes] == ["f", "g", "h"]
    assert multiprocessing.active_children() == before


def test_queue_is_read_again_for_each_child(monkeypatch):
    holder = []

    def worker(**kwargs):
        plan = holder[0]
        made = FakeWorker(**kwargs)
        plan._queue = "replaced after child %d" % kwargs["index"]
        return made

    class Plan(Pcall):
        def _build_arguments(self):
            holder.append(self)
            return super()._build_arguments()

    monkeypatch.setattr(tandrel, "ChildLabor", worker)
    plan = Plan(f, iargs=[(1,), (2,)])
    assert type(plan._processes[0].kwargs["queue"]) is SENDER_TYPE
    assert plan._processes[1].kwargs["queue"] == "replaced after child 0"


def test_default_ckwargs_is_shared_and_left_alone():
    shared = Pcall.__init__.__defaults__[3]
    one = Pcall(f, iargs=[(1,)], ikwargs=[{"x": 1}], y=[2])
    two = Pcall(f)
    assert one.ckwargs is shared and two.ckwargs is shared
    assert shared == {}
    assert works(one) == [(f, (1,), {"x": 1, "y": 2})]
    assert shared == {}


# ---- the combining rule ----------------------------------------------------

def test_worked_example():
    plan = Pcall(f, cargs=(0,), iargs=[(1,), (2,)], ckwargs={"alpha": 1},
                 ikwargs=[{"beta": 2}, {"beta": 3}], gamma=[7, 8, 9])
    assert plan._build_arguments() == [
        work(f, (0, 1), {"alpha": 1, "beta": 2, "gamma": 7}),
        work(f, (0, 2), {"alpha": 1, "beta": 3, "gamma": 8}),
    ]
    assert works(plan) == [(f, (0, 1), {"alpha": 1, "beta": 2, "gamma": 7}),
                           (f, (0, 2), {"alpha": 1, "beta": 3, "gamma": 8})]


@pytest.mark.parametrize("make,expected", [
    (lambda: Pcall(f), [work(f)]),
    (lambda: Pcall(f, cargs=[1, 2], ckwargs={"k": 3}), [work(f, (1, 2), {"k": 3})]),
    (lambda: Pcall([f, g]), [work(f), work(g)]),
    (lambda: Pcall((f, g), cargs=(0,)), [work(f, (0,)), work(g, (0,))]),
    (lambda: Pcall([f], iargs=[(1,), (2,)], ikwargs=[{}, {}, {}], v=[1, 2, 3, 4]),
     [work(f, (1,), {"v": 1})]),
    (lambda: Pcall([f, g, h], iargs=[(1,), (2,)]), [work(f, (1,)), work(g, (2,))]),
    (lambda: Pcall(f, iargs=[(1,), (2,), (3,)], ckwargs={"c": 0}),
     [work(f, (1,), {"c": 0}), work(f, (2,), {"c": 0}), work(f, (3,), {"c": 0})]),
    (lambda: Pcall(f, ikwargs=[{"a": 1}, [("a", 2)]]),
     [work(f, (), {"a": 1}), work(f, (), {"a": 2})]),
    (lambda: Pcall(f, v=(5, 6), w=range(3)), [work(f, (), {"v": 5, "w": 0}),
                                               work(f, (), {"v": 6, "w": 1})]),
    (lambda: Pcall(f, iargs=[(1,), (2,), (3,)], ikwargs=[{"a": 1}, {"a": 2}]),
     [work(f, (1,), {"a": 1}), work(f, (2,), {"a": 2})]),
    (lambda: Pcall(f, iargs=["ab"]), [work(f, ("a", "b"))]),
    (lambda: Pcall(f, iargs=[{"x": 1, "y": 2}]), [work(f, ("x", "y"))]),
    (lambda: Pcall(f, cargs="c", iargs=[[1, 2], range(3, 4)]),
     [work(f, ("c", 1, 2)), work(f, ("c", 3))]),
    (lambda: Pcall(f, v="xyz"), [work(f, (), {"v": "x"}), work(f, (), {"v": "y"}),
                                 work(f, (), {"v": "z"})]),
], ids=["single-callable", "common-only", "two-targets", "tuple-of-targets",
        "list-of-one-callable", "three-targets-two-iargs", "callable-three-iargs",
        "ikwargs-pairs", "varkwargs-shortest", "iargs-and-ikwargs", "string-item",
        "dict-item", "positional-order", "string-varkwargs"])
def test_combining(make, expected):
    plan = make()
    assert plan._build_arguments() == expected
    assert works(plan) == [(w["target"], w["args"], w["kwargs"]) for w in expected]


class CallableList(list):
    def __call__(self):
        return "called"


def test_a_callable_target_is_one_target_even_when_sized():
    targets = CallableList([f, g])
    plan = Pcall(targets)
    assert works(plan) == [(targets, (), {})]
    plan = Pcall(targets, iargs=[(1,), (2,), (3,)])
    assert [w._target for w in plan._processes] == [targets] * 3


def test_common_keywords_are_copied_with_their_own_copy_method():
    ckwargs = collections.UserDict({"c": 1})
    plan = Pcall(f, ckwargs=ckwargs, ikwargs=[{"i": 2}], v=[3])
    [item] = plan._build_arguments()
    assert type(item["kwargs"]) is collections.UserDict
    assert item["kwargs"] is not ckwargs
    assert item["kwargs"] == {"c": 1, "i": 2, "v": 3} and ckwargs == {"c": 1}
    assert works(plan) == [(f, (), {"c": 1, "i": 2, "v": 3})]


def test_work_dicts_are_plain_dicts_with_three_keys_in_order():
    [item] = Pcall(f, iargs=[[1]])._build_arguments()
    assert type(item) is dict and list(item) == ["target", "args", "kwargs"]
    assert type(item["args"]) is tuple and type(item["kwargs"]) is dict


def test_keyword_precedence():
    plan = Pcall(f, ckwargs={"k": "common", "only_c": 1},
                 ikwargs=[{"k": "instance", "only_i": 2}], k=["varkw"], only_v=[3])
    [item] = plan._build_arguments()
    assert item["kwargs"] == {"k": "varkw", "only_c": 1, "only_i": 2, "only_v": 3}
    assert list(item["kwargs"]) == ["k", "only_c", "only_i", "only_v"]
    [item] = Pcall(f, ckwargs={"k": "common"}, ikwargs=[{"k": "instance"}])._build_arguments()
    assert item["kwargs"] == {"k": "instance"}


def test_extra_keyword_names_reach_the_target_unchanged():
    names = ["target", "args", "kwargs", "index", "queue", "name", "group", "daemon",
             "varkwargs", "Targets"]
    plan = Pcall(f, **{name: [name.upper()] for name in names})
    assert list(plan.varkwargs) == names
    [worker] = plan._processes
    assert worker._target is f and worker._args == ()
    assert worker._kwargs == {name: name.upper() for name in names}
    assert worker._index == 0 and worker._queue is plan._queue
    assert worker.name != "NAME" and worker.daemon is not True


def test_parameter_names_are_never_varkwargs():
    plan = Pcall(targets=[f], timeout=1, cargs=[2], iargs=[[3]], ckwargs={"c": 4}, ikwargs=[{}])
    assert plan.varkwargs == {}
    assert plan.timeout == 1
    assert plan._build_arguments() == [work(f, (2, 3), {"c": 4})]


def test_empty_varkwargs_value_sets_the_keyword_for_no_child():
    plan = Pcall(f, iargs=[(1,), (2,)], empty=[], full=["a", "b", "c"])
    assert plan.varkwargs == {"empty": [], "full": ["a", "b", "c"]}
    assert plan._build_arguments() == [work(f, (1,), {"full": "a"}), work(f, (2,), {"full": "b"})]
    [item] = Pcall(f, ckwargs={"empty": "kept"}, empty=())._build_arguments()
    assert item["kwargs"] == {"empty": "kept"}


@pytest.mark.parametrize("kwargs", [
    {"iargs": [(1,)]}, {"ikwargs": [{}]}, {"v": [1, 2]}, {"iargs": [(1,)], "empty": []},
])
def test_empty_targets_with_another_count_is_refused(recorded, events, kwargs):
    with pytest.raises(ValueError) as raised:
        recorded([], **kwargs)
    assert "target" in str(raised.value)
    assert not any(e[0] == "ChildLabor" for e in events)


@pytest.mark.parametrize("kwargs", [{}, {"iargs": []}, {"v": [], "w": ()}, {"ikwargs": ()}])
def test_no_targets_and_every_count_zero_is_refused(recorded, events, kwargs):
    with pytest.raises(ValueError):
        recorded([], **kwargs)
    assert not any(e[0] == "ChildLabor" for e in events)


def test_every_count_zero_fails_as_min_of_no_counts_does():
    with pytest.raises(ValueError) as expected:
        min([])
    plan = Pcall([f])
    plan.targets = []
    with pytest.raises(ValueError) as raised:
        plan._build_arguments()
    assert str(raised.value) == str(expected.value)


def test_build_arguments_makes_fresh_copies_for_each_child():
    ckwargs = {"common": [1]}
    ikwargs = [{"own": 1}, {"own": 2}]
    plan = Pcall(f, ckwargs=ckwargs, ikwargs=ikwargs)
    first, second = plan._build_arguments(), plan._build_arguments()
    assert first == second and first is not second
    assert first[0] is not second[0] and first[0]["kwargs"] is not second[0]["kwargs"]
    a, b = first
    assert a["kwargs"] is not b["kwargs"]
    assert a["kwargs"] is not ckwargs and a["kwargs"] is not ikwargs[0]
    a["kwargs"]["added"] = True
    a["kwargs"]["own"] = "changed"
    assert b["kwargs"] == {"common": [1], "own": 2}
    assert ckwargs == {"common": [1]} and ikwargs == [{"own": 1}, {"own": 2}]
    assert second[0]["kwargs"] == {"common": [1], "own": 1}
    # The copies are shallow: the values themselves are shared.
    assert a["kwargs"]["common"] is ckwargs["common"]

    w0, w1 = plan._processes
    w0._kwargs["added"] = True
    assert w1._kwargs == {"common": [1], "own": 2} and ckwargs == {"common": [1]}


def test_build_arguments_reads_the_current_attributes():
    plan = Pcall(f, iargs=[(1,)])
    plan.targets = [g, h]
    plan.iargs = [(2,), (3,), (4,)]
    plan.cargs = (0,)
    plan.ckwargs = {"c": 1}
    plan.varkwargs = {"v": ["a", "b"]}
    assert plan._build_arguments() == [work(g, (0, 2), {"c": 1, "v": "a"}),
                                       work(h, (0, 3), {"c": 1, "v": "b"})]
    assert len(plan._processes) == 1  # building again creates no worker


class WorkMapping(collections.abc.Mapping):
    """A read-only mapping that is not a dict."""

    def __init__(self, **items):
        self._items = items

    def __getitem__(self, key):
        return self._items[key]

    def __iter__(self):
        return iter(self._items)

    def __len__(self):
        return len(self._items)


def test_overridden_build_arguments_supplies_the_work():
    class Custom(Pcall):
        def _build_arguments(self):
            return iter([
                {"target": g, "args": [1], "kwargs": {"k": 1}},
                WorkMapping(target=h, args=(2,), name="custom-name"),
                types.MappingProxyType({"kwargs": {"only": "kwargs"}}),
            ])

    plan = Custom(f, iargs=[(9,)])
    assert works(plan) == [(g, (1,), {"k": 1}), (h, (2,), {}), (None, (), {"only": "kwargs"})]
    assert [w._index for w in plan._processes] == [0, 1, 2]
    assert plan._processes[1].name == "custom-name"
    assert all(w._queue is plan._queue for w in plan._processes)

    class Empty(Pcall):
        def _build_arguments(self):
            return []
    empty = Empty(f)
    assert empty._processes == [] and empty.results is None


@pytest.mark.parametrize("item,error", [
    (5, TypeError),
    (["target"], TypeError),
    ({"index": 3}, TypeError),
    ({"queue": None}, TypeError),
    ({1: f}, TypeError),
    ({"no_such_process_argument": 1}, TypeError),
], ids=["not-a-mapping", "list", "index-twice", "queue-twice", "non-string-key", "unknown"])
def test_bad_work_items_fail_like_keyword_unpacking(item, error):
    class Custom(Pcall):
        def _build_arguments(self):
            return [item]
    with pytest.raises(error):
        Custom(f)


# ---- failures, in the order in which they arise ----------------------------

class Refuses:
    """Not iterable, not callable, no len()."""


class LyingLength(list):
    def __len__(self):
        return 5


# Bad arguments are refused before anything is stored, with the name of the
# argument (and the item's index) in the message.
REFUSED = [
    (lambda P: P(), TypeError, "targets"),
    (lambda P: P(f, None, (), (), {}, (), "seventh"), TypeError, "positional"),
    (lambda P: P(f, targets=f), TypeError, "targets"),
    (lambda P: P(None), TypeError, "targets must be a callable or a non-empty sequence"),
    (lambda P: P(Refuses()), TypeError, "targets must be"),
    (lambda P: P(iter([f])), TypeError, "targets must be"),
    (lambda P: P([f, 5]), TypeError, "targets[1] is not callable"),
    (lambda P: P([]), ValueError, "targets is an empty sequence"),
    (lambda P: P([], ckwargs=None), ValueError, "targets"),
    (lambda P: P(f, timeout="5"), TypeError, "timeout"),
    (lambda P: P(f, timeout=True), TypeError, "timeout"),
    (lambda P: P(f, timeout=[1]), TypeError, "timeout"),
    (lambda P: P(f, cargs=None), TypeError, "cargs"),
    (lambda P: P(f, cargs=5), TypeError, "cargs"),
    (lambda P: P(f, iargs=None), TypeError, "iargs must be a sequence"),
    (lambda P: P(f, iargs=5), TypeError, "iargs"),
    (lambda P: P(f, iargs=[1, 2]), TypeError, "iargs[0]"),
    (lambda P: P(f, iargs=[(1,), 2]), TypeError, "iargs[1]"),
    (lambda P: P(f, ckwargs=None), TypeError, "ckwargs"),
    (lambda P: P(f, ckwargs=[("a", 1)]), TypeError, "ckwargs"),
    (lambda P: P(f, ikwargs=None), TypeError, "ikwargs"),
    (lambda P: P(f, ikwargs=[5]), TypeError, "ikwargs[0]"),
    (lambda P: P(f, ikwargs=[[1]]), TypeError, "ikwargs[0]"),
    (lambda P: P(f, ikwargs=[{}, ["abc"]]), ValueError, "ikwargs[1]"),
    (lambda P: P(f, v=5), TypeError, "'v'"),
    (lambda P: P(f, v=[1], w=None), TypeError, "'w'"),
    # Two faults at once: the earlier argument decides.
    (lambda P: P(None, cargs=None, ckwargs=None), TypeError, "targets"),
    (lambda P: P(f, cargs=None, ckwargs=None), TypeError, "cargs"),
    (lambda P: P(f, iargs=None, ikwargs=None), TypeError, "iargs"),
]


@pytest.mark.parametrize("make,error,named", REFUSED)
def test_bad_arguments_are_refused_before_anything(recorded, events, make, error, named):
    with pytest.raises(error) as raised:
        make(recorded)
    assert named in str(raised.value)
    assert events == []


@pytest.mark.parametrize("make,error", [
    # Mappings without copy(), and pairs that can only be read once, fail
    # where the children's work is built.
    (lambda P: P(f, ckwargs=WorkMapping(a=1)), AttributeError),
    (lambda P: P(f, ikwargs=[{}, {}, iter(["abc"])]), ValueError),
])
def test_late_failures_come_before_any_worker(recorded, events, make, error):
    with pytest.raises(error):
        make(recorded)
    assert events == STORED + QUEUE


def test_accepted_timeouts_are_stored_unchanged():
    for timeout in (None, 0, 5, 2.5, fractions.Fraction(1, 2), -1):
        assert Pcall(f, timeout=timeout).timeout is timeout


def test_each_sequence_is_read_once():
    plan = Pcall(f, cargs=(c for c in "ab"), iargs=[(1,), (2,)])
    assert works(plan) == [(f, ("a", "b", 1), {}), (f, ("a", "b", 2), {})]
    plan = Pcall(LyingLength([f, g]))
    assert works(plan) == [(f, (), {}), (g, (), {})]


def test_failing_channel_comes_after_the_stored_arguments(recorded, events):
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    taken = {int(fd) for fd in os.listdir("/proc/self/fd")}
    lowest_free = min(set(range(len(taken) + 1)) - taken)
    resource.setrlimit(resource.RLIMIT_NOFILE, (lowest_free, hard))  # no descriptor left
    try:
        with pytest.raises(OSError):
            recorded(f, iargs=[(1,)])
    finally:
        resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))
    assert events == STORED


def test_failing_worker_propagates_and_the_plan_is_dropped(monkeypatch):
    made = []

    def worker(**kwargs):
        if kwargs["index"] == 1:
            raise RuntimeError("worker %d refused" % kwargs["index"])
        made.append(FakeWorker(**kwargs))
        return made[-1]
    monkeypatch.setattr(tandrel, "ChildLabor", worker)
    with pytest.raises(RuntimeError, match="worker 1 refused"):
        Pcall(f, iargs=[(0,), (1,), (2,)])
    assert len(made) == 1


def test_every_work_item_is_built_before_any_worker(recorded, events):
    with pytest.raises(ValueError):
        recorded(f, ikwargs=[{}, {}, iter(["abc"])])
    assert not any(e[0] == "ChildLabor" for e in events)


def test_construction_starts_no_process():
    before = set(multiprocessing.active_children())
    plans = [Pcall(f, iargs=[(i,) for i in range(5)]), Pcall([f, g]), Pcall(f)]
    assert set(multiprocessing.active_children()) == before
    for plan in plans:
        for w in plan._processes:
            assert not w.is_alive() and w.pid is None and w._popen is None


@pytest.mark.parametrize("items", [
    "[['k', [1]]]", "[('k',)]", "[('k', [1], 'extra')]", "[['k', [1], 'extra']]", "[{'k': 1, 'l': 2, 'm': 3}]",
    "[5]", "[[]]", "[iter(['k', [3]])]",
], ids=["lists", "one-tuple", "three-tuple", "three-list", "three-dict", "not-iterable", "empty", "iterator"])
def test_varkwargs_items_unpack_as_a_for_loop_does(items):
    # Run apart: taking such items apart unchecked crashed the interpreter.
    r = run_python("""
        import vortan.async_.tandrel as tandrel

        def expected():
            try:
                return [(key, values) for key, values in %s]
            except Exception as error:
                return type(error).__name__ + ": " + str(error)

        class Items(dict):
            def items(self):
                return %s

        class Plan(tandrel.Pcall):
            def _build_arguments(self):
                self.varkwargs = Items()
                return super()._build_arguments()

        def f(**kwargs):
            return kwargs

        try:
            got = [w._kwargs for w in Plan(f)._processes]
        except Exception as error:
            got = type(error).__name__ + ": " + str(error)
        want = expected()
        if not isinstance(want, str):
            want = [{key: values[0]} for key, values in want]
        print(got == want, got, want)
    """ % (items, items))
    assert r.returncode == 0, r.stderr
    assert r.stdout.startswith("True"), r.stdout
