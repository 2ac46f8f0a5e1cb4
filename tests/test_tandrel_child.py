"""The worker of a parallel call: what it records about its work, what it runs
in the forked child, what it reports through the queue and logs, and what
reaches the parent."""
import functools
import sys
import threading
import types
from multiprocessing.reduction import ForkingPickler

import pytest

import vortan.async_.tandrel as tandrel
from tandrel_helpers import FORK, LOGGER_NAME, drain, run_child

ChildLabor = tandrel.ChildLabor

FAILURE_HEAD = "Caught error while executing target in child process-"


def failure_text(index, target, args, kwargs):
    return "%s%s:\n  target = %s\n  args = %s\n  kwargs = %s\n\n" % (
        FAILURE_HEAD, index, target, args, kwargs)


def echo(*args, **kwargs):
    return ("echo", args, kwargs)


def nothing(*args, **kwargs):
    return None


def add(a, b):
    raise ValueError("cannot add", a, b)


def leave(code):
    sys.exit(code)


def give_lock():
    return threading.Lock()


class NeedsKeyword(Exception):
    def __init__(self, *, code):
        super().__init__("failed with code %s" % code)
        self.code = code


def raise_needs_keyword():
    raise NeedsKeyword(code=7)


def raise_unpicklable_argument():
    raise ValueError("holds a lock", threading.Lock())


class Nameless:
    """A callable object without __name__."""

    def __call__(self, *args):
        return args

    def __str__(self):
        return "<nameless callable>"


class OddName:
    __name__ = 42

    def __call__(self):
        pass


class BrokenName:
    @property
    def __name__(self):
        raise RuntimeError("no name today")

    def __call__(self):
        pass


class SubPartial(functools.partial):
    pass


def worker(target=None, args=(), kwargs=None, index=0, queue=None):
    return ChildLabor(index, FORK.SimpleQueue() if queue is None else queue,
                      target=target, args=args, kwargs={} if kwargs is None else kwargs)


# ---- construction ----------------------------------------------------------

@pytest.mark.parametrize("target,args,kwargs,expected", [
    (echo, (1, 2), {"k": "v"}, ("echo", "(1, 2)", "{'k': 'v'}")),
    (echo, [1, 2], None, ("echo", "(1, 2)", "{}")),
    (echo, (), {}, ("echo", "()", "{}")),
    (echo, ("x",), None, ("echo", "('x',)", "{}")),
    (functools.partial(echo, 1, k=2), (3,), None, ("echo", "(3,)", "{}")),
    (SubPartial(echo, 1), (), None, ("echo", "()", "{}")),
    (Nameless(), (), None, ("<nameless callable>", "()", "{}")),
    (OddName(), (), None, ("42", "()", "{}")),
    (Nameless, (), None, ("Nameless", "()", "{}")),
    (None, (), None, ("None", "()", "{}")),
], ids=["function", "list-args", "empty", "string-arg", "partial", "partial-subclass",
        "no-name", "non-string-name", "class", "no-target"])
def test_work_record_texts(target, args, kwargs, expected):
    w = worker(target, args, kwargs)
    assert type(w._work) is tandrel.ChildWork
    assert tuple(w._work) == expected
    assert all(type(text) is str for text in w._work)


def test_partial_is_unwrapped_one_level_only():
    inner = functools.partial(echo, 1)
    inner.marker = True  # a partial with attributes is not flattened into the outer one
    outer = functools.partial(inner, 2)
    assert outer.func is inner
    assert worker(outer)._work.target == str(inner)
    assert worker(functools.partial(Nameless(), 1))._work.target == "<nameless callable>"


class BrokenText:
    def __repr__(self):
        raise RuntimeError("no text today")


class Counted:
    """Counts how often its text is made."""

    def __init__(self):
        self.texts = 0

    def __repr__(self):
        self.texts += 1
        return "<counted>"


def test_work_is_described_on_first_read_only_and_never_fails():
    counted = Counted()
    w = worker(echo, args=(counted,), kwargs={"k": counted})
    assert counted.texts == 0 and "_work" not in vars(w)
    assert w._work == ("echo", "(<counted>,)", "{'k': <counted>}")
    assert counted.texts == 2
    assert w._work is w._work and counted.texts == 2
    assert tuple(worker(BrokenName(), args=(BrokenText(), 1), kwargs={"k": BrokenText(), "n": 2})._work) == (
        "<unprintable BrokenName object>", "(<unprintable BrokenText object>, 1)",
        "{'k': <unprintable BrokenText object>, 'n': 2}")
    assert worker(echo, args=(BrokenText(),))._work.args == "(<unprintable BrokenText object>,)"
    with pytest.raises(AttributeError, match="no attribute 'other'"):
        w.other
    # The standard start lets go of the target and its arguments.
    started = worker(echo, args=(1,))
    started.start()
    started.join()
    assert started._work == ("echo", "(1,)", "{}")


def test_index_and_queue_stored_unchanged():
    queue, index = FORK.SimpleQueue(), ("any", "object")
    w = ChildLabor(queue=queue, index=index, target=echo)
    assert w._index is index and w._queue is queue
    assert not w.is_alive() and w.pid is None and w.exitcode is None


def test_extra_positional_arguments_reach_process_in_order():
    queue = FORK.SimpleQueue()
    args, kwargs = [1, 2], {"k": 3}
    w = ChildLabor(5, queue, None, echo, "worker-x", args, kwargs, daemon=True)
    assert w.name == "worker-x"
    assert w._target is echo
    assert w._args == (1, 2) and type(w._args) is tuple
    assert w._kwargs == kwargs
    assert w.daemon is True
    assert tuple(w._work) == ("echo", "(1, 2)", "{'k': 3}")
    with pytest.raises(AssertionError):  # Process refuses a group
        ChildLabor(0, queue, "group", echo)
    with pytest.raises(TypeError):
        ChildLabor(0, queue, no_such_process_argument=1)


def test_init_calls_the_next_init_in_the_mro():
    seen = []

    class Extra(FORK.Process):
        def __init__(self, *args, **kwargs):
            seen.append((args, kwargs))
            super().__init__(*args, **kwargs)

    class Both(ChildLabor, Extra):
        pass

    w = Both(1, "queue", None, echo, args=(1,))
    assert seen == [((None, echo), {"args": (1,)})]
    assert (w._index, w._queue, w._work.target) == (1, "queue", "echo")

    class Own(ChildLabor):
        def __init__(self, *args, **kwargs):
            super().__init__(*args, **kwargs)
            self.extra = True
    own = Own(2, "q", target=echo)
    assert own.extra and own._index == 2 and own._target is echo


# ---- running in a forked child ---------------------------------------------

def test_success_message(child_log):
    w, exitcode, messages = run_child(index=3, target=echo, args=[1, "a"], kwargs={"k": [2]})
    assert exitcode == 0
    assert messages == [(3, True, ("echo", (1, "a"), {"k": [2]}))]
    assert child_log.read() == []


def test_none_result_and_unusual_index_are_sent_unchanged(child_log):
    _, exitcode, messages = run_child(index=("a", 1), target=nothing)
    assert (exitcode, messages) == (0, [(("a", 1), True, None)])
    assert child_log.read() == []


def test_failure_message_and_its_single_error_record(child_log):
    _, exitcode, messages = run_child(index=2, target=add, args=(1, 2))
    assert exitcode == 0
    [(index, ok, error)] = messages
    assert (index, ok) == (2, False)

    # What arrives in the parent is raisable: the same type and arguments,
    # with the child's traceback as its cause.
    assert type(error) is ValueError
    assert error.args == ("cannot add", 1, 2)
    with pytest.raises(ValueError) as raised:
        raise error
    assert raised.value is error
    cause = str(error.__cause__)
    assert "Traceback (most recent call last)" in cause
    assert "in add" in cause and 'raise ValueError("cannot add", a, b)' in cause

    [record] = child_log.read()
    expected = failure_text(2, "add", "(1, 2)", "{}")
    assert expected == (FAILURE_HEAD + "2:\n  target = add\n  args = (1, 2)\n"
                        "  kwargs = {}\n\n")
    assert record["name"] == LOGGER_NAME
    assert record["levelno"] == 40  # ERROR
    assert record["msg"] == expected and record["message"] == expected
    assert record["args"] == "()"
    assert record["exc_type"] == "ValueError"
    assert record["exc_value"] == repr(ValueError("cannot add", 1, 2))
    assert "in add" in record["traceback"]
    assert 'raise ValueError("cannot add", a, b)' in record["traceback"]


def test_failure_record_uses_the_work_texts(child_log):
    target = functools.partial(add, 1)
    _, exitcode, messages = run_child(index=0, target=target, args=[], kwargs={"b": 5})
    assert exitcode == 0
    assert messages[0][:2] == (0, False)
    assert messages[0][2].args == ("cannot add", 1, 5)
    [record] = child_log.read()
    assert record["msg"] == failure_text(0, "add", "()", "{'b': 5}")


def test_calling_no_target_is_reported_as_a_failure(child_log):
    _, exitcode, messages = run_child(index=1)
    assert exitcode == 0
    [(index, ok, error)] = messages
    assert (index, ok, type(error)) == (1, False, TypeError)
    [record] = child_log.read()
    assert record["msg"] == failure_text(1, "None", "()", "{}")
    assert record["exc_type"] == "TypeError"


def test_sys_exit_leaves_no_message_and_no_record(child_log):
    _, exitcode, messages = run_child(target=leave, args=(3,))
    assert (exitcode, messages) == (3, [])
    assert child_log.read() == []


def test_keyboard_interrupt_in_the_child_is_left_to_the_bootstrap(child_log, capfd):
    def interrupt():
        raise KeyboardInterrupt
    _, exitcode, messages = run_child(target=interrupt)
    assert (exitcode, messages) == (1, [])
    assert child_log.read() == []
    assert "KeyboardInterrupt" in capfd.readouterr().err


@pytest.mark.parametrize("target,expected_type,names", [
    (raise_needs_keyword, NeedsKeyword, ["NeedsKeyword", "failed with code 7"]),
    (raise_unpicklable_argument, ValueError, ["ValueError", "holds a lock"]),
], ids=["keyword-only-constructor", "unpicklable-argument"])
def test_exception_that_cannot_be_rebuilt_arrives_as_a_clear_error(child_log, target,
                                                                   expected_type, names):
    _, exitcode, messages = run_child(index=4, target=target)
    assert exitcode == 0
    [(index, ok, error)] = messages
    assert (index, ok) == (4, False)
    assert isinstance(error, Exception)
    assert not isinstance(error, expected_type)
    for name in names:
        assert name in str(error)
    with pytest.raises(Exception):
        raise error
    assert target.__name__ in str(error.__cause__)
    [record] = child_log.read()
    assert record["exc_type"] == expected_type.__name__


def test_unpicklable_result_becomes_a_failure_message(child_log):
    _, exitcode, messages = run_child(index=6, target=give_lock)
    assert exitcode == 0
    [(index, ok, error)] = messages
    assert (index, ok) == (6, False)
    assert isinstance(error, Exception)
    assert "pickle" in str(error)
    assert "Traceback" in str(error.__cause__)


def test_unsendable_failure_message_ends_the_child_with_exit_code_1(child_log, monkeypatch, capfd):
    # The wrapper result does not pickle either: nothing can be sent.
    monkeypatch.setattr(tandrel, "ExceptionWithTraceback", lambda error: threading.Lock())
    _, exitcode, messages = run_child(target=give_lock)
    assert (exitcode, messages) == (1, [])
    assert "pickle" in capfd.readouterr().err


def test_messages_of_several_children_share_one_queue():
    queue = FORK.SimpleQueue()
    workers = [ChildLabor(i, queue, target=echo, args=(i,)) for i in range(3)]
    for w in workers:
        w.start()
    for w in workers:
        w.join(60)
        assert w.exitcode == 0
    assert sorted(drain(queue)) == [(i, True, ("echo", (i,), {})) for i in range(3)]


# ---- run(), called directly in this process --------------------------------
# The calling process never calls run() in normal use, but it is a plain
# method: calling it here makes the exception state and the message visible.

def test_run_calls_with_a_tuple_and_a_fresh_dict():
    seen = []

    def target(*args, **kwargs):
        seen.append((args, kwargs))
        kwargs["added"] = True
        return "done"

    w = worker(target, [1, 2], {"k": 1})
    w._args = [3, 4]  # looked up when run
    assert w.run() is None
    assert seen == [((3, 4), {"k": 1, "added": True})]
    assert w._kwargs == {"k": 1}
    assert drain(w._queue) == [(0, True, "done")]


def test_run_accepts_keyword_mappings_that_are_not_dicts():
    w = worker(echo)
    w._kwargs = types.MappingProxyType({"a": 1})
    w.run()
    assert drain(w._queue) == [(0, True, ("echo", (), {"a": 1}))]


@pytest.mark.parametrize("attribute,value", [("_args", 5), ("_kwargs", 5), ("_kwargs", [1])])
def test_argument_preparation_is_guarded(attribute, value, tandrel_records):
    w = worker(echo)
    setattr(w, attribute, value)
    w.run()
    [(index, ok, error)] = drain(w._queue)
    assert (index, ok, type(error)) == (0, False, TypeError)
    assert len(tandrel_records) == 1
    if attribute == "_kwargs":
        # named after the target, as the interpreter names it in `echo(**value)`
        assert str(error).startswith("echo() argument after ** must be a mapping")


def test_handled_exception_during_logging_and_wrapping_then_restored(monkeypatch, tandrel_records):
    caught = []

    def wrap(error):
        caught.append((error, sys.exc_info()[1]))
        return "wrapped"

    monkeypatch.setattr(tandrel, "ExceptionWithTraceback", wrap)
    w = worker(add, (1, 2))

    assert sys.exc_info() == (None, None, None)
    w.run()
    assert sys.exc_info() == (None, None, None)
    error = caught[0][0]
    assert type(error) is ValueError and caught[0][1] is error
    [record] = tandrel_records
    assert record.exc_info[1] is error
    assert record.levelname == "ERROR"
    assert drain(w._queue) == [(0, False, "wrapped")]

    outer = KeyError("outer")
    try:
        raise outer
    except KeyError:
        w.run()
        assert sys.exc_info()[1] is outer
        assert caught[1][1] is caught[1][0] is not outer
    assert drain(w._queue) == [(0, False, "wrapped")]
    assert sys.exc_info() == (None, None, None)


@pytest.mark.parametrize("exception", [SystemExit(3), KeyboardInterrupt(), GeneratorExit()],
                         ids=["SystemExit", "KeyboardInterrupt", "GeneratorExit"])
def test_base_exceptions_leave_run_unlogged(exception, tandrel_records):
    def target():
        raise exception

    w = worker(target)
    with pytest.raises(type(exception)) as raised:
        w.run()
    assert raised.value is exception
    assert drain(w._queue) == []
    assert tandrel_records == []


class FailingLogger:
    def exception(self, *args, **kwargs):
        raise RuntimeError("logging broke")


@pytest.mark.parametrize("name,value", [
    ("logger", FailingLogger()),
    ("ExceptionWithTraceback", lambda error: 1 / 0),
], ids=["logger", "wrapper"])
def test_failure_while_reporting_leaves_run_with_the_error_as_context(monkeypatch, name, value):
    monkeypatch.setattr(tandrel, name, value)
    w = worker(add, (1, 2))
    with pytest.raises((RuntimeError, ZeroDivisionError)) as raised:
        w.run()
    assert type(raised.value.__context__) is ValueError
    assert drain(w._queue) == []


def test_unreadable_index_leaves_run_before_the_target_is_called():
    calls = []
    w = worker(lambda: calls.append(1))
    del w._index
    with pytest.raises(AttributeError):
        w.run()
    assert calls == [] and drain(w._queue) == []


def test_unsendable_result_is_replaced_by_the_pickling_error(monkeypatch):
    w = worker(give_lock)
    assert w.run() is None
    [(index, ok, error)] = drain(w._queue)
    assert (index, ok) == (0, False)
    assert "pickle" in str(error)

    caught = []

    def wrap(error):
        caught.append((error, sys.exc_info()[1]))
        return "wrapped"
    monkeypatch.setattr(tandrel, "ExceptionWithTraceback", wrap)
    assert w.run() is None
    assert drain(w._queue) == [(0, False, "wrapped")]
    [(error, handled)] = caught
    with pytest.raises(Exception) as expected:
        ForkingPickler.dumps((0, True, threading.Lock()))
    assert handled is error
    assert type(error) is expected.type and str(error) == str(expected.value)
    assert sys.exc_info() == (None, None, None)


def test_unsendable_failure_message_leaves_run(monkeypatch):
    monkeypatch.setattr(tandrel, "ExceptionWithTraceback", lambda error: threading.Lock())
    w = worker(give_lock)
    with pytest.raises(Exception, match="pickle"):
        w.run()
    assert drain(w._queue) == []


def test_unsendable_wrapped_exception_is_replaced_by_the_pickling_error(monkeypatch,
                                                                         tandrel_records):
    def wrap(error):
        if isinstance(error, ValueError):
            return threading.Lock()  # the target's failure cannot be sent
        return ("wrapped", type(error).__name__, sys.exc_info()[1] is error)
    monkeypatch.setattr(tandrel, "ExceptionWithTraceback", wrap)
    w = worker(add, (1, 2), index=3)
    assert w.run() is None
    [(index, ok, wrapped)] = drain(w._queue)
    with pytest.raises(Exception) as expected:
        ForkingPickler.dumps(threading.Lock())
    assert (index, ok, wrapped) == (3, False, ("wrapped", expected.type.__name__, True))
    assert len(tandrel_records) == 1  # the target's failure only
    assert tandrel_records[0].exc_info[0] is ValueError
