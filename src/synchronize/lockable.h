#pragma once

#include "python_objects/ref.h"

namespace synchronize {

// Creates the class Lockable in the module namespace `globals`.
python_objects::Ref make_lockable_class(PyObject* globals);

}  // namespace synchronize
