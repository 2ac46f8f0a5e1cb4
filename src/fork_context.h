// The "fork" start-method context of multiprocessing: both modules bind their
// global `multiprocessing` to it, never to the package, so that every process,
// queue and lock they make is forked.
#pragma once

#include "python_objects/calls.h"
#include "python_objects/module.h"

inline python_objects::Name name_get_context("get_context");
inline python_objects::Name name_register_at_fork("register_at_fork");
inline python_objects::Name name_after_in_child("after_in_child");

// `__import__("multiprocessing").get_context("fork")`, through the module's
// own __import__ as the module body would call it.
inline python_objects::Ref import_fork_context(PyObject* globals) {
    using namespace python_objects;
    Ref package = import_module(globals, "multiprocessing");
    Ref method = check(PyUnicode_FromString("fork"));
    return call_method(package.get(), name_get_context, method.get());
}

// `os.register_at_fork(after_in_child=hook)`: state that a forked child must
// not inherit (held guards, the parent's descriptors) is reset there.
inline void call_after_fork_in_child(PyObject* globals, PyObject* hook) {
    using namespace python_objects;
    Ref os = import_module(globals, "os");
    Ref register_at_fork = get_attr(os.get(), name_register_at_fork);
    Ref no_arguments = check(PyTuple_New(0));
    Ref keywords = check(PyDict_New());
    check_status(PyDict_SetItem(keywords.get(), name_after_in_child, hook));
    check(PyObject_Call(register_at_fork.get(), no_arguments.get(), keywords.get()));
}
