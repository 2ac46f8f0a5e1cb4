#pragma once

#include "python_objects/ref.h"

namespace tandrel {

// Creates the worker class ChildLabor, a subclass of the fork context's Process.
python_objects::Ref make_child_labor_class(PyObject* globals);

}  // namespace tandrel
