"""The module as Python code sees it: globals, names, docstrings, the
function-like behaviour of its callables, and how it is loaded."""
import functools
import inspect
import logging
import pickle
import pydoc
import re
import sys
import types

import pytest

import vortan.async_.synchronize as sync
from conftest import FORK, Plain, raw_wrapper, run_python

Lockable, LockableMeta, locked = sync.Lockable, sync.LockableMeta, sync.locked

# (callable, name, qualified name, docstring title)
CALLABLES = [
    (locked, "locked", "locked", "lock decorator"),
    (Lockable.__init__, "__init__", "Lockable.__init__", "__init__"),
    (Lockable.acquire, "acquire", "Lockable.acquire", "acquire"),
    (Lockable.release, "release", "Lockable.release", "release"),
    (Lockable.locked, "locked", "Lockable.locked", "locked decorator"),
    (LockableMeta.ignore, "ignore", "LockableMeta.ignore", "ignore"),
    (LockableMeta.__new__, "__new__", "LockableMeta.__new__", "Metaclass __new__"),
]
CALLABLE_IDS = [c[2] for c in CALLABLES]


def title(obj):
    return inspect.cleandoc(obj.__doc__).splitlines()[0].strip()


class Holder:
    """A class of this test module with a wrapped method (for pickling)."""

    @locked
    def work(self):
        return "worked"


def test_module_globals_in_binding_order():
    names = [n for n in vars(sync) if not n.startswith("__")]
    assert names == ["inspect", "logging", "functools", "multiprocessing",
                     "logger", "Lockable", "locked", "LockableMeta"]
    assert sync.inspect is inspect
    assert sync.logging is logging
    assert sync.functools is functools
    assert sync.multiprocessing is FORK
    assert sync.__name__ == "vortan.async_.synchronize"
    assert sync.__package__ == "vortan.async_"
    assert sync.__file__ == sync.__spec__.origin
    assert sync.__loader__ is sync.__spec__.loader


def test_logger_is_the_module_logger_without_handlers():
    assert sync.logger is logging.getLogger("vortan.async_.synchronize")
    assert sync.logger.handlers == []


def test_classes_are_made_like_class_statements():
    assert type(Lockable) is type and Lockable.__bases__ == (object,)
    assert type(LockableMeta) is type and LockableMeta.__bases__ == (type,)
    skip = {"__dict__", "__weakref__"}
    assert [n for n in vars(Lockable) if n not in skip] == [
        "__module__", "__doc__", "__init__", "acquire", "release", "locked"]
    assert [n for n in vars(LockableMeta) if n not in skip] == [
        "__module__", "__doc__", "ignore", "__new__"]
    for cls in (Lockable, LockableMeta):
        assert cls.__module__ == "vortan.async_.synchronize"
        assert cls.__qualname__ == cls.__name__
        assert title(cls) == cls.__name__
    assert isinstance(vars(Lockable)["locked"], staticmethod)
    assert isinstance(vars(LockableMeta)["ignore"], staticmethod)
    assert isinstance(vars(LockableMeta)["__new__"], staticmethod)
    assert Lockable().locked is Lockable.locked
    assert vars(Lockable())["__lock__"] is not None  # instances have a __dict__


@pytest.mark.parametrize("fn,name,qualname,doc_title", CALLABLES, ids=CALLABLE_IDS)
def test_callable_identity_and_docs(fn, name, qualname, doc_title):
    assert fn.__name__ == name
    assert fn.__qualname__ == qualname
    assert fn.__module__ == "vortan.async_.synchronize"
    assert title(fn) == doc_title
    assert not inspect.isfunction(fn)
    assert callable(fn)
    assert re.fullmatch(r"<function %s at 0x[0-9a-fA-F]+>" % re.escape(qualname), repr(fn))


@pytest.mark.parametrize("fn", [c[0] for c in CALLABLES], ids=CALLABLE_IDS)
def test_callables_pickle_by_qualified_name(fn):
    for proto in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(fn, proto)) is fn


def test_wrapper_in_a_user_class_pickles_by_qualified_name():
    assert Holder.work.__qualname__ == "Holder.work"
    assert Holder.work.__module__ == __name__
    for proto in range(2, pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(Holder.work, proto)) is Holder.work
    assert Holder().work() == "worked"


def test_signatures_and_defaults():
    sig = lambda f: str(inspect.signature(f))
    assert sig(locked) == "(method)"
    assert sig(Lockable.locked) == "(method)"
    assert sig(Lockable.acquire) == "(self, block=True, timeout=None)"
    assert sig(Lockable.release) == "(self)"
    assert sig(LockableMeta.ignore) == "(obj)"
    assert sig(LockableMeta.__new__) == "(cls, name, bases, attrs)"
    init = inspect.signature(Lockable.__init__)
    assert list(init.parameters) == ["self", "lock"]
    assert init.parameters["lock"].kind is inspect.Parameter.KEYWORD_ONLY
    assert init.parameters["lock"].default == FORK.RLock
    assert sig(Lockable().acquire) == "(block=True, timeout=None)"

    assert Lockable.__init__.__defaults__ is None
    assert Lockable.__init__.__kwdefaults__ == {"lock": FORK.RLock}
    assert Lockable.acquire.__defaults__ == (True, None)
    assert Lockable.acquire.__kwdefaults__ is None
    assert locked.__defaults__ is None


def test_raw_wrapper_before_functools_wraps():
    def method(self, x):
        return x

    for decorator, qualname in ((locked, "locked.<locals>._wrapped"),
                                (Lockable.locked, "Lockable.locked.<locals>._wrapped")):
        w = raw_wrapper(decorator, method)
        assert w.__name__ == "_wrapped"
        assert w.__qualname__ == qualname
        assert w.__module__ == "vortan.async_.synchronize"
        assert w.__doc__ is None
        assert not hasattr(w, "__wrapped__")
        assert not inspect.isfunction(w)
        assert str(inspect.signature(w)) == "(self, *args, **kwargs)"
        assert repr(w).startswith("<function %s at 0x" % qualname)


def test_wrapper_metadata_is_writable_and_has_a_dict():
    w = raw_wrapper(locked, lambda self: None)
    w.__name__ = "renamed"
    w.__qualname__ = "Some.renamed"
    w.__module__ = "elsewhere"
    w.__doc__ = "Docs."
    w.__annotations__ = {"return": int}
    w.extra = 42
    assert (w.__name__, w.__qualname__, w.__module__, w.__doc__) == (
        "renamed", "Some.renamed", "elsewhere", "Docs.")
    assert w.__annotations__ == {"return": int}
    assert w.__dict__ == {"extra": 42}
    assert repr(w).startswith("<function Some.renamed at 0x")


def test_functools_wraps_metadata_copied():
    def method(self, a: int, b=2) -> str:
        """Method docs."""
        return "%s %s" % (a, b)

    method.custom = "kept"
    for decorator in (locked, Lockable.locked):
        w = decorator(method)
        assert w.__wrapped__ is method
        assert (w.__name__, w.__qualname__, w.__module__, w.__doc__) == (
            "method", method.__qualname__, __name__, "Method docs.")
        assert w.__annotations__ == {"a": int, "return": str}
        assert w.custom == "kept"
        assert inspect.signature(w) == inspect.signature(method)


@pytest.mark.skipif(sys.version_info < (3, 14), reason="functions have __annotate__ from 3.14")
@pytest.mark.parametrize("kind", ["python function", "module function"])
def test_annotate_behaves_as_on_a_python_function(kind):
    fn = lambda self: None
    if kind == "module function":
        fn = raw_wrapper(locked, fn)
    formats = []

    def annotate(format):
        formats.append(format)
        return {"x": int}

    assert fn.__annotate__ is None
    fn.__annotations__ = {"old": str}
    fn.__annotate__ = annotate  # drops the stored annotations
    assert fn.__annotations__ == {"x": int} and fn.__annotations__ is fn.__annotations__
    assert formats == [1]  # called once, with the VALUE format; the result is kept
    fn.__annotations__ = {"y": str}  # drops __annotate__
    assert fn.__annotate__ is None and fn.__annotations__ == {"y": str}
    for attempt, message in ((lambda: setattr(fn, "__annotate__", 5), "must be callable or None"),
                             (lambda: delattr(fn, "__annotate__"), "cannot be deleted")):
        with pytest.raises(TypeError, match=message):
            attempt()

    def error_for_a_list(fn):
        fn.__annotate__ = lambda format: [format]
        with pytest.raises(TypeError) as raised:
            fn.__annotations__
        return str(raised.value)
    assert error_for_a_list(fn) == error_for_a_list(lambda self: None)  # worded as the version words it


def test_module_callables_bind_like_functions(monkeypatch):
    obj = Lockable()
    bound = Lockable.acquire.__get__(obj, Lockable)
    assert bound.__self__ is obj and bound.__func__ is Lockable.acquire
    assert Lockable.acquire.__get__(None, Lockable) is Lockable.acquire
    assert obj.acquire.__func__ is Lockable.acquire
    assert obj.acquire() is True and obj.release() is None

    class Host:
        deco = locked
    assert Host().deco.__func__ is locked

    w = locked(lambda self, x: (self, x))
    host = Plain()
    assert w.__get__(host, Plain)(5) == (host, 5)
    assert w.__get__(None, Plain) is w

    monkeypatch.setattr(Lockable.release, "__doc__", "changed")
    monkeypatch.setattr(Lockable.release, "__annotations__", {"return": None})
    monkeypatch.setattr(Lockable.release, "marker", 1, raising=False)
    assert Lockable.release.__doc__ == "changed" and Lockable.release.marker == 1


def test_help_renders():
    plain = lambda obj: pydoc.render_doc(obj, renderer=pydoc.plaintext)
    text = plain(sync)
    for piece in ("class Lockable", "class LockableMeta", "lock decorator",
                  "locked decorator", "Metaclass __new__"):
        assert piece in text
    assert "acquire(self, block=True, timeout=None)" in plain(Lockable)
    assert "lock decorator" in plain(locked)
    assert "work(self)" in plain(Holder)


def _method(self):
    pass


BAD_CALLS = [
    ("locked", lambda: locked()),
    ("locked", lambda: locked(_method, _method)),
    ("locked", lambda: locked(_method, method=_method)),
    ("locked", lambda: locked(func=_method)),
    ("__init__", lambda: Lockable(FORK.RLock)),
    ("__init__", lambda: Lockable(lock=FORK.RLock, other=1)),
    ("__init__", lambda: Lockable.__init__()),
    ("acquire", lambda: Lockable().acquire(True, None, 1)),
    ("acquire", lambda: Lockable().acquire(True, block=True)),
    ("acquire", lambda: Lockable().acquire(blocking=True)),
    ("acquire", lambda: Lockable.acquire()),
    ("release", lambda: Lockable().release(1)),
    ("release", lambda: Lockable().release(force=True)),
    ("locked", lambda: Lockable.locked()),
    ("locked", lambda: Lockable.locked(_method, _method)),
    ("locked", lambda: Lockable.locked(_method, method=_method)),
    ("ignore", lambda: LockableMeta.ignore()),
    ("ignore", lambda: LockableMeta.ignore(_method, _method)),
    ("ignore", lambda: LockableMeta.ignore(obj=_method, other=1)),
    ("__new__", lambda: LockableMeta.__new__(LockableMeta, "X", ())),
    ("__new__", lambda: LockableMeta.__new__(LockableMeta, "X", (), {}, {})),
    ("__new__", lambda: LockableMeta.__new__(LockableMeta, "X", (), {}, name="Y")),
    ("__new__", lambda: LockableMeta.__new__(LockableMeta, "X", (), namespace={})),
]


@pytest.mark.parametrize("name,call", BAD_CALLS)
def test_bad_arguments_raise_type_error_naming_the_function(name, call):
    with pytest.raises(TypeError) as info:
        call()
    assert name + "()" in str(info.value)


def test_keyword_forms_are_accepted():
    w = locked(method=_method)
    assert w.__wrapped__ is _method
    assert Lockable.locked(method=_method).__wrapped__ is _method
    obj = Lockable()
    assert Lockable.acquire(self=obj, block=False, timeout=None) is True
    assert Lockable.release(self=obj) is None
    marked = LockableMeta.ignore(obj=Plain())
    assert marked._LockedMeta_ignore is True
    cls = LockableMeta.__new__(cls=LockableMeta, name="K", bases=(), attrs={"x": 1})
    assert (type(cls), cls.__name__, cls.x) == (LockableMeta, "K", 1)


# ---- loading ---------------------------------------------------------------

def test_failed_module_body_leaves_nothing_cached():
    r = run_python("""
        import sys, multiprocessing
        real = multiprocessing.get_context
        def refuse(method=None):
            raise ValueError("no %s here" % method)
        multiprocessing.get_context = refuse
        try:
            import vortan.async_.synchronize
        except ValueError as exc:
            print("ValueError:", exc)
        print("vortan.async_.synchronize" in sys.modules)
        multiprocessing.get_context = real
        import vortan.async_.synchronize as sync
        print(sync.multiprocessing is real("fork"), hasattr(sync, "LockableMeta"))
    """)
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines() == ["ValueError: no fork here", "False", "True True"]
