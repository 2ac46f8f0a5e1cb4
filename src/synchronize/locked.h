// The lock wrappers: `locked` (creates a missing lock) and `Lockable.locked`
// (expects it), one family that differs only in that step.
#pragma once

#include "python_objects/function.h"

namespace synchronize {

// The module-level decorator `locked`.
extern const python_objects::FunctionSpec locked_spec;
// The body of `Lockable.locked`, a staticmethod of Lockable.
extern const python_objects::FunctionSpec lockable_locked_spec;

// Sets up the cache of locks' methods, once per process: on versions whose
// dict watchers miss some changes it stays off.
void prepare_lock_method_cache();

}  // namespace synchronize
