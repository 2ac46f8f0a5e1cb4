// The members of Pcall that run a plan: start, join, the one-shot pcall, and
// the inspection and control of its children.
#pragma once

#include "python_objects/function.h"

namespace tandrel {

extern const python_objects::FunctionSpec pcall_spec;
extern const python_objects::FunctionSpec pids_spec;
extern const python_objects::FunctionSpec start_spec;
extern const python_objects::FunctionSpec join_spec;
extern const python_objects::FunctionSpec terminate_spec;
extern const python_objects::FunctionSpec kill_spec;
extern const python_objects::FunctionSpec livings_spec;

}  // namespace tandrel
