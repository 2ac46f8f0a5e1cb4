#include "pcall_lifecycle.h"

#include "names.h"
#include "plan_run.h"

#include <cstring>
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

}  // namespace

Ref current_time(PyObject* globals) {
    Ref time = lookup_global(globals, global_time);
    return call_method(time.get(), name_time);
}

namespace {

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

// Whether the plan's run has begun: from then on, children not forked yet
// (under a cap) are left alone by terminate and kill.
bool has_started(PyObject* self) {
    Ref holder;
    return plan_run(self, holder).started;
}

bool never_forked(PyObject* child) { return get_attr(child, name_pid).get() == Py_None; }

Ref terminate_body(Function&, Arguments& arguments) {
    const bool started = has_started(arguments[0]);
    for_each_child(arguments[0], [&](PyObject* child) {
        if (started && never_forked(child)) return true;
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
    const bool started = has_started(arguments[0]);
    for_each_child(arguments[0], [&](PyObject* child) {
        if (exit_status_collected(child) || (started && never_forked(child))) return true;
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

// The cap of `start(max_running=...)`; None defers to the attribute
// max_running, which a subclass or the plan itself may set.
size_t running_cap(PyObject* self, PyObject* max_running) {
    Ref value = max_running == Py_None ? get_attr(self, name_max_running) : Ref::borrow(max_running);
    if (value.get() == Py_None) return 0;
    if (!PyLong_Check(value.get()) || PyBool_Check(value.get()))
        raise_format(PyExc_TypeError, "max_running must be None or an int, not %.200s", Py_TYPE(value.get())->tp_name);
    const Py_ssize_t cap = PyLong_AsSsize_t(value.get());
    if (cap == -1 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw PythonError{};
        PyErr_Clear();
        int sign = 0;
        check_status(compat::long_sign(value.get(), &sign));
        if (sign > 0) return 0;  // more than can ever run: no cap
        raise_error(PyExc_ValueError, "max_running must be at least 1");
    }
    if (cap < 1) raise_format(PyExc_ValueError, "max_running must be at least 1, not %zd", cap);
    return static_cast<size_t>(cap);
}

Ref start_body(Function& function, Arguments& arguments) {
    PyObject* self = arguments[0];
    const size_t cap = running_cap(self, arguments[1]);
    Ref holder;
    PlanRun& run = plan_run(self, holder);
    if (run.started) raise_error(PyExc_RuntimeError, "start: the plan was already started");
    set_attr(self, name_starttime, current_time(function.globals).get());
    Ref processes = get_attr(self, name_private_processes);
    Ref workers = check(PySequence_List(processes.get()));
    run.workers.clear();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(workers.get()); ++i)
        run.workers.push_back(Ref::borrow(PyList_GET_ITEM(workers.get(), i)));
    run.children.assign(run.workers.size(), ChildState{});
    run.cap = cap;
    run.forking_over = false;
    run.next_to_fork = 0;
    try {
        fork_children(function.globals, run, true);
    } catch (const PythonError&) {
        if (run.started) stop_and_rethrow(function.globals, self, run);
        throw;
    }
    run.started = true;
    return Ref::borrow(Py_None);
}

// ---- join ---------------------------------------------------------------------

[[noreturn]] void time_out(PyObject* globals, PyObject* self, PlanRun& run) {
    Ref lines = check(PyList_New(0));
    Ref living = get_attr(self, name_livings);
    Ref line_format = get_attr(text_still_running_line, name_format);
    for_each(living.get(), [&](PyObject* child) {
        Ref line = call_with_keywords(line_format.get(), keywords_p, child);
        check_status(PyList_Append(lines.get(), line.get()));
    });

    call_method(self, name_terminate);

    Ref extended_msg = check(PyUnicode_Join(text_newline, lines.get()));
    Ref timeout = get_attr(self, name_timeout);
    Ref report_format = get_attr(text_still_running, name_format);
    Ref report = call_with_keywords(report_format.get(), keywords_timeout_extended_msg, timeout.get(), extended_msg.get());
    Ref logger = lookup_global(globals, global_logger);
    call_method(logger.get(), name_error, report.get());

    stop_children(globals, self, run, true);
    run.outcome = PlanRun::Outcome::timed_out;
    raise_error(PyExc_TimeoutError, "Not all child processes finished running.");
}

}  // namespace

void run_on(PyObject* globals, PyObject* self, PlanRun& run, bool until_arrival) {
    auto stop_here = [&] {
        return run.done() || (until_arrival && (!run.arrivals.empty() || !run.silent.empty()));
    };
    while (!stop_here()) {
        double wait = 0.25;
        Ref timeout = get_attr(self, name_timeout);
        if (is_true(timeout.get())) {
            Ref now = current_time(globals);
            Ref deadline = check(PyNumber_Add(timeout.get(), get_attr(self, name_starttime).get()));
            if (check_status(PyObject_RichCompareBool(now.get(), deadline.get(), Py_GT)) > 0) {
                // One last look: children that all ended have their results.
                pump(globals, self, run, 0, Signals::raise);
                if (stop_here()) return;
                time_out(globals, self, run);
            }
            Ref left = check(PyNumber_Subtract(deadline.get(), now.get()));
            const double seconds = PyFloat_AsDouble(left.get());
            if (seconds == -1.0 && PyErr_Occurred()) throw PythonError{};
            if (seconds < wait) wait = seconds;
        }
        pump(globals, self, run, wait, Signals::raise);
    }
}

namespace {

// `raise failure`, as the statement does it for an instance or a class. A
// stored failure raised again starts a fresh traceback.
[[noreturn]] void raise_child_failure(PyObject* failure) {
    if (PyExceptionInstance_Check(failure)) {
        PyException_SetTraceback(failure, Py_None);
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(failure)), failure);
    } else if (PyExceptionClass_Check(failure)) {
        Ref instance = call(failure);
        PyErr_SetObject(failure, instance.get());
    } else {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    }
    throw PythonError{};
}

}  // namespace

void raise_unreported(PyObject* child, Py_ssize_t index) {
    Ref pid = get_attr(child, name_pid);
    if (pid.get() == Py_None) raise_format(PyExc_ChildProcessError, "Child process-%zd was never started.", index);
    Ref exitcode = get_attr(child, name_exitcode);
    raise_format(PyExc_ChildProcessError,
                 "Child process-%zd (pid %S) ended with exit code %S before reporting a result.", index, pid.get(),
                 exitcode.get());
}

Ref result_of(PlanRun& run, PyObject* child, Py_ssize_t index) {
    Ref key = check(PyLong_FromSsize_t(index));
    Ref message = dict_get(run.messages.get(), key.get());
    if (!message) raise_unreported(child, index);
    Ref fast = check(PySequence_Fast(message.get(), "a result message must be a sequence"));
    if (PySequence_Fast_GET_SIZE(fast.get()) != 3)
        raise_format(PyExc_ValueError, "a result message has %zd items, not 3", PySequence_Fast_GET_SIZE(fast.get()));
    // Both held: the flag's __bool__ may empty a list message.
    Ref result = Ref::borrow(PySequence_Fast_GET_ITEM(fast.get(), 2));
    Ref success = Ref::borrow(PySequence_Fast_GET_ITEM(fast.get(), 1));
    if (!is_true(success.get())) raise_child_failure(result.get());
    return result;
}

void finish(PyObject* globals, PyObject* self, PlanRun& run, PyObject* children) {
    set_attr(self, name_stoptime, current_time(globals).get());
    Ref results = check(PyList_New(0));
    Py_ssize_t index = 0;
    for_each(children, [&](PyObject* child) {
        try {
            check_status(PyList_Append(results.get(), result_of(run, child, index).get()));
        } catch (const PythonError&) {
            run.outcome = PlanRun::Outcome::failed;
            run.failed_child = static_cast<size_t>(index);
            throw;
        }
        ++index;
    });
    set_attr(self, name_results, check(PyList_AsTuple(results.get())).get());
    run.outcome = PlanRun::Outcome::finished;
}

namespace {

Ref join_body(Function& function, Arguments& arguments) {
    PyObject* self = arguments[0];
    Ref holder;
    PlanRun& run = plan_run(self, holder);
    BusyRun busy(run, "join");
    if (!run.started) {
        // Nothing to wait for; the standard Process refuses to join a child
        // that was never started.
        set_attr(self, name_stoptime, current_time(function.globals).get());
        Ref processes = get_attr(self, name_private_processes);
        for_each(processes.get(), [&](PyObject* child) { call_method(child, name_join); });
        finish(function.globals, self, run, processes.get());
        return Ref::borrow(Py_None);
    }
    try {
        run_on(function.globals, self, run, false);
    } catch (const PythonError&) {
        if (run.alive > 0) stop_and_rethrow(function.globals, self, run);
        // None alive, but children held back by the cap must not start later.
        run.forking_over = true;
        if (run.outcome == PlanRun::Outcome::open) run.outcome = PlanRun::Outcome::stopped;
        throw;
    }
    run.arrivals.clear();
    run.silent.clear();
    Ref workers = check(PyList_New(0));
    for (const Ref& worker : run.workers) check_status(PyList_Append(workers.get(), worker.get()));
    finish(function.globals, self, run, workers.get());
    return Ref::borrow(Py_None);
}

// ---- repr -----------------------------------------------------------------------

// Seconds between two time.time() values, or -1 when they are not numbers.
double seconds_between(PyObject* earlier, PyObject* later) {
    const double a = PyFloat_AsDouble(earlier), b = PyFloat_AsDouble(later);
    if (PyErr_Occurred()) {
        PyErr_Clear();
        return -1;
    }
    return b - a;
}

Ref seconds_text(double seconds) {
    Ref number = check(PyFloat_FromDouble(seconds));
    Ref format = check(PyUnicode_FromString("{:.1f}"));
    return call_method(format.get(), name_format, number.get());
}

Py_ssize_t length_of(PyObject* sized) {
    const Py_ssize_t length = PyObject_Size(sized);
    if (length < 0) throw PythonError{};
    return length;
}

// <Pcall 8 children, 3 running, started 1.2 s ago>, and the other states.
Ref repr_body(Function& function, Arguments& arguments) {
    using Outcome = PlanRun::Outcome;
    PyObject* self = arguments[0];
    Ref processes = get_attr(self, name_private_processes);
    const Py_ssize_t count = length_of(processes.get());
    Ref holder;
    PlanRun& run = plan_run(self, holder);
    Ref state;
    if (!run.started) {
        state = check(PyUnicode_FromString("not started"));
    } else if (run.outcome == Outcome::finished) {
        Ref stoptime = get_attr(self, name_stoptime);
        state = check(PyUnicode_FromFormat(
            "finished in %U s", seconds_text(seconds_between(get_attr(self, name_starttime).get(), stoptime.get())).get()));
    } else if (run.outcome == Outcome::failed) {
        state = check(PyUnicode_FromFormat("failed (child %zd)", static_cast<Py_ssize_t>(run.failed_child)));
    } else if (run.outcome == Outcome::timed_out) {
        state = check(PyUnicode_FromFormat("timed out after %S s", get_attr(self, name_timeout).get()));
    } else if (run.outcome == Outcome::stopped) {
        state = check(PyUnicode_FromString("stopped"));
    } else {
        const Py_ssize_t running = length_of(get_attr(self, name_livings).get());
        const double elapsed = seconds_between(get_attr(self, name_starttime).get(), current_time(function.globals).get());
        state = check(PyUnicode_FromFormat("%zd running, started %U s ago", running, seconds_text(elapsed).get()));
    }
    // Read last: code run above may rename the class and free the old name.
    const char* name = Py_TYPE(self)->tp_name;
    if (const char* dot = std::strrchr(name, '.')) name = dot + 1;
    return check(PyUnicode_FromFormat("<%s %zd %s, %U>", name, count, count == 1 ? "child" : "children", state.get()));
}

// ---- pcall ----------------------------------------------------------------------

Ref pcall_body(Function& function, Arguments& arguments) {
    PyObject* cls = arguments[0];
    Ref parallels = check(PyObject_Call(cls, arguments.varargs.get(), arguments.varkw.get()));
    try {
        call_method(parallels.get(), name_start);
        call_method(parallels.get(), name_join);
    } catch (const PythonError&) {
        // Whatever went wrong, no child of this plan outlives the call.
        Ref error = Ref::steal(compat::fetch_raised_exception());
        try {
            Ref holder;
            PlanRun& run = plan_run(parallels.get(), holder);
            if (run.alive > 0) stop_children(function.globals, parallels.get(), run, false);
        } catch (const PythonError&) {
            PyErr_Clear();
        }
        compat::restore_raised_exception(error.release());
        throw;
    }
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
    "Starts all child worker processes, in child order.\n"
    "\n"
    ":param max_running: an int K >= 1 starts children 0 to K-1 only, and join\n"
    "    or as_completed start the next child each time one ends, so that at most\n"
    "    K are alive at once. None (the default) takes the attribute max_running\n"
    "    of the plan, None on Pcall itself: every child is started now.\n"
    "\n"
    "A plan starts once: a second start raises RuntimeError and changes nothing.\n"
    "When forking fails part-way, the children already started are stopped and\n"
    "reaped before the error is raised.",
    signature({"self"}, {"max_running"}),
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
    "ChildProcessError, and a result that cannot be rebuilt here a RuntimeError\n"
    "naming its child.\n"
    "\n"
    "It wakes when a result arrives or a child ends. When the timeout passes with\n"
    "a child still alive, the children are terminated, given `grace_period`\n"
    "seconds, killed if need be and reaped, and TimeoutError is raised; any other\n"
    "exception that leaves join (KeyboardInterrupt included) stops them the same\n"
    "way first. A later join returns at once with what was delivered. One join\n"
    "(or as_completed) at a time: another raises RuntimeError.",
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

const FunctionSpec repr_spec{
    "__repr__",
    "Pcall.__repr__",
    "repr\n"
    "\n"
    "The class, the number of children and the state of the plan: not started;\n"
    "k running; finished; failed; timed out; stopped.",
    signature({"self"}),
    repr_body,
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
