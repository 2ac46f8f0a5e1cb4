// Pcall.map and Pcall.imap: many small calls, one forked child per
// contiguous share of the items rather than one per call.
#pragma once

#include "python_objects/function.h"

namespace tandrel {

extern const python_objects::FunctionSpec map_spec;
extern const python_objects::FunctionSpec imap_spec;

// The keyword-only defaults map and imap share (a dict each).
python_objects::Ref map_kwdefaults();

void ready_map_types();

}  // namespace tandrel
