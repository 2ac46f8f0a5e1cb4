#include "pcall_lifecycle.h"

#include "names.h"
#include "python_objects/calls.h"
#include "python_objects/module.h"

namespace tandrel {
namespace {

using namespace python_objects;

// Calls `visit` with each child of the plan, in child order.
template <class Visit>
void for_each_child(PyObject* self, Visit&& visit) {
    Ref processes = get_attr(self, name_private_processes);
    Ref iterator = check(PyObject_GetIter(processes.get()));
    while (Ref child = Ref::steal(PyIter_Next(iterator.get()))) {
        if (!visit(child.get())) return;
    }
    if (PyErr_Occurred()) throw PythonError{};
}

Ref current_time(PyObject* globals) {
    Ref time = lookup_global(globals, global_time);
    return call_method(time.get(), name_time);
}

// ---- inspection and control -------------------------------------------------

Ref pids_body(Function&, Arguments& arguments) {
    Ref pids = check(PyList_New(0));
    for_each_child(arguments[0], [&](PyObject* child) {
        check_status(PyList_Append(pids.get(), get_attr(child, name_pid).get()));
        return true;
    });
    return check(PyList_AsTuple(pids.get()));
}

Ref livings_body(Function&, Arguments& arguments) {
    Ref alive = check(PyList_New(0));
    for_each_child(arguments[0], [&](PyObject* child) {
        if (is_true(call_method(child, name_is_alive).get())) check_status(PyList_Append(alive.get(), child));
        return true;
    });
    return check(PyList_AsTuple(alive.get()));
}

Ref terminate_body(Function&, Arguments& arguments) {
    for_each_child(arguments[0], [&](PyObject* child) {
        call_method(child, name_terminate);
        return true;
    });
    return Ref::borrow(Py_None);
}

// Whether the child's exit status has been collected: its pid may then belong
// to another process already, so it must not be signalled.
bool exit_status_collected(PyObject* child) {
    Ref popen = get_attr(child, name_popen);
    if (popen.get() == Py_None) return false;  // never started: os.kill refuses the pid None
    return get_attr(popen.get(), name_returncode).get() != Py_None;
}

Ref kill_body(Function& function, Arguments& arguments) {
    for_each_child(arguments[0], [&](PyObject* child) {
        if (exit_status_collected(child)) return true;
        Ref os = lookup_global(function.globals, global_os);
        Ref kill = get_attr(os.get(), name_kill);
        Ref pid = get_attr(child, name_pid);
        Ref signal = lookup_global(function.globals, global_signal);
        Ref sigkill = get_attr(signal.get(), name_sigkill);
        call(kill.get(), pid.get(), sigkill.get());
        return true;
    });
    return Ref::borrow(Py_None);
}

// ---- start --------------------------------------------------------------------

// What `with` looks up: the attribute on the type, bound to the object.
Ref lookup_special(PyObject* object, PyObject* name) {
    PyObject* descriptor = _PyType_Lookup(Py_TYPE(object), name);
    if (descriptor == nullptr) {
        if (!PyErr_Occurred()) PyErr_SetObject(PyExc_AttributeError, name);
        throw PythonError{};
    }
    Ref held = Ref::borrow(descriptor);  // binding may run code that changes the type
    descrgetfunc bind = Py_TYPE(descriptor)->tp_descr_get;
    if (bind == nullptr) return held;
    return check(bind(descriptor, object, reinterpret_cast<PyObject*>(Py_TYPE(object))));
}

void start_children(PyObject* self) {
    Ref processes = get_attr(self, name_private_processes);
    if (PyList_CheckExact(processes.get()) || PyTuple_CheckExact(processes.get())) {
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(processes.get()); ++i) {
            Ref child = Ref::borrow(PySequence_Fast_GET_ITEM(processes.get(), i));
            call_method(child.get(), name_start);
        }
        return;
    }
    Ref iterator = check(PyObject_GetIter(processes.get()));
    while (Ref child = Ref::steal(PyIter_Next(iterator.get()))) call_method(child.get(), name_start);
    if (PyErr_Occurred()) throw PythonError{};
}

Ref start_body(Function& function, Arguments& arguments) {
    PyObject* self = arguments[0];
    set_attr(self, name_starttime, current_time(function.globals).get());
    Ref managed_handlers = lookup_global(function.globals, global_managed_handlers);
    Ref tasklog = get_attr(managed_handlers.get(), name_tasklog);
    Ref context = call_method(tasklog.get(), name_consolidate);

    // `with context:` around the forks.
    Ref exit = lookup_special(context.get(), name_exit);
    call(lookup_special(context.get(), name_enter).get());
    try {
        start_children(self);
    } catch (const PythonError&) {
        Ref failure = Ref::steal(compat::fetch_raised_exception());
        bool suppress;
        {
            HandlingException handling(failure.get());
            Ref traceback = Ref::steal(PyException_GetTraceback(failure.get()));
            Ref answer = call(exit.get(), reinterpret_cast<PyObject*>(Py_TYPE(failure.get())), failure.get(),
                              traceback ? traceback.get() : Py_None);
            suppress = is_true(answer.get());
        }
        if (suppress) return Ref::borrow(Py_None);
        compat::restore_raised_exception(failure.release());
        throw;
    }
    call(exit.get(), Py_None, Py_None, Py_None);
    return Ref::borrow(Py_None);
}

// ---- join ---------------------------------------------------------------------

bool any_child_alive(PyObject* self) {
    bool alive = false;
    for_each_child(self, [&](PyObject* child) {
        alive = is_true(call_method(child, name_is_alive).get());
        return !alive;  // stop at the first living child, as any() does
    });
    return alive;
}

// The messages delivered so far, kept on the plan by child index, so that no
// delivered result is lost to a timed-out or repeated join.
Ref delivered_messages(PyObject* self) {
    PyObject* messages = nullptr;
    if (check_status(compat::get_optional_attr(self, name_private_messages, &messages)) > 0) return Ref::steal(messages);
    Ref fresh = check(PyDict_New());
    set_attr(self, name_private_messages, fresh.get());
    return fresh;
}

void drain(PyObject* self, PyObject* messages) {
    Ref queue = get_attr(self, name_private_queue);
    while (!is_true(call_method(queue.get(), name_empty).get())) {
        Ref message = call_method(queue.get(), name_get);
        Ref index = check(PySequence_GetItem(message.get(), 0));
        check_status(PyObject_SetItem(messages, index.get(), message.get()));
    }
}

[[noreturn]] void time_out(Function& function, PyObject* self) {
    Ref lines = check(PyList_New(0));
    Ref living = get_attr(self, name_livings);
    Ref line_format = get_attr(text_still_running_line, name_format);
    Ref iterator = check(PyObject_GetIter(living.get()));
    while (Ref child = Ref::steal(PyIter_Next(iterator.get()))) {
        Ref line = call_with_keywords(line_format.get(), keywords_p, child.get());
        check_status(PyList_Append(lines.get(), line.get()));
    }
    if (PyErr_Occurred()) throw PythonError{};

    call_method(self, name_terminate);

    Ref extended_msg = check(PyUnicode_Join(text_newline, lines.get()));
    Ref timeout = get_attr(self, name_timeout);
    Ref report_format = get_attr(text_still_running, name_format);
    Ref report = call_with_keywords(report_format.get(), keywords_timeout_extended_msg, timeout.get(), extended_msg.get());
    Ref logger = lookup_global(function.globals, global_logger);
    call_method(logger.get(), name_error, report.get());

    PyErr_SetString(PyExc_TimeoutError, "Not all child processes finished running.");
    throw PythonError{};
}

bool deadline_passed(PyObject* globals, PyObject* self) {
    Ref timeout = get_attr(self, name_timeout);
    if (!is_true(timeout.get())) return false;
    Ref now = current_time(globals);
    Ref deadline = check(PyNumber_Add(timeout.get(), get_attr(self, name_starttime).get()));
    return check_status(PyObject_RichCompareBool(now.get(), deadline.get(), Py_GT)) > 0;
}

// `raise failure`, as the statement does it for an instance or a class.
[[noreturn]] void raise_child_failure(PyObject* failure) {
    if (PyExceptionInstance_Check(failure)) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(failure)), failure);
    } else if (PyExceptionClass_Check(failure)) {
        Ref instance = call(failure);
        PyErr_SetObject(failure, instance.get());
    } else {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    }
    throw PythonError{};
}

[[noreturn]] void raise_unreported(PyObject* child, Py_ssize_t index) {
    Ref pid = get_attr(child, name_pid);
    Ref exitcode = get_attr(child, name_exitcode);
    PyErr_Format(PyExc_ChildProcessError,
                 "Child process-%zd (pid %S) ended with exit code %S before reporting a result.", index, pid.get(),
                 exitcode.get());
    throw PythonError{};
}

Ref join_body(Function& function, Arguments& arguments) {
    PyObject* self = arguments[0];
    Ref messages = delivered_messages(self);
    while (any_child_alive(self)) {
        drain(self, messages.get());
        Ref time = lookup_global(function.globals, global_time);
        Ref period = check(PyFloat_FromDouble(0.25));
        call_method(time.get(), name_sleep, period.get());
        if (deadline_passed(function.globals, self)) time_out(function, self);
    }
    set_attr(self, name_stoptime, current_time(function.globals).get());
    drain(self, messages.get());
    for_each_child(self, [&](PyObject* child) {
        call_method(child, name_join);
        return true;
    });

    // The lowest-indexed child that failed or never reported decides.
    Ref results = check(PyList_New(0));
    Py_ssize_t index = 0;
    for_each_child(self, [&](PyObject* child) {
        Ref key = check(PyLong_FromSsize_t(index));
        PyObject* message = PyDict_GetItemWithError(messages.get(), key.get());
        if (message == nullptr) {
            if (PyErr_Occurred()) throw PythonError{};
            raise_unreported(child, index);
        }
        Ref fast = check(PySequence_Fast(message, "a result message must be a sequence"));
        if (PySequence_Fast_GET_SIZE(fast.get()) != 3) {
            PyErr_Format(PyExc_ValueError, "a result message has %zd items, not 3", PySequence_Fast_GET_SIZE(fast.get()));
            throw PythonError{};
        }
        PyObject* result = PySequence_Fast_GET_ITEM(fast.get(), 2);
        if (!is_true(PySequence_Fast_GET_ITEM(fast.get(), 1))) raise_child_failure(result);
        check_status(PyList_Append(results.get(), result));
        ++index;
        return true;
    });
    set_attr(self, name_results, check(PyList_AsTuple(results.get())).get());
    return Ref::borrow(Py_None);
}

// ---- pcall ----------------------------------------------------------------------

Ref pcall_body(Function&, Arguments& arguments) {
    PyObject* cls = arguments[0];
    Ref parallels = check(PyObject_Call(cls, arguments.varargs.get(), arguments.varkw.get()));
    call_method(parallels.get(), name_start);
    call_method(parallels.get(), name_join);
    return get_attr(parallels.get(), name_results);
}

}  // namespace

const FunctionSpec pcall_spec{
    "pcall",
    "Pcall.pcall",
    "pcall classmethod\n"
    "\n"
    "Short-cut calling of Pcall: builds the plan from the same arguments, wraps its\n"
    "start() and join() together, blocks, and returns the results of the parallel\n"
    "calls in the order in which they were called.",
    signature({"cls"}, {}, "args", "kwargs"),
    pcall_body,
};

const FunctionSpec pids_spec{
    "pids",
    "Pcall.pids",
    "pids (property)\n"
    "\n"
    "The pids of the child processes, in child order, once all children have\n"
    "started (None for a child not started yet).",
    signature({"self"}),
    pids_body,
};

const FunctionSpec start_spec{
    "start",
    "Pcall.start",
    "start\n"
    "\n"
    "Starts all child worker processes.",
    signature({"self"}),
    start_body,
};

const FunctionSpec join_spec{
    "join",
    "Pcall.join",
    "join\n"
    "\n"
    "Blocks the current process until the timeout is reached or all children have\n"
    "finished their job, then collects and sets the results (the attribute\n"
    "`results`, in child order). An exception raised by a child during execution\n"
    "is raised again here; a child that ended without reporting a result raises\n"
    "ChildProcessError; when the timeout passes, the children are terminated and\n"
    "TimeoutError is raised.",
    signature({"self"}),
    join_body,
};

const FunctionSpec terminate_spec{
    "terminate",
    "Pcall.terminate",
    "terminate\n"
    "\n"
    "Terminates all child processes (SIGTERM).\n"
    "\n"
    "Note: it may take a split second before it takes effect.",
    signature({"self"}),
    terminate_body,
};

const FunctionSpec kill_spec{
    "kill",
    "Pcall.kill",
    "kill\n"
    "\n"
    "Kills all child processes with SIGKILL. A child whose exit status has already\n"
    "been collected is skipped: its pid may belong to another process by now.",
    signature({"self"}),
    kill_body,
};

const FunctionSpec livings_spec{
    "livings",
    "Pcall.livings",
    "property: livings\n"
    "\n"
    "Returns all child processes that are currently alive, in child order.",
    signature({"self"}),
    livings_body,
};

}  // namespace tandrel
