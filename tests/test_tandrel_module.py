"""The parallel-call module as Python code sees it: its globals, the record
type, the two classes and their functions, and how the module is loaded."""
import collections
import functools
import inspect
import itertools
import logging
import os
import pickle
import re
import signal
import time
import types

import pytest

import vortan.async_.tandrel as tandrel
import vortan.log
from conftest import run_python
from tandrel_helpers import FORK, FakeWorker, drain
from vortan.async_.exceptions import ExceptionWithTraceback

Pcall, ChildLabor, ChildWork = tandrel.Pcall, tandrel.ChildLabor, tandrel.ChildWork

# (function, qualified name, docstring title or None, signature)
FUNCTIONS = [
    (ChildLabor.__init__, "ChildLabor.__init__", "built-in init",
     "(self, index, queue, *args, **kwargs)"),
    (ChildLabor.run, "ChildLabor.run", "ChildLabor.run", "(self)"),
    (vars(ChildLabor)["_work"].func, "ChildLabor._work", "work record", "(self)"),
    (vars(Pcall)["pcall"].__func__, "Pcall.pcall", "pcall classmethod",
     "(cls, targets, timeout=None, cargs=(), iargs=(), ckwargs={}, ikwargs=(), **varkwargs)"),
    (Pcall.__init__, "Pcall.__init__", None,
     "(self, targets, timeout=None, cargs=(), iargs=(), ckwargs={}, ikwargs=(), **varkwargs)"),
    (Pcall.pids.fget, "Pcall.pids", "pids (property)", "(self)"),
    (Pcall.start, "Pcall.start", "start", "(self, *, max_running=None, call_timeout=None)"),
    (Pcall.join, "Pcall.join", "join", "(self, *, return_exceptions=None)"),
    (Pcall.terminate, "Pcall.terminate", "terminate", "(self)"),
    (Pcall.kill, "Pcall.kill", "kill", "(self)"),
    (Pcall.livings.fget, "Pcall.livings", "property: livings", "(self)"),
    (Pcall._build_arguments, "Pcall._build_arguments", "internal: building arguments", "(self)"),
    (Pcall.as_completed, "Pcall.as_completed", "as_completed", "(self, *, return_exceptions=None)"),
    (Pcall.__repr__, "Pcall.__repr__", "repr", "(self)"),
    (Pcall.__enter__, "Pcall.__enter__", "with", "(self)"),
    (Pcall.__exit__, "Pcall.__exit__", "end of with", "(self, exc_type, exc_value, traceback)"),
]
# Functions that the class holds wrapped: their qualified name leads to the
# wrapper (a bound class method, a property), so they are not pickled by name.
WRAPPED = {"Pcall.pcall", "Pcall.pids", "Pcall.livings", "ChildLabor._work"}
FUNCTION_IDS = [f[1] for f in FUNCTIONS]


def title(obj):
    return inspect.cleandoc(obj.__doc__).splitlines()[0].strip()


def echo(*args, **kwargs):
    return ("echo", args, kwargs)


def test_module_globals_in_binding_order():
    standard = {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__", "__all__"}
    assert [n for n in vars(tandrel) if n not in standard] == [
        "os", "time", "signal", "logging", "itertools", "functools", "namedtuple",
        "ExceptionWithTraceback", "managed_handlers", "multiprocessing", "__pcall_infra__",
        "logger", "ChildWork", "ChildLabor", "Pcall"]
    assert tandrel.os is os and tandrel.time is time and tandrel.signal is signal
    assert tandrel.logging is logging and tandrel.itertools is itertools
    assert tandrel.functools is functools
    assert tandrel.namedtuple is collections.namedtuple
    assert tandrel.ExceptionWithTraceback is ExceptionWithTraceback
    assert tandrel.managed_handlers is vortan.log.managed_handlers
    assert tandrel.__pcall_infra__ is True
    assert tandrel.__name__ == "vortan.async_.tandrel"
    assert tandrel.__package__ == "vortan.async_"
    assert tandrel.__file__ == tandrel.__spec__.origin
    assert tandrel.__loader__ is tandrel.__spec__.loader


def test_multiprocessing_is_the_fork_context_not_the_package():
    assert not isinstance(tandrel.multiprocessing, types.ModuleType)
    assert tandrel.multiprocessing is FORK
    assert tandrel.multiprocessing.get_start_method() == "fork"
    assert ChildLabor.__bases__ == (FORK.Process,)
    assert type(ChildLabor) is type


def test_logger_is_the_module_logger_without_handlers():
    assert tandrel.logger is logging.getLogger("vortan.async_.tandrel")
    assert tandrel.logger.name == "vortan.async_.tandrel"
    assert tandrel.logger.handlers == []


def test_child_work_record():
    assert issubclass(ChildWork, tuple)
    assert ChildWork.__name__ == "ChildWork"
    assert ChildWork._fields == ("target", "args", "kwargs")
    assert ChildWork._field_defaults == {}
    record = ChildWork("t", "a", "k")
    assert (record.target, record.args, record.kwargs) == ("t", "a", "k")
    assert record[1] == "a" and record.args == "a"
    with pytest.raises(TypeError):
        ChildWork("t", "a")
    for proto in range(pickle.HIGHEST_PROTOCOL + 1):
        again = pickle.loads(pickle.dumps(record, proto))
        assert type(again) is ChildWork and again == record
    worker = ChildLabor(0, None, target=echo, args=(1,), kwargs={})
    again = pickle.loads(pickle.dumps(worker._work))
    assert type(again) is ChildWork and again == ("echo", "(1,)", "{}")


def test_classes_are_made_like_class_statements():
    assert type(Pcall) is type and Pcall.__bases__ == (object,)
    skip = {"__dict__", "__weakref__"}
    # __qualname__ is consumed by type() and kept as the class's own attribute.
    assert [n for n in vars(Pcall) if n not in skip] == [
        "__module__", "__doc__", "pcall", "__init__", "pids", "start", "join", "terminate",
        "kill", "livings", "_build_arguments", "as_completed", "__repr__", "__enter__", "__exit__", "map", "imap",
        "max_running",
        "grace_period", "return_exceptions", "call_timeout", "process_group"]
    assert list(vars(ChildLabor)) == ["__module__", "__doc__", "__init__", "run", "_work", "_Popen"]
    assert Pcall.max_running is None and Pcall.grace_period == 1.0
    assert Pcall.return_exceptions is False and Pcall.call_timeout is None and Pcall.process_group is False
    for cls in (Pcall, ChildLabor):
        assert cls.__module__ == "vortan.async_.tandrel"
        assert cls.__qualname__ == cls.__name__
    assert title(Pcall) == "Pcall class"
    assert title(ChildLabor) == "ChildLabor Class"
    assert "fork" in ChildLabor.__doc__
    for argument in ("targets", "timeout", "cargs", "iargs", "ckwargs", "ikwargs", "varkwargs"):
        assert argument in Pcall.__doc__
    assert Pcall.__init__.__doc__ is None
    assert vars(Pcall(echo))  # instances have a __dict__, no slots


def test_class_namespaces_in_order_through_the_metaclass():
    # ChildLabor's base comes from the fork context; a context whose Process
    # has a recording metaclass shows how the class body fills its namespace.
    r = run_python("""
        import multiprocessing
        real = multiprocessing.get_context
        asked, order = [], []

        class Namespace(dict):
            def __setitem__(self, key, value):
                order.append(key)
                super().__setitem__(key, value)

        class Meta(type):
            @classmethod
            def __prepare__(mcls, name, bases, **kwargs):
                order.append(("prepare", name))
                return Namespace()

            def __new__(mcls, name, bases, namespace, **kwargs):
                if name == "ChildLabor":
                    order.append(("new", name, type(namespace).__name__, namespace["__qualname__"],
                                  namespace["__module__"], namespace["__doc__"].splitlines()[0]))
                return super().__new__(mcls, name, bases, dict(namespace))

        class FakeProcess(metaclass=Meta):
            pass

        del order[:]

        class FakeContext:
            Process = FakeProcess

            def SimpleQueue(self):
                return "queue"

        fake = FakeContext()

        def get_context(method=None):
            asked.append(method)
            return fake if method == "fork" else real(method)

        multiprocessing.get_context = get_context
        import vortan.async_.tandrel as tandrel
        assert asked == ["fork"], asked
        assert tandrel.multiprocessing is fake
        assert type(tandrel.ChildLabor) is Meta
        assert tandrel.ChildLabor.__bases__ == (FakeProcess,)
        print(order)
    """)
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == str([
        ("prepare", "ChildLabor"), "__module__", "__qualname__", "__doc__", "__init__", "run", "_work", "_Popen",
        ("new", "ChildLabor", "Namespace", "ChildLabor", "vortan.async_.tandrel",
         "ChildLabor Class")])


@pytest.mark.parametrize("fn,qualname,doc_title,signature", FUNCTIONS, ids=FUNCTION_IDS)
def test_function_identity_docs_and_signature(fn, qualname, doc_title, signature):
    assert fn.__name__ == qualname.split(".")[-1]
    assert fn.__qualname__ == qualname
    assert fn.__module__ == "vortan.async_.tandrel"
    if doc_title is None:
        assert fn.__doc__ is None
    else:
        assert title(fn) == doc_title
    assert str(inspect.signature(fn)) == signature
    assert not inspect.isfunction(fn) and callable(fn)
    assert re.fullmatch(r"<function %s at 0x[0-9a-fA-F]+>" % re.escape(qualname), repr(fn))
    if qualname not in WRAPPED:
        for proto in range(pickle.HIGHEST_PROTOCOL + 1):
            assert pickle.loads(pickle.dumps(fn, proto)) is fn


def test_pcall_is_a_class_method_receiving_the_class_it_was_called_on():
    assert isinstance(vars(Pcall)["pcall"], classmethod)
    function = vars(Pcall)["pcall"].__func__

    class Sub(Pcall):
        pass
    for through, cls in [(Pcall, Pcall), (Pcall(echo), Pcall), (Sub, Sub), (Sub(echo), Sub)]:
        bound = through.pcall
        assert bound.__self__ is cls and bound.__func__ is function
    assert str(inspect.signature(Pcall.pcall)) == str(inspect.signature(Pcall))


class DryRun(Pcall):
    """Runs nothing: start and join only note the class of the plan."""

    def start(self):
        self.started = True

    def join(self):
        self.results = ("joined", type(self), self.started, self.targets)


def test_pcall_builds_the_class_it_was_called_on():
    assert DryRun.pcall(echo) == ("joined", DryRun, True, echo)
    assert DryRun(len).pcall(echo) == ("joined", DryRun, True, echo)


@pytest.mark.parametrize("name,doc_title", [("pids", "pids (property)"),
                                            ("livings", "property: livings")])
def test_pids_and_livings_are_read_only_properties(name, doc_title):
    prop = vars(Pcall)[name]
    assert type(prop) is property
    assert prop.fset is None and prop.fdel is None
    assert title(prop) == doc_title
    plan = Pcall(echo)
    with pytest.raises(AttributeError):
        setattr(plan, name, ())
    with pytest.raises(AttributeError):
        delattr(plan, name)
    assert name not in vars(plan)


def test_class_signatures():
    assert str(inspect.signature(Pcall)) == (
        "(targets, timeout=None, cargs=(), iargs=(), ckwargs={}, ikwargs=(), **varkwargs)")
    assert str(inspect.signature(ChildLabor)) == "(index, queue, *args, **kwargs)"


def test_functions_bind_like_methods():
    plan = Pcall(echo)
    bound = plan._build_arguments
    assert bound.__self__ is plan and bound.__func__ is Pcall._build_arguments
    assert Pcall._build_arguments.__get__(None, Pcall) is Pcall._build_arguments
    assert Pcall._build_arguments(plan) == bound()
    assert isinstance(vars(Pcall)["__init__"], type(Pcall.__init__))  # no wrapper


def test_defaults():
    defaults = Pcall.__init__.__defaults__
    assert defaults == (None, (), (), {}, ())
    assert Pcall.__init__.__kwdefaults__ is None
    shared = defaults[3]
    assert Pcall.__init__.__defaults__[3] is shared
    one, two = Pcall(echo), Pcall(echo, iargs=[(1,), (2,)])
    assert one.ckwargs is shared and two.ckwargs is shared
    assert shared == {}
    for f in (ChildLabor.__init__, ChildLabor.run, Pcall._build_arguments):
        assert f.__defaults__ is None and f.__kwdefaults__ is None


BAD_CALLS = [
    ("Pcall.__init__", lambda: Pcall()),
    ("Pcall.__init__", lambda: Pcall(echo, None, (), (), {}, (), "seventh")),
    ("Pcall.__init__", lambda: Pcall(echo, targets=echo)),
    ("Pcall.__init__", lambda: Pcall(echo, None, timeout=1)),
    ("Pcall.__init__", lambda: Pcall.__init__()),
    ("Pcall.__init__", lambda: Pcall(echo, self=[1])),
    ("ChildLabor.__init__", lambda: ChildLabor()),
    ("ChildLabor.__init__", lambda: ChildLabor(0)),
    ("ChildLabor.__init__", lambda: ChildLabor(0, None, index=1)),
    ("ChildLabor.run", lambda: ChildLabor.run()),
    ("ChildLabor.run", lambda: ChildLabor(0, None).run(1)),
    ("ChildLabor.run", lambda: ChildLabor(0, None).run(block=True)),
    ("Pcall._build_arguments", lambda: Pcall(echo)._build_arguments(1)),
    ("Pcall._build_arguments", lambda: Pcall(echo)._build_arguments(x=1)),
    ("Pcall.start", lambda: Pcall(echo).start(1)),
    ("Pcall.join", lambda: Pcall(echo).join(timeout=1)),
    ("Pcall.terminate", lambda: Pcall(echo).terminate(1)),
    ("Pcall.kill", lambda: Pcall(echo).kill(signal.SIGTERM)),
    ("Pcall.pids", lambda: Pcall.pids.fget()),
    ("Pcall.livings", lambda: Pcall.livings.fget(Pcall(echo), 1)),
    ("Pcall.pcall", lambda: vars(Pcall)["pcall"].__func__()),
]


@pytest.mark.parametrize("name,call", BAD_CALLS)
def test_bad_arguments_raise_type_error_naming_the_function(name, call):
    with pytest.raises(TypeError) as info:
        call()
    assert name.split(".")[-1] + "()" in str(info.value)


def test_every_parameter_binds_by_keyword():
    queue = FORK.SimpleQueue()
    worker = ChildLabor(index=1, queue=queue, target=echo)
    assert (worker._index, worker._queue) == (1, queue)
    plan = Pcall(targets=echo, timeout=5, cargs=(1,), iargs=[(2,)], ckwargs={"a": 1},
                 ikwargs=[{"b": 2}])
    assert plan.varkwargs == {}
    assert plan._build_arguments() == [{"target": echo, "args": (1, 2), "kwargs": {"a": 1, "b": 2}}]
    ChildLabor.run(self=worker)
    assert drain(queue) == [(1, True, ("echo", (), {}))]


# ---- globals are looked up at each use -------------------------------------

def test_rebound_child_labor_is_used_by_the_next_plan(monkeypatch):
    monkeypatch.setattr(tandrel, "ChildLabor", FakeWorker)
    plan = Pcall(echo, iargs=[(1,)])
    [worker] = plan._processes
    assert type(worker) is FakeWorker
    assert worker.kwargs == {"index": 0, "queue": plan._queue, "target": echo,
                             "args": (1,), "kwargs": {}}
    monkeypatch.undo()
    assert type(Pcall(echo)._processes[0]) is ChildLabor


def test_rebound_multiprocessing_pickles_the_next_message(monkeypatch):
    pickled = []

    class Pickler:
        @staticmethod
        def dumps(obj):
            pickled.append(obj)
            return pickle.dumps(obj)
    fake = types.SimpleNamespace(reducer=types.SimpleNamespace(ForkingPickler=Pickler))
    plan = Pcall(echo)
    monkeypatch.setattr(tandrel, "multiprocessing", fake)
    plan._queue.put(("message",))
    assert pickled == [("message",)]


def test_rebound_itertools_gives_the_target_source(monkeypatch):
    repeated = []

    def repeat(obj):
        repeated.append(obj)
        return iter([echo, len])
    monkeypatch.setattr(tandrel, "itertools", types.SimpleNamespace(repeat=repeat))
    works = Pcall(print, iargs=[(1,), (2,)])._build_arguments()
    assert repeated == [print, print]  # construction, then this call
    assert [w["target"] for w in works] == [echo, len]


def test_rebound_child_work_is_used_by_the_next_worker(monkeypatch):
    made = []

    def child_work(*texts):
        made.append(texts)
        return "work record"
    monkeypatch.setattr(tandrel, "ChildWork", child_work)
    worker = ChildLabor(0, None, target=echo, args=(1,), kwargs={})
    assert worker._work == "work record"
    assert made == [("echo", "(1,)", "{}")]


def test_rebound_functools_decides_what_is_unwrapped(monkeypatch):
    class Wrapper:
        def __init__(self, func):
            self.func = func

        def __call__(self):
            pass
    monkeypatch.setattr(tandrel, "functools", types.SimpleNamespace(partial=Wrapper))
    assert ChildLabor(0, None, target=Wrapper(echo))._work.target == "echo"
    # functools.partial is no longer recognised: it has no __name__ of its own.
    target = functools.partial(echo, 1)
    assert ChildLabor(0, None, target=target)._work.target == str(target)


def test_rebound_logger_and_wrapper_are_used_by_the_next_run(monkeypatch, tandrel_records):
    logged, wrapped = [], []
    monkeypatch.setattr(tandrel, "logger",
                        types.SimpleNamespace(exception=lambda *a, **k: logged.append((a, k))))
    monkeypatch.setattr(tandrel, "ExceptionWithTraceback",
                        lambda error: wrapped.append(error) or ("wrapped", error.args))

    def fail():
        raise ValueError("x")
    queue = FORK.SimpleQueue()
    ChildLabor(7, queue, target=fail).run()
    assert drain(queue) == [(7, False, ("wrapped", ("x",)))]
    assert len(logged) == 1 and logged[0][1] == {}
    assert logged[0][0][0].startswith("Caught error while executing target in child process-7:")
    assert type(wrapped[0]) is ValueError
    assert tandrel_records == []


def test_missing_global_raises_name_error(monkeypatch):
    monkeypatch.delattr(tandrel, "ChildLabor")
    with pytest.raises(NameError, match="ChildLabor"):
        Pcall(echo)
    monkeypatch.undo()
    monkeypatch.delattr(tandrel, "ChildWork")
    with pytest.raises(NameError, match="ChildWork"):
        ChildLabor(0, None)._work


# ---- loading ---------------------------------------------------------------

@pytest.mark.parametrize("blocked", ["vortan.log", "vortan.async_.exceptions"])
def test_import_fails_without_a_sibling_and_succeeds_once_it_is_there(blocked):
    r = run_python("""
        import sys
        sys.modules[%r] = None
        try:
            import vortan.async_.tandrel
        except ImportError as exc:
            print("ImportError")
        else:
            print("imported")
        print("vortan.async_.tandrel" in sys.modules)
        del sys.modules[%r]
        import vortan.async_.tandrel as tandrel
        print(tandrel.Pcall.__name__, tandrel.managed_handlers is sys.modules["vortan.log"].managed_handlers)
        print(type(tandrel.Pcall(len, iargs=["a"])._processes[0]).__name__)
    """ % (blocked, blocked))
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines() == ["ImportError", "False", "Pcall True", "ChildLabor"]


def test_import_fails_when_a_sibling_lacks_the_name():
    r = run_python("""
        import sys, types
        import vortan.log
        real = vortan.log.managed_handlers
        del vortan.log.managed_handlers
        try:
            import vortan.async_.tandrel
        except ImportError as exc:
            print("ImportError", "managed_handlers" in str(exc))
        vortan.log.managed_handlers = real
        import vortan.async_.tandrel as tandrel
        print(tandrel.managed_handlers is real)
    """)
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines() == ["ImportError True", "True"]
