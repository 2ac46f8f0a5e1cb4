// Lockable: objects that carry their own lock from construction on.
#include "lockable.h"

#include "locked.h"
#include "names.h"
#include "python_objects/calls.h"
#include "python_objects/classes.h"
#include "python_objects/function.h"
#include "python_objects/module.h"

namespace synchronize {
namespace {

using namespace python_objects;

Ref init_body(Function&, Arguments& arguments) {
    PyObject* self = arguments[0];
    PyObject* lock_factory = arguments[1];
    Ref lock = call(lock_factory);
    set_attr(self, name_lock_attr, lock.get());
    return Ref::borrow(Py_None);
}

Ref acquire_body(Function&, Arguments& arguments) {
    Ref lock = get_attr(arguments[0], name_lock_attr);
    Ref acquire = get_attr(lock.get(), name_acquire);
    // By position, as every lock takes them; no timeout is said by leaving it
    // out, since the thread locks want a number there.
    if (arguments[2] == Py_None) return call(acquire.get(), arguments[1]);
    return call(acquire.get(), arguments[1], arguments[2]);
}

Ref release_body(Function&, Arguments& arguments) {
    Ref lock = get_attr(arguments[0], name_lock_attr);
    return call_method(lock.get(), name_release);
}

const FunctionSpec init_spec{
    "__init__",
    "Lockable.__init__",
    "__init__\n"
    "\n"
    "Initialises the base class and sets the built-in lock.\n"
    "\n"
    ":param lock: the class (a factory called with no arguments) used for locking\n"
    "    and unlocking; any lock whose acquire takes the blocking flag by position,\n"
    "    of threading or of multiprocessing (the thread locks do not cross a fork)\n"
    "\n"
    "Warning: changing the lock can do harm. A ``Lock`` is not recursive as an\n"
    "``RLock`` is: a locked method that calls another locked method of the same\n"
    "instance then waits for itself for ever.",
    signature({"self"}, {"lock"}),
    init_body,
};

const FunctionSpec acquire_spec{
    "acquire",
    "Lockable.acquire",
    "acquire\n"
    "\n"
    "Acquires the lock on this instance, as multiprocessing does.\n"
    "\n"
    ":param block: when true (the default), wait until the lock is free and taken\n"
    "    by this process or thread\n"
    ":param timeout: the longest wait in seconds (None: no limit)\n"
    ":return: whether the lock was taken",
    signature({"self", "block", "timeout"}),
    acquire_body,
};

const FunctionSpec release_spec{
    "release",
    "Lockable.release",
    "release\n"
    "\n"
    "Releases the lock on this instance, as multiprocessing does. Only the process\n"
    "or thread that owns the lock may call it: an AssertionError is raised when\n"
    "another process or thread calls it, or when the lock is not held.",
    signature({"self"}),
    release_body,
};

constexpr const char* lockable_doc =
    "Lockable\n"
    "\n"
    "Base class for objects that lock and unlock: subclassing it is the preferred\n"
    "way to make such classes. Each instance gets its lock at construction.\n"
    "\n"
    "Subclasses call ``Lockable.__init__`` through ``super().__init__()`` and\n"
    "decorate their methods with ``Lockable.locked`` rather than with the generic\n"
    "``locked``.";

}  // namespace

Ref make_lockable_class(PyObject* globals, PyObject* state) {
    // The default lock factory is the fork context's RLock as it is now.
    Ref multiprocessing = lookup_global(globals, global_multiprocessing);
    Ref kwdefaults = check(PyDict_New());
    check_status(PyDict_SetItemString(kwdefaults.get(), "lock", get_attr(multiprocessing.get(), name_rlock).get()));
    FunctionOptions init_options;
    init_options.kwdefaults = kwdefaults.get();

    Ref acquire_defaults = check(PyTuple_Pack(2, Py_True, Py_None));
    FunctionOptions acquire_options;
    acquire_options.defaults = acquire_defaults.get();

    FunctionOptions locked_options;
    locked_options.wrapped = state;

    Ref bases = check(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
    return make_class(globals, "Lockable", bases.get(), lockable_doc,
                      {
                          {"__init__", make_function(init_spec, globals, init_options)},
                          {"acquire", make_function(acquire_spec, globals, acquire_options)},
                          {"release", make_function(release_spec, globals)},
                          {"locked", make_staticmethod(make_function(lockable_locked_spec, globals, locked_options))},
                      });
}

}  // namespace synchronize
