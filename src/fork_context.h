// The "fork" start-method context of multiprocessing: both modules bind their
// global `multiprocessing` to it, never to the package, so that every process,
// queue and lock they make is forked.
#pragma once

#include "python_objects/calls.h"
#include "python_objects/module.h"

inline python_objects::Name name_get_context("get_context");

// `__import__("multiprocessing").get_context("fork")`, through the module's
// own __import__ as the module body would call it.
inline python_objects::Ref import_fork_context(PyObject* globals) {
    using namespace python_objects;
    Ref package = import_module(globals, "multiprocessing");
    Ref method = check(PyUnicode_FromString("fork"));
    return call_method(package.get(), name_get_context, method.get());
}
