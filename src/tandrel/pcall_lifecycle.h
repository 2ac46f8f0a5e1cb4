// The members of Pcall that run a plan: start, join, the one-shot pcall, and
// the inspection and control of its children.
#pragma once

#include "plan_run.h"
#include "python_objects/function.h"

namespace tandrel {

extern const python_objects::FunctionSpec pcall_spec;
extern const python_objects::FunctionSpec pids_spec;
extern const python_objects::FunctionSpec start_spec;
extern const python_objects::FunctionSpec join_spec;
extern const python_objects::FunctionSpec terminate_spec;
extern const python_objects::FunctionSpec kill_spec;
extern const python_objects::FunctionSpec livings_spec;
extern const python_objects::FunctionSpec as_completed_spec;
extern const python_objects::FunctionSpec repr_spec;
extern const python_objects::FunctionSpec enter_spec;
extern const python_objects::FunctionSpec exit_spec;

void ready_as_completed_type();

// What join and as_completed share.

// A limit in seconds, as `call_timeout` takes it: None or inf for no limit
// (0 returned), else a positive real number; anything else is refused with
// TypeError or ValueError naming the argument `name`.
double limit_in_seconds(PyObject* globals, PyObject* value, const char* name);

// time.time(), through the module global.
python_objects::Ref current_time(PyObject* globals);

enum class Until { done, report };

// How a join or as_completed hands out a child's failure.
enum class Failures {
    raise,   // raised; the plan's deadline raises TimeoutError
    gather,  // returned in the child's slot (return_exceptions)
};

// The `return_exceptions` argument, or the plan's attribute when it is None.
Failures failures_wanted(PyObject* plan, PyObject* return_exceptions);

// Moves the run on until it is done (or, with Until::report, until a report
// waits in `run.undelivered` or an unreported end in `run.ended_unreported`),
// stopping children at their call_timeout. Past the plan's deadline, with a
// child still alive or never started, it logs the children still running and
// stops them all; then it raises TimeoutError, or with Failures::gather
// returns.
void run_until(PyObject* globals, PyObject* plan, PlanRun& run, Until until, Failures failures);

// What child `index` delivered: its result, or its failure raised or returned
// as `failures` says. A child that never reported fails with
// ChildProcessError, or TimeoutError when a time limit stopped it.
python_objects::Ref outcome_of(PyObject* plan, PlanRun& run, size_t index, Failures failures);

// Once every child has ended: stoptime, then the results in child order, or
// the lowest-indexed child's failure.
void finish(PyObject* globals, PyObject* plan, PlanRun& run, Failures failures);

}  // namespace tandrel
