// vortan.async_.synchronize: one lock per object around its methods.
#include "lockable.h"
#include "lockable_meta.h"
#include "locked.h"
#include "names.h"
#include "fork_context.h"
#include "python_objects/calls.h"
#include "python_objects/function.h"
#include "python_objects/module.h"

namespace synchronize {

using namespace python_objects;

namespace {

void module_body(PyObject* globals) {
    if (arguments_nonblocking == nullptr) arguments_nonblocking = check(PyTuple_Pack(1, Py_False)).release();
    set_global(globals, "__doc__", check(PyUnicode_FromString(
        "One lock per object, held around its methods, across threads and forked processes.\n\n"
        "locked wraps a method so that each call holds the object's lock (its __lock__, a\n"
        "fork-context RLock made on first use); Lockable creates that lock at construction,\n"
        "and LockableMeta locks every public method of a class.\n")).get());
    set_global(globals, "inspect", import_module(globals, "inspect").get());
    set_global(globals, "logging", import_module(globals, "logging").get());
    set_global(globals, "functools", import_module(globals, "functools").get());

    set_global(globals, "multiprocessing", import_fork_context(globals).get());

    Ref logging = lookup_global(globals, global_logging);
    Ref module_name = lookup_global(globals, name_dunder_name);
    set_global(globals, "logger", call_method(logging.get(), name_get_logger, module_name.get()).get());

    set_global(globals, "Lockable", make_lockable_class(globals).get());
    set_global(globals, "locked", make_function(locked_spec, globals).get());
    set_global(globals, "LockableMeta", make_lockable_meta_class(globals).get());
    // Hides the imported modules, the fork context and the logger from `import *`.
    set_global(globals, "__all__", check(Py_BuildValue("[sss]", "locked", "Lockable", "LockableMeta")).get());
}

SingleModule the_module("synchronize", module_body);

}  // namespace
}  // namespace synchronize

MODULE_INIT_FUNCTION PyInit_synchronize() { return synchronize::the_module.definition(); }
