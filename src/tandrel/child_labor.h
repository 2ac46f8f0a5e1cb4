#pragma once

#include "python_objects/ref.h"

namespace tandrel {

// Creates the worker class ChildLabor, a subclass of the fork context's Process.
// Its `_Popen` is ChildPopen, whose fork records the child for the plan that
// forks it (see ForkRecorder).
python_objects::Ref make_child_labor_class(PyObject* globals);

// Closes the pipe ends a ChildPopen fork left to the parent, and lets go of
// the object that held them.
void release_descriptors(python_objects::Ref& descriptors) noexcept;

}  // namespace tandrel
