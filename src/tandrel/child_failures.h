// The exceptions that a plan raises, or stores in a child's slot, for one
// child: each names the child in its message and carries `index`, `pid` and
// `exitcode` as attributes (`exitcode` negative for a signal, None when
// unknown, as in multiprocessing). Kept apart from the run so that any slot of
// work that one child runs can be reported the same way.
#pragma once

#include "python_objects/ref.h"

namespace tandrel {

// What the plan knows of the child a failure is about; `pid` and `exitcode`
// are None when unknown.
struct ChildIdentity {
    Py_ssize_t index;
    PyObject* pid;
    PyObject* exitcode;
};

// An exception of `type` with `message`, carrying `index`, `pid` and
// `exitcode` as attributes.
python_objects::Ref with_identity(PyObject* type, python_objects::Ref message, Py_ssize_t index, PyObject* pid,
                                  PyObject* exitcode);

// ChildProcessError: the child was never forked.
python_objects::Ref never_started_error(Py_ssize_t index);
// ChildProcessError: the child ended without reporting a result.
python_objects::Ref unreported_error(const ChildIdentity& child);
// TimeoutError: the child was stopped at its own limit (call_timeout).
python_objects::Ref call_timeout_error(const ChildIdentity& child, PyObject* limit);
// TimeoutError: the child was still running when the plan's `timeout` passed.
python_objects::Ref plan_timeout_error(const ChildIdentity& child, PyObject* timeout);

// Adds to an exception re-raised from a child a note naming the child (3.11+;
// earlier versions have no notes, and nothing is added).
void note_child(PyObject* exception, Py_ssize_t index, long pid);

}  // namespace tandrel
