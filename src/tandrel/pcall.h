#pragma once

#include "python_objects/ref.h"

namespace tandrel {

// Creates the parallel-call class Pcall.
python_objects::Ref make_pcall_class(PyObject* globals);

}  // namespace tandrel
