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

void ready_as_completed_type();

// What join and as_completed share.

// time.time(), through the module global.
python_objects::Ref current_time(PyObject* globals);

enum class Until { done, report };

// Moves the run on until it is done (or, with Until::report, until a report
// waits in `run.undelivered` or an unreported end in `run.ended_unreported`).
// Past the plan's deadline, with a child still alive or never started, it
// logs the children still running, stops them all and raises TimeoutError.
void run_until(PyObject* globals, PyObject* plan, PlanRun& run, Until until);

// The result of child `index`; raises its failure, or ChildProcessError when
// it never reported.
python_objects::Ref result_of(PlanRun& run, size_t index);
[[noreturn]] void raise_unreported(PlanRun& run, size_t index);

// Once every child has ended: stoptime, then the results in child order, or
// the lowest-indexed child's failure.
void finish(PyObject* globals, PyObject* plan, PlanRun& run);

}  // namespace tandrel
