#include "pcall_lifecycle.h"

#include "channel.h"
#include "child_failures.h"
#include "names.h"
#include "plan_run.h"
#include "process_group.h"

#include <chrono>
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

// The pid the plan saw forked, or the worker's own before the run.
Ref pids_body(Function&, Arguments& arguments) {
    Ref holder;
    PlanRun& run = plan_run(arguments[0], holder);
    Ref pids = check(PyList_New(0));
    size_t index = 0;
    for_each_child(arguments[0], [&](PyObject* child) {
        const bool forked = index < run.children.size() && run.children[index].phase != Child::Phase::unforked;
        Ref pid = forked ? check(PyLong_FromLong(run.children[index].pid)) : get_attr(child, name_pid);
        check_status(PyList_Append(pids.get(), pid.get()));
        ++index;
        return true;
    });
    return check(PyList_AsTuple(pids.get()));
}

// The workers of the children the plan has not seen end (none before start).
Ref livings_body(Function&, Arguments& arguments) {
    Ref holder;
    PlanRun& run = plan_run(arguments[0], holder);
    look_at_children(run);
    Ref alive = check(PyList_New(0));
    for (size_t i = 0; i < run.children.size(); ++i) {
        if (run.children[i].alive()) check_status(PyList_Append(alive.get(), run.workers[i].get()));
    }
    return check(PyList_AsTuple(alive.get()));
}

// Before start, and for children the plan has seen end (their pid may be
// another process's by now) or never forked, there is nothing to signal.
template <class Signal>
void signal_children(PyObject* self, Signal&& signal) {
    Ref holder;
    PlanRun& run = plan_run(self, holder);
    look_at_children(run);
    for (size_t i = 0; i < run.children.size(); ++i) {
        if (!run.children[i].may_signal()) continue;
        Ref worker = run.workers[i];
        signal(worker.get(), run.children[i]);
    }
}

// A plan whose children lead process groups signals the groups.
bool signals_groups(PyObject* self) {
    Ref holder;
    return plan_run(self, holder).process_group;
}

Ref terminate_body(Function&, Arguments& arguments) {
    const bool groups = signals_groups(arguments[0]);
    signal_children(arguments[0], [&](PyObject* worker, Child& child) {
        if (groups) signal_group(child.pid, SIGTERM);
        else call_method(worker, name_terminate);
        child.stopped = Child::Stopped::terminated;
    });
    return Ref::borrow(Py_None);
}

Ref kill_body(Function& function, Arguments& arguments) {
    const bool groups = signals_groups(arguments[0]);
    signal_children(arguments[0], [&](PyObject*, Child& child) {
        if (groups) {
            signal_group(child.pid, SIGKILL);
            child.stopped = Child::Stopped::killed;
            return;
        }
        Ref os = lookup_global(function.globals, global_os);
        Ref kill = get_attr(os.get(), name_kill);
        Ref pid = check(PyLong_FromLong(child.pid));
        Ref signal = lookup_global(function.globals, global_signal);
        Ref sigkill = get_attr(signal.get(), name_sigkill);
        call(kill.get(), pid.get(), sigkill.get());
        child.stopped = Child::Stopped::killed;
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

// A number of seconds from the plan, or `fallback` when it is not one.
double seconds_or(PyObject* value, double fallback) {
    const double seconds = PyFloat_AsDouble(value);
    if (seconds == -1.0 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw PythonError{};
        PyErr_Clear();
        return fallback;
    }
    return seconds;
}

// What the stops that cannot run Python code (a dropped plan, the exit
// handler) need to know of the plan, read while they still can.
void note_limits(PyObject* self, PlanRun& run) {
    const double grace = seconds_or(get_attr(self, name_grace_period).get(), 1.0);
    run.grace_period = grace > 0 ? grace : 0;
    Ref timeout = get_attr(self, name_timeout);
    const double limit = is_true(timeout.get()) ? seconds_or(timeout.get(), 0) : 0;
    if (limit > 0 && limit < 1e9)
        run.exit_deadline = std::chrono::steady_clock::now() +
                            std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                std::chrono::duration<double>(limit));
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
    if (run.started()) raise_error(PyExc_RuntimeError, "start: the plan was already started");
    reap_orphans(false);
    set_attr(self, name_starttime, current_time(function.globals).get());
    note_limits(self, run);
    Ref processes = get_attr(self, name_private_processes);
    Ref workers = check(PySequence_List(processes.get()));
    run.workers.clear();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(workers.get()); ++i)
        run.workers.push_back(Ref::borrow(PyList_GET_ITEM(workers.get(), i)));
    run.children.assign(run.workers.size(), Child{});
    run.call_timeout = call_timeout;
    run.call_timeout_given = std::move(call_timeout_given);
    run.process_group = process_group;
    run.begin(cap);
    try {
        fork_children(function.globals, run, true);
    } catch (const PythonError&) {
        if (run.alive() > 0) stop_and_rethrow(function.globals, self, run);
        throw;
    }
    return Ref::borrow(Py_None);
}

// ---- join ---------------------------------------------------------------------

// Past the deadline: the report, then every child stopped and reaped; those
// still running are marked as stopped by the plan's time limit.
void stop_at_deadline(PyObject* globals, PyObject* self, PlanRun& run) {
    Ref lines = check(PyList_New(0));
    Ref living = get_attr(self, name_livings);
    Ref line_format = get_attr(text_still_running_line, name_format);
    for_each(living.get(), [&](PyObject* child) {
        Ref line = call_with_keywords(line_format.get(), keywords_p, child);
        check_status(PyList_Append(lines.get(), line.get()));
    });

    call_method(self, name_terminate);
    for (Child& child : run.children) {
        if (child.alive() && child.stopped_at == Child::Limit::none) child.stopped_at = Child::Limit::plan_timeout;
    }

    Ref extended_msg = check(PyUnicode_Join(text_newline, lines.get()));
    Ref timeout = get_attr(self, name_timeout);
    Ref report_format = get_attr(text_still_running, name_format);
    Ref report = call_with_keywords(report_format.get(), keywords_timeout_extended_msg, timeout.get(), extended_msg.get());
    Ref logger = lookup_global(globals, global_logger);
    call_method(logger.get(), name_error, report.get());

    stop_children(globals, self, run, true);
    run.end(PlanRun::Outcome::timed_out);
}

}  // namespace

Failures failures_wanted(PyObject* plan, PyObject* return_exceptions) {
    Ref wanted = return_exceptions == Py_None ? get_attr(plan, name_return_exceptions) : Ref::borrow(return_exceptions);
    return is_true(wanted.get()) ? Failures::gather : Failures::raise;
}

void run_until(PyObject* globals, PyObject* self, PlanRun& run, Until until, Failures failures) {
    auto stop_here = [&] {
        return run.done() ||
               (until == Until::report && (!run.undelivered.empty() || !run.ended_unreported.empty()));
    };
    while (!stop_here()) {
        double wait = std::min(0.25, enforce_call_limits(run));
        Ref deadline;
        Ref timeout = get_attr(self, name_timeout);
        if (is_true(timeout.get())) {
            Ref now = current_time(globals);
            deadline = check(PyNumber_Add(timeout.get(), get_attr(self, name_starttime).get()));
            if (check_status(PyObject_RichCompareBool(now.get(), deadline.get(), Py_GT)) > 0) {
                // One last look: children that all ended have their results;
                // those never forked by now never will be.
                step(globals, run, 0, Python::allowed, deadline.get());
                if (stop_here() && run.next_to_fork == run.children.size()) return;
                stop_at_deadline(globals, self, run);
                if (failures == Failures::gather) return;
                raise_error(PyExc_TimeoutError, "Not all child processes finished running.");
            }
            Ref left = check(PyNumber_Subtract(deadline.get(), now.get()));
            const double seconds = PyFloat_AsDouble(left.get());
            if (seconds == -1.0 && PyErr_Occurred()) throw PythonError{};
            if (seconds < wait) wait = seconds;
        }
        step(globals, run, wait, Python::allowed, deadline.get());
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

namespace {

// The failure of a child that never reported. Raised, a child stopped at the
// plan's deadline stays the ChildProcessError that a join after the plan's
// TimeoutError has always given.
Ref unreported_failure(PyObject* plan, PlanRun& run, size_t index, Failures failures) {
    const Child& child = run.children[index];
    const auto number = static_cast<Py_ssize_t>(index);
    if (child.phase == Child::Phase::unforked) return never_started_error(number);
    Ref pid = check(PyLong_FromLong(child.pid));
    Ref exitcode = child.exit_code ? check(PyLong_FromLong(*child.exit_code)) : Ref::borrow(Py_None);
    const ChildIdentity identity{number, pid.get(), exitcode.get()};
    if (child.stopped_at == Child::Limit::call_timeout)
        return call_timeout_error(identity, run.call_timeout_given.get());
    if (child.stopped_at == Child::Limit::plan_timeout && failures == Failures::gather)
        return plan_timeout_error(identity, get_attr(plan, name_timeout).get());
    return unreported_error(identity);
}

}  // namespace

Ref outcome_of(PyObject* plan, PlanRun& run, size_t index, Failures failures) {
    Ref key = check(PyLong_FromSize_t(index));
    Ref message = dict_get(run.reports.get(), key.get());
    if (!message) {
        Ref failure = unreported_failure(plan, run, index, failures);
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

void finish(PyObject* globals, PyObject* self, PlanRun& run, Failures failures) {
    set_attr(self, name_stoptime, current_time(globals).get());
    Ref results = check(PyList_New(0));
    for (size_t index = 0; index < run.children.size(); ++index) {
        try {
            check_status(PyList_Append(results.get(), outcome_of(self, run, index, failures).get()));
        } catch (const PythonError&) {
            run.end(PlanRun::Outcome::failed, index);
            throw;
        }
    }
    set_attr(self, name_results, check(PyList_AsTuple(results.get())).get());
    // Gathered past the deadline, the plan still timed out.
    if (run.outcome() != PlanRun::Outcome::timed_out) run.end(PlanRun::Outcome::finished);
}

namespace {

Ref join_body(Function& function, Arguments& arguments) {
    PyObject* self = arguments[0];
    Ref holder;
    PlanRun& run = plan_run(self, holder);
    const Failures failures = failures_wanted(self, arguments[1]);
    RunClaim claim(run, "join");
    if (!run.started()) raise_error(PyExc_RuntimeError, "join: the plan was not started");
    try {
        run_until(function.globals, self, run, Until::done, failures);
    } catch (const PythonError&) {
        if (run.alive() > 0) stop_and_rethrow(function.globals, self, run);
        // None alive, but children held back by the cap must not start later.
        if (run.outcome() == PlanRun::Outcome::none) run.end(PlanRun::Outcome::stopped);
        throw;
    }
    run.undelivered.clear();
    run.ended_unreported.clear();
    finish(function.globals, self, run, failures);
    return Ref::borrow(Py_None);
}

// ---- with -------------------------------------------------------------------------

Ref enter_body(Function&, Arguments& arguments) { return Ref::borrow(arguments[0]); }

// Leaving with an exception stops and reaps every child; leaving normally
// joins a plan that was started and not joined. Either way a started plan
// whose children have all been reaped then closes its channel. A plan never
// started is left as it is.
Ref exit_body(Function& function, Arguments& arguments) {
    PyObject* self = arguments[0];
    Ref holder;
    PlanRun& run = plan_run(self, holder);
    if (!run.started()) return Ref::borrow(Py_None);
    Ref sender = get_attr(self, name_private_queue);
    try {
        if (arguments[1] != Py_None) {
            if (run.alive() > 0) stop_children(function.globals, self, run, false);
            if (run.outcome() == PlanRun::Outcome::none) run.end(PlanRun::Outcome::stopped);
        } else if (run.stage() != PlanRun::Stage::ended) {
            call_method(self, name_join);
        }
    } catch (const PythonError&) {
        clean_up_and_reraise([&] {
            if (run.alive() == 0) close_channel(sender.get(), run.receiver);
        });
    }
    if (run.alive() == 0) close_channel(sender.get(), run.receiver);
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

// <Pcall 8 children, 3 running, started 1.2 s ago>, and the other states.
Ref repr_body(Function& function, Arguments& arguments) {
    using Outcome = PlanRun::Outcome;
    PyObject* self = arguments[0];
    Ref processes = get_attr(self, name_private_processes);
    const Py_ssize_t count = length_of(processes.get());
    Ref holder;
    PlanRun& run = plan_run(self, holder);
    Ref state;
    if (!run.started()) {
        state = check(PyUnicode_FromString("not started"));
    } else if (run.outcome() == Outcome::finished) {
        Ref stoptime = get_attr(self, name_stoptime);
        state = check(PyUnicode_FromFormat(
            "finished in %U s", seconds_text(seconds_between(get_attr(self, name_starttime).get(), stoptime.get())).get()));
    } else if (run.outcome() == Outcome::failed) {
        state = check(PyUnicode_FromFormat("failed (child %zd)", static_cast<Py_ssize_t>(run.failed_child)));
    } else if (run.outcome() == Outcome::timed_out) {
        state = check(PyUnicode_FromFormat("timed out after %S s", get_attr(self, name_timeout).get()));
    } else if (run.outcome() == Outcome::stopped) {
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
        clean_up_and_reraise([&] {
            Ref holder;
            PlanRun* run = nullptr;
            try {
                run = &plan_run(parallels.get(), holder);
            } catch (const PythonError&) {
                if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
                PyErr_Clear();  // a subclass that made its own run: nothing of ours to stop
            }
            if (run != nullptr && run->alive() > 0) stop_children(function.globals, parallels.get(), *run, false);
        });
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
