#include "pcall_lifecycle.h"

#include "channel.h"
#include "child_failures.h"
#include "names.h"
#include "plan_run.h"
#include "process_group.h"

#include <cmath>
#include <csignal>
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

double limit_in_seconds(PyObject* globals, PyObject* value, const char* name) {
    if (value == Py_None) return 0;
    bool real = PyFloat_Check(value) || (PyLong_Check(value) && !PyBool_Check(value));
    if (!real && !PyBool_Check(value) && !PyUnicode_Check(value)) {
        Ref numbers = import_module(globals, "numbers");
        Ref real_type = get_attr(numbers.get(), name_real);
        real = check_status(PyObject_IsInstance(value, real_type.get())) > 0;
    }
    if (!real)
        raise_format(PyExc_TypeError, "%s must be None or a positive number of seconds, not %.200s", name,
                     Py_TYPE(value)->tp_name);
    const double seconds = PyFloat_AsDouble(value);
    if (seconds == -1.0 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw PythonError{};
        PyErr_Clear();
        raise_format(PyExc_ValueError, "%s is too large to count in seconds; None means no limit", name);
    }
    if (!(seconds > 0)) raise_format(PyExc_ValueError, "%s must be a positive number of seconds, not %R", name, value);
    return std::isinf(seconds) ? 0 : seconds;
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

// With process groups, the groups of the children still running are
// signalled; true when that is how the plan's children are signalled.
bool signal_groups(PyObject* self, int signal) {
    Ref holder;
    PlanRun& run = plan_run(self, holder);
    if (!run.started || !run.process_group) return false;
    using Phase = ChildState::Phase;
    for (const ChildState& child : run.children) {
        if (child.known && (child.phase == Phase::running || child.phase == Phase::closing))
            signal_group(child.pid, signal);
    }
    return true;
}

Ref terminate_body(Function&, Arguments& arguments) {
    if (signal_groups(arguments[0], SIGTERM)) return Ref::borrow(Py_None);
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
    if (signal_groups(arguments[0], SIGKILL)) return Ref::borrow(Py_None);
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
        if (_PyLong_Sign(value.get()) > 0) return 0;  // more than can ever run: no cap
        raise_error(PyExc_ValueError, "max_running must be at least 1");
    }
    if (cap < 1) raise_format(PyExc_ValueError, "max_running must be at least 1, not %zd", cap);
    return static_cast<size_t>(cap);
}

// The seconds of `start(call_timeout=...)`, or of the attribute call_timeout
// when None; 0 for no limit. `given` is set to the value as given.
double call_limit(PyObject* globals, PyObject* self, PyObject* call_timeout, Ref& given) {
    given = call_timeout == Py_None ? get_attr(self, name_call_timeout) : Ref::borrow(call_timeout);
    return limit_in_seconds(globals, given.get(), "call_timeout");
}

Ref start_body(Function& function, Arguments& arguments) {
    PyObject* self = arguments[0];
    const size_t cap = running_cap(self, arguments[1]);
    Ref call_timeout_given;
    const double call_timeout = call_limit(function.globals, self, arguments[2], call_timeout_given);
    const bool process_group = is_true(get_attr(self, name_process_group).get());
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
    run.call_timeout = call_timeout;
    run.call_timeout_given = std::move(call_timeout_given);
    run.process_group = process_group;
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

// Past the deadline with a child still alive: the report, then every child
// stopped and reaped; those still running are marked as stopped by the
// plan's time limit.
void stop_at_deadline(PyObject* globals, PyObject* self, PlanRun& run) {
    Ref lines = check(PyList_New(0));
    Ref living = get_attr(self, name_livings);
    Ref line_format = get_attr(text_still_running_line, name_format);
    for_each(living.get(), [&](PyObject* child) {
        Ref line = call_with_keywords(line_format.get(), keywords_p, child);
        check_status(PyList_Append(lines.get(), line.get()));
    });

    call_method(self, name_terminate);
    for (ChildState& child : run.children) {
        using Phase = ChildState::Phase;
        if ((child.phase == Phase::running || child.phase == Phase::closing) &&
            child.stopped_by == ChildState::StoppedBy::nothing)
            child.stopped_by = ChildState::StoppedBy::plan_timeout;
    }

    Ref extended_msg = check(PyUnicode_Join(text_newline, lines.get()));
    Ref timeout = get_attr(self, name_timeout);
    Ref report_format = get_attr(text_still_running, name_format);
    Ref report = call_with_keywords(report_format.get(), keywords_timeout_extended_msg, timeout.get(), extended_msg.get());
    Ref logger = lookup_global(globals, global_logger);
    call_method(logger.get(), name_error, report.get());

    stop_children(globals, self, run, true);
    run.outcome = PlanRun::Outcome::timed_out;
}

}  // namespace

Failures failures_wanted(PyObject* plan, PyObject* return_exceptions) {
    Ref wanted = return_exceptions == Py_None ? get_attr(plan, name_return_exceptions) : Ref::borrow(return_exceptions);
    return is_true(wanted.get()) ? Failures::gather : Failures::raise;
}

void run_on(PyObject* globals, PyObject* self, PlanRun& run, bool until_arrival, Failures failures) {
    auto stop_here = [&] {
        return run.done() || (until_arrival && (!run.arrivals.empty() || !run.silent.empty()));
    };
    while (!stop_here()) {
        double wait = std::min(0.25, enforce_call_limits(self, run));
        Ref timeout = get_attr(self, name_timeout);
        if (is_true(timeout.get())) {
            Ref now = current_time(globals);
            Ref deadline = check(PyNumber_Add(timeout.get(), get_attr(self, name_starttime).get()));
            if (check_status(PyObject_RichCompareBool(now.get(), deadline.get(), Py_GT)) > 0) {
                // One last look: children that all ended have their results.
                pump(globals, self, run, 0, Signals::raise);
                if (stop_here()) return;
                stop_at_deadline(globals, self, run);
                if (failures == Failures::gather) return;
                raise_error(PyExc_TimeoutError, "Not all child processes finished running.");
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

Ref unreported_failure(PyObject* plan, PlanRun& run, PyObject* child, size_t index, Failures failures) {
    const auto number = static_cast<Py_ssize_t>(index);
    Ref pid = get_attr(child, name_pid);
    if (pid.get() == Py_None) return never_started_error(number);
    Ref exitcode = get_attr(child, name_exitcode);
    const ChildIdentity identity{number, pid.get(), exitcode.get()};
    using StoppedBy = ChildState::StoppedBy;
    const StoppedBy stopped_by = index < run.children.size() ? run.children[index].stopped_by : StoppedBy::nothing;
    if (stopped_by == StoppedBy::call_timeout) return call_timeout_error(identity, run.call_timeout_given.get());
    // Raised, it stays the ChildProcessError that a join after the
    // plan's TimeoutError has always given.
    if (stopped_by == StoppedBy::plan_timeout && failures == Failures::gather)
        return plan_timeout_error(identity, get_attr(plan, name_timeout).get());
    return unreported_error(identity);
}

Ref outcome_of(PyObject* plan, PlanRun& run, PyObject* child, size_t index, Failures failures) {
    Ref key = check(PyLong_FromSize_t(index));
    Ref message = dict_get(run.messages.get(), key.get());
    if (!message) {
        Ref failure = unreported_failure(plan, run, child, index, failures);
        if (failures == Failures::gather) return failure;
        raise_child_failure(failure.get());
    }
    Ref fast = check(PySequence_Fast(message.get(), "a result message must be a sequence"));
    if (PySequence_Fast_GET_SIZE(fast.get()) != 3)
        raise_format(PyExc_ValueError, "a result message has %zd items, not 3", PySequence_Fast_GET_SIZE(fast.get()));
    // Both held: the flag's __bool__ may empty a list message.
    Ref result = Ref::borrow(PySequence_Fast_GET_ITEM(fast.get(), 2));
    Ref success = Ref::borrow(PySequence_Fast_GET_ITEM(fast.get(), 1));
    if (is_true(success.get())) return result;
    if (failures == Failures::raise) raise_child_failure(result.get());
    if (PyExceptionClass_Check(result.get())) return call(result.get());  // what `raise` would make of it
    return result;
}

void finish(PyObject* globals, PyObject* self, PlanRun& run, PyObject* children, Failures failures) {
    set_attr(self, name_stoptime, current_time(globals).get());
    Ref results = check(PyList_New(0));
    size_t index = 0;
    for_each(children, [&](PyObject* child) {
        try {
            check_status(PyList_Append(results.get(), outcome_of(self, run, child, index, failures).get()));
        } catch (const PythonError&) {
            run.outcome = PlanRun::Outcome::failed;
            run.failed_child = static_cast<size_t>(index);
            throw;
        }
        ++index;
    });
    set_attr(self, name_results, check(PyList_AsTuple(results.get())).get());
    // Gathered past the deadline, the plan still timed out.
    if (run.outcome != PlanRun::Outcome::timed_out) run.outcome = PlanRun::Outcome::finished;
}

namespace {

Ref join_body(Function& function, Arguments& arguments) {
    PyObject* self = arguments[0];
    Ref holder;
    PlanRun& run = plan_run(self, holder);
    const Failures failures = failures_wanted(self, arguments[1]);
    BusyRun busy(run, "join");
    if (!run.started) {
        // Nothing to wait for; the standard Process refuses to join a child
        // that was never started.
        set_attr(self, name_stoptime, current_time(function.globals).get());
        Ref processes = get_attr(self, name_private_processes);
        for_each(processes.get(), [&](PyObject* child) { call_method(child, name_join); });
        finish(function.globals, self, run, processes.get(), failures);
        return Ref::borrow(Py_None);
    }
    try {
        run_on(function.globals, self, run, false, failures);
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
    finish(function.globals, self, run, workers.get(), failures);
    return Ref::borrow(Py_None);
}

// ---- with -------------------------------------------------------------------------

Ref enter_body(Function&, Arguments& arguments) { return Ref::borrow(arguments[0]); }

// Leaving with an exception stops and reaps every child; leaving normally
// joins a plan that was started and not joined. Either way a started plan
// then closes its channel. A plan never started is left as it is.
Ref exit_body(Function& function, Arguments& arguments) {
    PyObject* self = arguments[0];
    Ref holder;
    PlanRun& run = plan_run(self, holder);
    if (!run.started) return Ref::borrow(Py_None);
    Ref sender = get_attr(self, name_private_queue);
    if (arguments[1] != Py_None) {
        if (run.alive > 0) stop_children(function.globals, self, run, false);
        run.forking_over = true;
        if (run.outcome == PlanRun::Outcome::open) run.outcome = PlanRun::Outcome::stopped;
    } else if (run.outcome == PlanRun::Outcome::open) {
        try {
            call_method(self, name_join);
        } catch (const PythonError&) {
            if (run.alive == 0) close_channel(sender.get(), run.receiver);
            throw;
        }
    }
    if (run.alive == 0) close_channel(sender.get(), run.receiver);
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
    ":param call_timeout: the seconds each child may run, counted from its own\n"
    "    fork. A child still running then is stopped (terminated, given\n"
    "    grace_period seconds, killed, reaped) and fails with TimeoutError. None\n"
    "    (the default) takes the attribute call_timeout of the plan, None on\n"
    "    Pcall itself: no limit but the plan's timeout.\n"
    "\n"
    "A plan starts once: a second start raises RuntimeError and changes nothing.\n"
    "When forking fails part-way, the children already started are stopped and\n"
    "reaped before the error is raised.",
    signature({"self"}, {"max_running", "call_timeout"}),
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
    "(or as_completed) at a time: another raises RuntimeError.\n"
    "\n"
    ":param return_exceptions: when true, no failure is raised: each child's slot\n"
    "    of `results` holds its result or its exception (a child that never\n"
    "    reported: ChildProcessError; stopped at a time limit: TimeoutError; never\n"
    "    started: ChildProcessError), and the plan's deadline stops the children\n"
    "    still running and still sets `results`. After a TimeoutError, this is how\n"
    "    the results delivered before it are read. None (the default) takes the\n"
    "    attribute return_exceptions of the plan, False on Pcall itself.",
    signature({"self"}, {"return_exceptions"}),
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

const FunctionSpec enter_spec{
    "__enter__",
    "Pcall.__enter__",
    "with\n"
    "\n"
    "`with Pcall(...) as plan:` gives the plan.",
    signature({"self"}),
    enter_body,
};

const FunctionSpec exit_spec{
    "__exit__",
    "Pcall.__exit__",
    "end of with\n"
    "\n"
    "Leaving with an exception stops and reaps every child before the exception\n"
    "goes on; leaving normally joins a plan that was started and not joined (its\n"
    "limits apply). A started plan then closes its result channel, so that no\n"
    "child and no descriptor of it remains; a plan never started is left alone.",
    signature({"self", "exc_type", "exc_value", "traceback"}),
    exit_body,
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
