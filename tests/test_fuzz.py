"""Hostile but legal Python values against every public callable of both
modules. Any exception is an acceptable answer; a crash, a sanitizer report or
a SystemError is not.

Hypothesis draws plain descriptions of the values (tuples of tags and data)
and `build` makes the objects from them inside the example, so that a failing
example prints as data that reproduces it. Each group of callables runs in a
fresh interpreter (`python test_fuzz.py GROUP`), so that a crash fails that
group instead of ending the test run. VORTAN_FUZZ_EXAMPLES sets the number of
examples per group; `make sanitize` raises it.

Only the plan_run group forks: real plans whose children send drawn notes and
raw datagrams (malformed ones included) on the channel they inherit and end in
drawn ways, driven through start, join, as_completed and the controls, with
the module's clock replaced. Elsewhere ChildLabor.run runs in this process
with a fake queue.
"""
import collections
import functools
import inspect
import logging
import os
import pickle
import socket
import struct
import subprocess
import sys
import time
import types

import pytest

EXAMPLES = int(os.environ.get("VORTAN_FUZZ_EXAMPLES", "40"))


# ---- the hostile objects ------------------------------------------------------

class Boom(Exception):
    """What every hostile method raises."""


# Containers that a hostile method may change while it runs, most recent last;
# emptied before each example. Each hostile object changes them a few times
# only, so that a loop that it feeds still ends.
VICTIMS = []
MUTATIONS = 3


def register(container, members=()):
    """`container` may be changed by hostile objects; those among `members`
    that have no home yet live in it."""
    VICTIMS.append(container)
    for member in members:
        if isinstance(member, (EvilKey, Mutator)) and member.home is None:
            member.home = container
    return container


def mutate(home, victim_index, action):
    """Changes the container the hostile object sits in (victim 0), or
    another one made for this example."""
    if victim_index == 0 and home is not None:
        victim = home
    elif VICTIMS:
        victim = VICTIMS[victim_index % len(VICTIMS)]
    else:
        return
    if isinstance(victim, (LyingSequence, OddMapping)):
        victim = victim.entries
    if not isinstance(victim, (list, dict)):  # a function: replace what it reads
        try:
            if action == "clear":
                victim.__defaults__, victim.__kwdefaults__, victim.__annotations__ = None, None, {}
            else:
                victim.__dict__ = {}
        except Exception:
            pass
        return
    if action == "clear":
        victim.clear()
    elif action == "pop" and victim:
        victim.popitem() if isinstance(victim, dict) else victim.pop()
    elif action == "add":
        if isinstance(victim, dict):
            victim["added%d" % len(victim)] = None
        else:
            victim.append(None)


class EvilKey(str):
    """A keyword name whose __hash__ or __eq__ changes a container."""

    def __new__(cls, text, mode, collide, victim_index, action):
        self = super().__new__(cls, text)
        self.mode, self.collide, self.victim_index, self.action = mode, collide, victim_index, action
        self.budget, self.home = MUTATIONS, None
        return self

    def _run(self, mode):
        if self.mode == mode and self.budget > 0:
            self.budget -= 1
            mutate(self.home, self.victim_index, self.action)

    def __hash__(self):
        self._run("hash")
        return 7 if self.collide else str.__hash__(self)

    def __eq__(self, other):
        self._run("eq")
        return str.__eq__(self, other)

    def __ne__(self, other):
        result = self.__eq__(other)
        return result if result is NotImplemented else not result


class Special:
    """Answers every special method sanely, after `_act` has had its say."""

    truth = False

    def _act(self, name):
        pass

    def __str__(self):
        self._act("__str__")
        return type(self).__name__

    def __repr__(self):
        self._act("__repr__")
        return "<%s>" % type(self).__name__

    def __bool__(self):
        self._act("__bool__")
        return self.truth

    def __index__(self):
        self._act("__index__")
        return -1

    def __hash__(self):
        self._act("__hash__")
        return 11

    def __eq__(self, other):
        self._act("__eq__")
        return self is other


class Raiser(Special):
    """Raises Boom from the named special methods."""

    def __init__(self, raising, truth):
        self.raising, self.truth = raising, truth

    def _act(self, name):
        if name in self.raising:
            raise Boom(name)

    def __getattr__(self, name):
        self._act("__getattr__")
        raise AttributeError(name)


class Mutator(Special):
    """Changes a container from one special method."""

    def __init__(self, method, victim_index, action, truth):
        self.method, self.victim_index, self.action, self.truth = method, victim_index, action, truth
        self.budget, self.home = MUTATIONS, None

    def _act(self, name):
        if name == self.method and self.budget > 0:
            self.budget -= 1
            mutate(self.home, self.victim_index, self.action)


class LyingSequence:
    """A sequence whose __len__ lies and whose iteration may fail part-way."""

    def __init__(self, entries, claimed, fail_at):
        self.entries, self.claimed, self.fail_at = entries, claimed, fail_at

    def __len__(self):
        return self.claimed

    def __iter__(self):
        for position, entry in enumerate(list(self.entries)):
            if position == self.fail_at:
                raise Boom("__iter__")
            yield entry

    def __getitem__(self, index):
        if isinstance(index, int) and index == self.fail_at:
            raise Boom("__getitem__")
        return self.entries[index]


class OddMapping:
    """A mapping whose keys(), items() and [] give odd shapes or raise."""

    def __init__(self, entries, items_shape, keys_shape, getitem):
        self.entries, self.items_shape, self.keys_shape, self.getitem = entries, items_shape, keys_shape, getitem

    def keys(self):
        shape = self.keys_shape
        if shape == "raise":
            raise Boom("keys")
        if shape == "int":
            return 3
        if shape == "twice":
            return [key for key, _ in self.entries] * 2
        if shape == "failing":
            return LyingSequence([key for key, _ in self.entries], 0, 1)
        return [key for key, _ in self.entries]

    def items(self):
        shape = self.items_shape
        if shape == "raise":
            raise Boom("items")
        if shape == "lists":
            return [[key, value] for key, value in self.entries]
        if shape == "singles":
            return [(key,) for key, _ in self.entries]
        if shape == "triples":
            return [(key, value, value) for key, value in self.entries]
        if shape == "scalars":
            return [5 for _ in self.entries]
        if shape == "strings":
            return ["kv" for _ in self.entries]
        if shape == "failing":
            return LyingSequence(list(self.entries), 0, 1)
        return list(self.entries)

    def __getitem__(self, key):
        if self.getitem == "raise":
            raise Boom("__getitem__")
        for stored, value in self.entries:
            if stored is key:
                return value
        if self.getitem == "default":
            return None
        raise KeyError(key)

    def __iter__(self):
        return iter(self.keys())

    def __len__(self):
        return len(self.entries)

    def copy(self):
        if self.getitem == "raise":
            raise Boom("copy")
        return dict((key, value) for key, value in self.entries if isinstance(key, str))


class KeysDict(dict):
    """A dict subclass that gives other keys and values than it holds."""

    def keys(self):
        return ["other"] + list(dict.keys(self))

    def __getitem__(self, key):
        if key == "other":
            raise Boom("__getitem__")
        return dict.__getitem__(self, key)


class IterDict(KeysDict):
    def __iter__(self):
        return iter(["x", "y"])


def returns(value):
    def target(*args, **kwargs):
        return value
    return target


def raises(*args, **kwargs):
    raise Boom("called")


def echo(*args, **kwargs):
    return args, kwargs


class NameRaises:
    """A callable whose __name__ cannot be read."""

    def __getattribute__(self, name):
        if name == "__name__":
            raise Boom("__name__")
        return object.__getattribute__(self, name)

    def __call__(self, *args, **kwargs):
        return None


SPECIAL_METHODS = ["__str__", "__repr__", "__bool__", "__index__", "__hash__", "__eq__", "__getattr__"]
NUMBERS = [0, 1, -1, 2**31, 2**63 - 1, 2**63, -2**63 - 1, 2**64, 10**100, -10**100]


def build(spec):
    """The object that a drawn description stands for."""
    tag = spec[0]
    if tag == "value":
        return spec[1]
    if tag == "raiser":
        return Raiser(frozenset(spec[1]), spec[2])
    if tag == "mutator":
        return Mutator(*spec[1:])
    if tag == "evilkey":
        return EvilKey(*spec[1:])
    if tag == "list":
        items = [build(item) for item in spec[1]]
        return register(items, items)
    if tag == "tuple":
        return tuple(build(item) for item in spec[1])
    if tag in ("dict", "dictsub"):
        entries = {} if tag == "dict" else (KeysDict if spec[2] == "keys" else IterDict)()
        for key, value in spec[1]:
            try:
                dict.__setitem__(entries, build(key), build(value))
            except Exception:
                pass  # an unhashable or raising key stays out
        return register(entries, list(dict.keys(entries)) + list(dict.values(entries)))
    if tag == "lying":
        items = [build(item) for item in spec[1]]
        return register(LyingSequence(items, spec[2], spec[3]), items)
    if tag == "oddmap":
        entries = [(build(k), build(v)) for k, v in spec[1]]
        return register(OddMapping(entries, spec[2], spec[3], spec[4]), [x for pair in entries for x in pair])
    if tag == "callable":
        kind = spec[1]
        if kind == "returns":
            return returns(build(spec[2]))
        if kind == "partial":
            return functools.partial(echo, build(spec[2]))
        return {"raises": raises, "echo": echo, "name_raises": NameRaises(), "dict": dict, "len": len,
                "tuple": tuple, "print_nothing": returns(None)}[kind]
    raise AssertionError(spec)


# ---- what Hypothesis draws -----------------------------------------------------

def strategies():
    from hypothesis import strategies as st

    victim = st.one_of(st.just(0), st.integers(1, 5))  # 0: the container the object sits in
    action = st.sampled_from(["clear", "pop", "add"])
    scalar = st.one_of(
        st.none(),
        st.booleans(),
        st.sampled_from(NUMBERS),
        st.integers(),
        st.floats(allow_nan=True, allow_infinity=True),
        st.text(max_size=4),
        st.binary(max_size=4),
    ).map(lambda value: ("value", value))
    raiser = st.tuples(st.just("raiser"), st.lists(st.sampled_from(SPECIAL_METHODS), max_size=3).map(tuple),
                       st.booleans())
    mutator = st.tuples(st.just("mutator"), st.sampled_from(["__str__", "__repr__", "__bool__", "__index__",
                                                            "__hash__", "__eq__"]), victim, action, st.booleans())
    key_text = st.sampled_from(["target", "args", "kwargs", "index", "queue", "self", "lock", "block", "timeout",
                                "name", "daemon", "group", "x", "lock_", "_private"])
    evil_key = st.tuples(st.just("evilkey"), key_text, st.sampled_from(["hash", "eq"]), st.booleans(), victim,
                         action)
    key = st.one_of(key_text.map(lambda text: ("value", text)), evil_key, raiser, mutator, scalar)
    callables = st.one_of(
        st.tuples(st.just("callable"), st.sampled_from(["raises", "echo", "name_raises", "dict", "len", "tuple",
                                                       "print_nothing"])),
        st.tuples(st.just("callable"), st.just("returns"), st.one_of(scalar, raiser, mutator)),
        st.tuples(st.just("callable"), st.just("partial"), scalar),
    )
    leaf = st.one_of(scalar, raiser, mutator, evil_key, callables)

    def containers(children):
        pairs = st.lists(st.tuples(key, children), max_size=4)
        return st.one_of(
            st.tuples(st.just("list"), st.lists(children, max_size=4)),
            st.tuples(st.just("tuple"), st.lists(children, max_size=4)),
            st.tuples(st.just("dict"), pairs),
            st.tuples(st.just("lying"), st.lists(children, max_size=4),
                      st.one_of(st.integers(-3, 6), st.sampled_from([2**62, -2**62, 2**63, 2**100])),
                      st.one_of(st.none(), st.integers(0, 4))),
            st.tuples(st.just("oddmap"), pairs,
                      st.sampled_from(["pairs", "lists", "singles", "triples", "scalars", "strings", "failing",
                                       "raise"]),
                      st.sampled_from(["list", "twice", "int", "failing", "raise"]),
                      st.sampled_from(["lookup", "default", "raise"])),
            st.tuples(st.just("dictsub"), pairs, st.sampled_from(["keys", "iter"])),
        )

    value = st.recursive(leaf, containers, max_leaves=8)
    # Mappings meant for `**`: mostly string keys, half of them hostile.
    name = st.one_of(key_text.map(lambda text: ("value", text)), evil_key)
    named = st.lists(st.tuples(name, value), max_size=4)
    keywords = st.one_of(
        st.tuples(st.just("dict"), named),
        st.tuples(st.just("dict"), named),
        st.tuples(st.just("dictsub"), named, st.sampled_from(["keys", "iter"])),
        st.tuples(st.just("oddmap"), named, st.sampled_from(["pairs", "lists", "singles", "failing", "raise"]),
                  st.sampled_from(["list", "twice", "int", "failing", "raise"]),
                  st.sampled_from(["lookup", "default", "raise"])),
        value,
    )
    return types.SimpleNamespace(value=value, key=key, key_text=key_text, name=name, keywords=keywords,
                                 callables=callables, scalar=scalar, raiser=raiser, mutator=mutator,
                                 evil_key=evil_key, containers=containers(value))


# ---- judging an answer -----------------------------------------------------------

def touch(*objects):
    """Reads the objects through, so that one freed while still held shows."""
    for obj in objects:
        try:
            repr(obj)
        except Exception:
            pass


def attempt(function, *args, **kwargs):
    """function(*args, **kwargs): its result or its exception, but never a
    SystemError anywhere in the exception's chain."""
    try:
        result = function(*args, **kwargs)
    except Exception as error:
        seen = error
        while seen is not None:
            if isinstance(seen, SystemError):
                raise
            seen = seen.__cause__ or seen.__context__
        result = error
    touch(result, args, kwargs)
    return result


def fuzz(*drawn):
    """A Hypothesis test of the drawn arguments, with this module's budget and
    with no VICTIMS left from an earlier example."""
    from hypothesis import HealthCheck, given, settings

    def decorate(body):
        @functools.wraps(body)
        def example(*args, **kwargs):
            VICTIMS.clear()
            try:
                return body(*args, **kwargs)
            finally:
                VICTIMS.clear()

        budget = settings(max_examples=EXAMPLES, deadline=None, database=None,
                          suppress_health_check=list(HealthCheck))
        return budget(given(*drawn)(example))

    return decorate


class Queue:
    """What ChildLabor.run puts its result message on."""

    def __init__(self, failing=False):
        self.failing, self.items = failing, []

    def put(self, message):
        if self.failing:
            raise Boom("put")
        self.items.append(message)


def quiet_loggers():
    """The module loggers format every record into nothing: no output, but
    the formatting (and its tracebacks) still runs."""

    class Sink(logging.Handler):
        def emit(self, record):
            try:
                self.format(record)
            except Exception:
                pass

    for name in ("vortan.async_.tandrel", "vortan.async_.synchronize"):
        logger = logging.getLogger(name)
        logger.addHandler(Sink())
        logger.propagate = False


# ---- the groups ----------------------------------------------------------------

def group_plan_construction():
    from hypothesis import strategies as st
    import vortan.async_.tandrel as tandrel

    s = strategies()
    targets = st.one_of(s.callables, s.value, st.tuples(st.just("list"), st.lists(s.callables, max_size=3)))

    ikwargs = st.one_of(st.tuples(st.just("list"), st.lists(s.keywords, max_size=3)), s.value)

    @fuzz(targets, s.value, s.value, s.value, s.keywords, ikwargs, st.lists(st.tuples(s.name, s.value), max_size=3),
           st.integers(0, 6))
    def construct(targets, timeout, cargs, iargs, ckwargs, ikwargs, varkwargs, given_count):
        arguments = [build(spec) for spec in (targets, timeout, cargs, iargs, ckwargs, ikwargs)][:given_count]
        keywords = {build(name): build(spec) for name, spec in varkwargs}
        plan = attempt(tandrel.Pcall, *arguments, **keywords)
        touch(getattr(plan, "__dict__", None))

    @fuzz(s.callables, st.lists(s.keywords, max_size=3))
    def subclass_works(target, works):
        built = [build(spec) for spec in works]

        class Plan(tandrel.Pcall):
            def _build_arguments(self):
                return built

        plan = attempt(Plan, build(target))
        touch(getattr(plan, "__dict__", None))

    construct()
    subclass_works()


def _build_arguments_group(varkwargs_strategy):
    from hypothesis import strategies as st
    import vortan.async_.tandrel as tandrel

    s = strategies()

    @fuzz(st.one_of(s.callables, s.value), s.value, s.value, s.keywords,
           st.one_of(st.tuples(st.just("list"), st.lists(s.keywords, max_size=3)), s.value), varkwargs_strategy(s))
    def build_arguments(targets, cargs, iargs, ckwargs, ikwargs, varkwargs):
        plan = types.SimpleNamespace(targets=build(targets), cargs=build(cargs), iargs=build(iargs),
                                     ckwargs=build(ckwargs), ikwargs=build(ikwargs), varkwargs=build(varkwargs))
        attempt(tandrel.Pcall._build_arguments, plan)

    build_arguments()


def group_build_arguments():
    from hypothesis import strategies as st
    _build_arguments_group(lambda s: st.tuples(st.just("dict"), st.lists(st.tuples(s.name, s.value), max_size=3)))


def group_build_arguments_odd_varkwargs():
    from hypothesis import strategies as st
    _build_arguments_group(lambda s: st.one_of(s.containers, s.value))


def group_child_labor():
    from hypothesis import strategies as st
    import vortan.async_.tandrel as tandrel

    s = strategies()
    quiet_loggers()

    @fuzz(s.value, st.lists(s.value, max_size=3), st.lists(st.tuples(s.name, s.value), max_size=4),
           st.one_of(st.none(), st.tuples(st.one_of(s.callables, s.value), s.value, s.keywords)), st.booleans())
    def construct_and_run(index, args, kwargs, replaced, failing_queue):
        keywords = {build(name): build(spec) for name, spec in kwargs}
        worker = attempt(tandrel.ChildLabor, build(index), Queue(failing_queue), *[build(a) for a in args],
                         **keywords)
        if isinstance(worker, Exception):
            worker = attempt(tandrel.ChildLabor, build(index), Queue(failing_queue), target=echo)
        if isinstance(worker, Exception):
            return
        if replaced is not None:
            worker._target, worker._args, worker._kwargs = (build(spec) for spec in replaced)
        attempt(worker.run)
        touch(vars(worker))

    @fuzz(s.value, st.lists(s.value, max_size=4))
    def unbound(self, args):
        built = [build(spec) for spec in args]
        attempt(tandrel.ChildLabor.__init__, build(self), *built)
        attempt(tandrel.ChildLabor.__init__, tandrel.ChildLabor.__new__(tandrel.ChildLabor), *built)
        attempt(tandrel.ChildLabor.run, build(self), *built[:1])

    construct_and_run()
    unbound()


# ---- real plans ------------------------------------------------------------------

CHANNEL = []  # the channel of the plan being fuzzed, inherited by its children
COUNTS = collections.Counter()


class FakeTime:
    """The module's clock: a quarter of a second passes at each reading, so
    that deadlines pass within a few steps whatever the real waits."""
    now = 0.0

    def time(self):
        FakeTime.now += 0.25
        return FakeTime.now


def child_target(actions, ending):
    """What one child does: drawn notes and raw datagrams on the plan's
    channel, then a drawn ending."""
    def target():
        queue = CHANNEL[0]
        raw = socket.socket(fileno=os.dup(queue.fileno()))
        for action in actions:
            try:
                if action[0] == "note":
                    queue.put(build(action[1]))
                else:
                    _, kind, sequence, total, payload = action
                    raw.send(struct.pack("=IIQ", kind, sequence, total) + payload)
            except Exception:
                pass
        raw.close()
        if ending[0] == "raise":
            raise Boom("target")
        if ending[0] == "exit":
            os._exit(ending[1])
        if ending[0] == "hang":
            time.sleep(60)
        return build(ending[1])
    return target


def count_outcome(outcome):
    if isinstance(outcome, TimeoutError):
        COUNTS["timeouts"] += 1
    elif isinstance(outcome, ChildProcessError):
        COUNTS["ended without a report"] += 1
    elif isinstance(outcome, RuntimeError) and "could not be" in str(outcome):
        COUNTS["reports that could not be rebuilt or sent"] += 1
    elif isinstance(outcome, Boom):
        COUNTS["children's errors raised again"] += 1
    elif isinstance(outcome, AttributeError):
        COUNTS["attribute errors"] += 1


def left_children():
    """This process's children, alive or not reaped."""
    found = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open("/proc/%s/stat" % entry) as f:
                    if int(f.read().rsplit(")", 1)[1].split()[1]) == os.getpid():
                        found.append(int(entry))
            except OSError:
                pass
    return found


def group_plan_run():
    from hypothesis import strategies as st
    import vortan.async_.tandrel as tandrel

    s = strategies()
    quiet_loggers()
    tandrel.time = FakeTime()

    frame = st.tuples(st.just("frame"), st.sampled_from([0, 1, 2, 2 ** 32 - 1]), st.sampled_from([0, 1, 2, 7]),
                      st.sampled_from([0, 1, 16, 64, 2 ** 40, 2 ** 64 - 1]), st.binary(max_size=64))
    pickled = st.sampled_from([(0, True, "forged"), "note", None]).map(
        lambda value: ("frame", 1, 0, len(pickle.dumps(value)), pickle.dumps(value)))
    garbage = st.binary(min_size=1, max_size=16).map(lambda data: ("frame", 1, 0, len(data), data))
    actions = st.lists(st.one_of(frame, pickled, garbage, st.tuples(st.just("note"), s.value)), max_size=4)
    ending = st.one_of(st.tuples(st.just("return"), st.one_of(s.value, s.scalar)), st.tuples(st.just("raise")),
                       st.tuples(st.just("exit"), st.sampled_from([0, 3])), st.tuples(st.just("hang")))
    children = st.lists(st.tuples(actions, ending), min_size=1, max_size=3)
    operations = st.lists(st.sampled_from(["join", "as_completed", "as_completed_break", "terminate", "kill", "pids",
                                           "livings", "repr", "start"]), min_size=1, max_size=4)

    @fuzz(children, operations, st.sampled_from([None, 1, 2]), st.sampled_from([None, 1, 3]))
    def plan_methods(child_specs, ops, max_running, timeout):
        if any(ending[0] == "hang" for _, ending in child_specs):
            timeout = timeout or 1  # a hanging child ends at the deadline
        plan = tandrel.Pcall([child_target(*spec) for spec in child_specs], timeout=timeout)
        plan.grace_period = 0.05
        CHANNEL[:] = [plan._queue]
        attempt(plan.start, max_running=max_running)
        for op in ops:
            if op in ("join", "start"):
                outcome = attempt(getattr(plan, op))
                if op == "join":
                    COUNTS["joins"] += 1
                    count_outcome(outcome)
                    if plan.results is not None:
                        COUNTS["results delivered"] += len(plan.results)
            elif op.startswith("as_completed"):
                iterator = attempt(plan.as_completed)
                if isinstance(iterator, Exception):
                    continue
                while True:
                    item = attempt(next, iterator, None)
                    if isinstance(item, tuple):
                        COUNTS["results delivered"] += 1
                    else:
                        count_outcome(item)
                    if not isinstance(item, tuple) or op == "as_completed_break":
                        break
                del iterator
            elif op in ("terminate", "kill"):
                attempt(getattr(plan, op))
            elif op == "repr":
                attempt(repr, plan)
            else:
                touch(attempt(getattr, plan, op))
        attempt(plan.kill)
        count_outcome(attempt(plan.join))
        pids = [pid for pid in plan.pids if pid is not None]
        CHANNEL.clear()
        del plan
        left = set(left_children()) & set(pids)
        assert not left, "children left alive or unreaped: %r" % left

    @fuzz(st.one_of(s.callables, s.value), st.lists(s.value, max_size=3))
    def one_shot(cls, args):
        # Never the real class: that would fork.
        attempt(tandrel.Pcall.pcall.__func__, build(cls), *[build(a) for a in args])

    plan_methods()
    one_shot()
    print("plan_run:", dict(COUNTS))
    if EXAMPLES >= 20:
        # The fuzzed plans reached the channel and the join, not just their
        # first attribute.
        assert COUNTS["results delivered"] > 0 and COUNTS["joins"] > 0, COUNTS


class FakeLock:
    """A lock that answers as drawn, and never waits."""

    def __init__(self, free, acquire_answer, release_fails):
        self.free, self.acquire_answer, self.release_fails = free, acquire_answer, release_fails

    def acquire(self, block=True, timeout=None):
        if not block:
            return self.acquire_answer if self.free else False
        return True

    def release(self):
        if self.release_fails:
            raise Boom("release")


class Slotted:
    __slots__ = ()


def group_synchronize():
    from hypothesis import strategies as st
    import vortan.async_.synchronize as sync

    s = strategies()
    quiet_loggers()
    locks = st.tuples(st.booleans(), st.one_of(s.scalar, s.raiser, s.mutator), st.booleans())
    selves = st.sampled_from(["plain", "slotted", "hostile", "lockable", "lockable_fake", "none"])

    def make_self(kind, lock, hostile):
        if kind == "slotted":
            return Slotted()
        if kind == "hostile":
            return build(hostile)
        if kind == "none":
            return None
        obj = sync.Lockable() if kind.startswith("lockable") else types.SimpleNamespace()
        if kind != "lockable" and lock is not None:
            obj.__lock__ = FakeLock(lock[0], build(lock[1]), lock[2])
        return obj

    @fuzz(st.one_of(s.callables, s.value), selves, st.one_of(st.none(), locks), s.value,
           st.lists(s.value, max_size=3), st.lists(st.tuples(s.name, s.value), max_size=3), st.booleans())
    def locked_calls(method, kind, lock, hostile, args, kwargs, through_lockable):
        decorator = sync.Lockable.locked if through_lockable else sync.locked
        wrapper = attempt(decorator, build(method))
        if isinstance(wrapper, Exception):
            wrapper = decorator(echo)
        self = make_self(kind, lock, hostile)
        keywords = {build(name): build(spec) for name, spec in kwargs}
        attempt(wrapper, self, *[build(a) for a in args], **keywords)
        attempt(wrapper, **dict(keywords, self=self))

    @fuzz(st.one_of(s.callables, s.value), s.value, s.value, selves, st.one_of(st.none(), locks), s.value)
    def lockable(factory, block, timeout, kind, lock, hostile):
        attempt(sync.Lockable, lock=build(factory))
        self = make_self(kind, lock, hostile)
        attempt(sync.Lockable.acquire, self, build(block), build(timeout))
        attempt(sync.Lockable.release, self)
        attempt(sync.Lockable.__init__, self, lock=build(factory))

    @fuzz(s.value, s.keywords, st.one_of(s.value, s.containers), s.value, st.booleans())
    def metaclass(name, attrs, odd_attrs, obj, statement):
        attempt(sync.LockableMeta.ignore, build(obj))
        namespace = build(attrs)
        if not isinstance(namespace, dict):
            namespace = {}
        if statement:
            attempt(types.new_class, "Made", (), {"metaclass": sync.LockableMeta},
                    lambda ns: [attempt(ns.__setitem__, k, v) for k, v in namespace.items()])
        attempt(sync.LockableMeta, build(name), (), namespace)
        attempt(sync.LockableMeta.__new__, sync.LockableMeta, "Made", (), build(odd_attrs))
        attempt(sync.LockableMeta.__new__, build(obj), build(name), (), namespace)

    locked_calls()
    lockable()
    metaclass()


def module_functions():
    import vortan.async_.synchronize as sync
    import vortan.async_.tandrel as tandrel

    functions = [sync.locked, sync.Lockable.__init__, sync.Lockable.acquire, sync.Lockable.release,
                 sync.Lockable.locked, sync.LockableMeta.ignore, sync.LockableMeta.__new__,
                 tandrel.ChildLabor.__init__, tandrel.ChildLabor.run]
    for name, member in vars(tandrel.Pcall).items():
        member = member.__func__ if isinstance(member, classmethod) else member
        member = member.fget if isinstance(member, property) else member
        if type(member) is type(sync.locked):
            functions.append(member)
    return functions


ATTRIBUTES = ["__name__", "__qualname__", "__module__", "__doc__", "__annotations__", "__defaults__",
              "__kwdefaults__", "__signature__", "__dict__", "__wrapped__", "extra"]


def group_function_type():
    from hypothesis import strategies as st
    import vortan.async_.synchronize as sync

    s = strategies()
    functions = module_functions()
    kinds = st.sampled_from(list(range(len(functions))) + ["wrapper", "lockable_wrapper"])
    operations = st.lists(st.tuples(st.sampled_from(["set", "del"]), st.sampled_from(ATTRIBUTES),
                                    st.one_of(s.value, s.keywords)), max_size=4)

    @fuzz(kinds, operations, s.value, st.lists(s.value, max_size=3), st.integers(0, pickle.HIGHEST_PROTOCOL))
    def attributes(kind, ops, instance, args, protocol):
        if kind == "wrapper":
            function = sync.locked(echo)
        elif kind == "lockable_wrapper":
            function = sync.Lockable.locked(echo)
        else:
            function = functions[kind]
        saved = {name: vars(function).get(name) if name in ("__wrapped__", "extra") else getattr(function, name)
                 for name in ATTRIBUTES if name != "__signature__"}
        saved_dict = dict(function.__dict__)
        register(function)
        try:
            for op, name, spec in ops:
                if op == "set":
                    attempt(setattr, function, name, build(spec))
                else:
                    attempt(delattr, function, name)
            attempt(repr, function)
            attempt(inspect.signature, function)
            attempt(pickle.dumps, function, protocol)
            attempt(function.__reduce__)
            bound_to = build(instance)
            attempt(function.__get__, bound_to, type(bound_to))
            # Hostile values hold no plan or process of the module: no call forks.
            attempt(function, *[build(a) for a in args])
            if kind in ("wrapper", "lockable_wrapper"):
                attempt(function, types.SimpleNamespace(), *[build(a) for a in args])
            touch(function.__defaults__, function.__kwdefaults__, function.__dict__)
        finally:
            for name, value in saved.items():
                if name in ("__wrapped__", "extra"):
                    continue
                setattr(function, name, value)
            function.__dict__ = saved_dict

    attributes()


GROUPS = {name[len("group_"):]: value for name, value in globals().items() if name.startswith("group_")}


@pytest.mark.parametrize("group", [
    "plan_construction",
    "build_arguments",
    "build_arguments_odd_varkwargs",
    "child_labor",
    "plan_run",
    "synchronize",
    "function_type",
])
def test_hostile_values_never_crash_the_interpreter(group, tmp_path):
    pytest.importorskip("hypothesis")
    env = dict(os.environ, HYPOTHESIS_STORAGE_DIRECTORY=str(tmp_path))
    # The allocator's debug hooks overwrite freed memory at once, so that an
    # object used after it was freed fails fast (on top of ASan's malloc).
    env["PYTHONMALLOC"] = "malloc_debug" if env.get("PYTHONMALLOC") == "malloc" else "debug"
    r = subprocess.run([sys.executable, "-X", "faulthandler", __file__, group], stdout=subprocess.PIPE,
                       stderr=subprocess.STDOUT, universal_newlines=True, timeout=900, env=env)
    assert r.returncode == 0, r.stdout[-6000:]


if __name__ == "__main__":
    GROUPS[sys.argv[1]]()
