"""Loading either extension module: one module per process, in one interpreter.

Each case runs in a fresh interpreter, so that a crash shows as a failure and
the module's one-per-process state starts clean.
"""

import pytest

from conftest import run_python

MODULES = ["vortan.async_.synchronize", "vortan.async_.tandrel"]


def short(module):
    return module.rsplit(".", 1)[1]


@pytest.mark.parametrize("module", MODULES)
def test_reimport_and_reload_keep_the_module_and_its_objects(module):
    r = run_python("""
        import importlib, importlib.util, sys
        import %(module)s as mod
        before = {k: v for k, v in vars(mod).items() if not k.startswith("__")}
        def defaults():  # e.g. the default dict that every plan shares
            return [getattr(getattr(v, "__init__", None), "__defaults__", None) for v in vars(mod).values()]
        defaults_before = defaults()
        assert importlib.reload(mod) is mod
        assert importlib.util.module_from_spec(mod.__spec__) is mod
        del sys.modules["%(module)s"]
        import %(module)s as again
        assert again is mod
        assert all(vars(mod)[k] is v for k, v in before.items()), "rebound"
        assert all(a is b for a, b in zip(defaults(), defaults_before)), "defaults replaced"
        print("ok")
    """ % {"module": module})
    assert (r.returncode, r.stdout.strip()) == (0, "ok"), r.stderr


@pytest.mark.parametrize("module", MODULES)
def test_exec_step_with_another_module_object_is_refused(module):
    # The exec slot is reached directly through the C API: importlib's own
    # routes always hand the exec step the module that the create step made.
    r = run_python("""
        import ctypes, types
        import %(module)s as mod
        api = ctypes.pythonapi
        api.PyModule_GetDef.restype = ctypes.c_void_p
        api.PyModule_GetDef.argtypes = [ctypes.py_object]
        api.PyModule_ExecDef.restype = ctypes.c_int
        api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
        mdef = api.PyModule_GetDef(mod)
        assert mdef
        before = dict(vars(mod))
        assert api.PyModule_ExecDef(mod, mdef) == 0
        assert all(vars(mod)[k] is v for k, v in before.items()), "body ran again"
        other = types.ModuleType("%(short)s")
        try:
            api.PyModule_ExecDef(other, mdef)
        except RuntimeError as exc:
            print("RuntimeError:", exc)
        print(sorted(n for n in vars(other) if not n.startswith("__")))
    """ % {"module": module, "short": short(module)})
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines() == [
        "RuntimeError: Module '%s' has already been imported. "
        "Re-initialisation is not supported." % short(module),
        "[]",
    ]


@pytest.mark.parametrize("module", MODULES)
def test_second_interpreter_gets_import_error(module, tmp_path):
    pytest.importorskip("_testcapi")
    out = tmp_path / "subinterp.txt"
    r = run_python("""
        import _testcapi, textwrap
        import %(module)s as mod
        if not hasattr(_testcapi, "run_in_subinterp"):
            print("unsupported")
            raise SystemExit(0)
        before = dict(vars(mod))
        code = '''
        try:
            import %(module)s
        except ImportError as exc:
            text = "ImportError: %%s" %% exc
        else:
            text = "imported"
        with open(%(out)r, "w") as f:
            f.write(text)
        '''
        _testcapi.run_in_subinterp(textwrap.dedent(code))
        with open(%(out)r) as f:
            print(f.read())
        print(all(vars(mod)[k] is v for k, v in before.items()))
    """ % {"module": module, "out": str(out)})
    if r.stdout.strip() == "unsupported":
        pytest.skip("_testcapi.run_in_subinterp is not available")
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines() == [
        "ImportError: Interpreter change detected - this module can only be "
        "loaded into one interpreter per process.",
        "True",
    ]


@pytest.mark.parametrize("module,failing,made_before", [
    ("vortan.async_.synchronize", "LockableMeta", "Lockable"),
    ("vortan.async_.tandrel", "Pcall", "ChildLabor"),
])
def test_failed_module_body_leaves_no_object_alive(module, failing, made_before):
    # The classes already made hold functions that hold the module namespace,
    # which holds the classes: the collector must see the whole cycle.
    r = run_python("""
        import gc, sys, types, weakref
        real = types.prepare_class
        probes = []
        def prepare_class(name, *args, **kwargs):
            if name == %(failing)r:
                probes.append(weakref.ref(getattr(sys.modules[%(module)r], %(made_before)r)))
                raise ValueError("no " + name)
            return real(name, *args, **kwargs)
        types.prepare_class = prepare_class
        try:
            import %(module)s
        except ValueError as exc:
            print(exc)
        types.prepare_class = real
        gc.collect()
        print(len(probes), probes[0]() is None)
    """ % {"module": module, "failing": failing, "made_before": made_before})
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines() == ["no " + failing, "1 True"]
