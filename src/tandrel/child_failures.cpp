#include "child_failures.h"

#include "names.h"
#include "python_objects/calls.h"

namespace tandrel {

using namespace python_objects;

Ref with_identity(PyObject* type, Ref message, Py_ssize_t index, PyObject* pid, PyObject* exitcode) {
    Ref error = check(PyObject_CallFunctionObjArgs(type, message.get(), nullptr));
    Ref index_object = check(PyLong_FromSsize_t(index));
    set_attr(error.get(), name_index, index_object.get());
    set_attr(error.get(), name_pid, pid);
    set_attr(error.get(), name_exitcode, exitcode);
    return error;
}

Ref never_started_error(Py_ssize_t index) {
    return with_identity(PyExc_ChildProcessError,
                         check(PyUnicode_FromFormat("Child process-%zd was never started.", index)), index, Py_None,
                         Py_None);
}

Ref unreported_error(const ChildIdentity& child) {
    Ref message = child.exitcode == Py_None
                      ? check(PyUnicode_FromFormat("Child process-%zd (pid %S) ended before reporting a result.",
                                                   child.index, child.pid))
                      : check(PyUnicode_FromFormat(
                            "Child process-%zd (pid %S) ended with exit code %S before reporting a result.",
                            child.index, child.pid, child.exitcode));
    return with_identity(PyExc_ChildProcessError, std::move(message), child.index, child.pid, child.exitcode);
}

Ref call_timeout_error(const ChildIdentity& child, PyObject* limit) {
    Ref message = check(PyUnicode_FromFormat(
        "Child process-%zd (pid %S) did not finish within its call_timeout of %S seconds.", child.index, child.pid,
        limit));
    return with_identity(PyExc_TimeoutError, std::move(message), child.index, child.pid, child.exitcode);
}

Ref plan_timeout_error(const ChildIdentity& child, PyObject* timeout) {
    Ref message = check(PyUnicode_FromFormat(
        "Child process-%zd (pid %S) was still running when the plan's timeout of %S seconds passed.", child.index,
        child.pid, timeout));
    return with_identity(PyExc_TimeoutError, std::move(message), child.index, child.pid, child.exitcode);
}

void note_child(PyObject* exception, Py_ssize_t index, long pid) {
    if constexpr (compat::exceptions_have_notes) {
        if (!PyExceptionInstance_Check(exception)) return;
        Ref note = check(PyUnicode_FromFormat("raised in child process-%zd (pid %ld)", index, pid));
        // BaseException's own method: what a subclass makes of add_note is its business.
        Ref add_note = get_attr(PyExc_BaseException, name_add_note);
        call(add_note.get(), exception, note.get());
    } else {
        (void)exception, (void)index, (void)pid;
    }
}

}  // namespace tandrel
