// vortan.async_.synchronize: one lock per object around its methods.
#include "lockable.h"
#include "lockable_meta.h"
#include "locked.h"
#include "names.h"
#include "python_objects/calls.h"
#include "python_objects/function.h"
#include "python_objects/module.h"

namespace synchronize {

using namespace python_objects;

void intern_names() {
    intern_all({&name_lock_attr, &name_acquire, &name_release, &name_block, &name_timeout, &name_warning,
                &name_rlock, &name_wraps, &name_isfunction, &name_startswith, &name_items, &name_ignore_marker,
                &name_new, &name_self, &name_underscore, &name_get_logger, &name_dunder_name,
                &text_waiting_for_lock, &global_multiprocessing, &global_logger, &global_functools, &global_inspect, &global_logging,
                &global_locked});
    if (keywords_block == nullptr) keywords_block = check(PyTuple_Pack(1, static_cast<PyObject*>(name_block))).release();
    if (arguments_nonblocking == nullptr) arguments_nonblocking = check(PyTuple_Pack(1, Py_False)).release();
    if (keywords_block_timeout == nullptr)
        keywords_block_timeout =
            check(PyTuple_Pack(2, static_cast<PyObject*>(name_block), static_cast<PyObject*>(name_timeout))).release();
}

namespace {

void module_body(PyObject* globals) {
    intern_names();
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
}

SingleModule the_module("synchronize", module_body);

}  // namespace
}  // namespace synchronize

MODULE_INIT_FUNCTION PyInit_synchronize() { return synchronize::the_module.definition(); }
