#pragma once

#include "python_objects/ref.h"

namespace synchronize {

// Creates the metaclass LockableMeta in the module namespace `globals`.
python_objects::Ref make_lockable_meta_class(PyObject* globals);

}  // namespace synchronize
