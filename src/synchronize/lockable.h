#pragma once

#include "python_objects/ref.h"

namespace synchronize {

// Creates the class Lockable in the module namespace `globals`; its decorator
// `locked` holds the module state `state` (a capsule).
python_objects::Ref make_lockable_class(PyObject* globals, PyObject* state);

}  // namespace synchronize
