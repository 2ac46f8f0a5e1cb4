// What the locking module keeps for itself: one per module object, held by a
// capsule in the module namespace (so never shared between interpreters).
#pragma once

#include "python_objects/ref.h"

namespace synchronize {

struct State {
    // Taken only while a missing lock is created, so that all first callers of
    // one object end up with one lock. A Python lock, made again in a forked
    // child: a thread that held it there does not exist in the child.
    python_objects::Ref creation_guard;
    python_objects::Ref guard_factory;  // _thread.RLock
};

// Makes the state, binds it in the module namespace and has it reset after fork.
void make_state(PyObject* globals);

// The state of the module whose namespace is `globals`.
State& state_of(PyObject* globals);

}  // namespace synchronize
