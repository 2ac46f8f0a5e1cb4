// vortan.async_.tandrel: parallel calls, one forked child process per call.
#include "channel.h"
#include "child_labor.h"
#include "names.h"
#include "pcall.h"
#include "fork_context.h"
#include "pcall_lifecycle.h"
#include "pcall_map.h"
#include "plan_run.h"
#include "python_objects/calls.h"
#include "python_objects/function.h"
#include "python_objects/module.h"

namespace tandrel {

using namespace python_objects;

namespace {

// Registered after multiprocessing's own exit handler, so it runs first: that
// one joins every child it knows, without a limit.
PyObject* at_exit(PyObject* globals, PyObject*) {
    return entry_point("tandrel exit handler", [&] {
        stop_runs_at_exit(globals);
        return Ref::borrow(Py_None);
    });
}
PyMethodDef at_exit_definition = {"_stop_plans_at_exit", at_exit, METH_NOARGS, nullptr};

void module_body(PyObject* globals) {
    set_global(globals, "__doc__", check(PyUnicode_FromString(
        "Run Python callables in parallel, one forked child process per call.\n\n"
        "Pcall(targets, ...) plans the calls, start() forks the children and join()\n"
        "collects their results in call order, raising a child's exception or a timeout\n"
        "again in the caller; Pcall.pcall(...) does all three and returns the results.\n")).get());
    for (const char* name : {"os", "time", "signal", "logging", "itertools", "functools"})
        set_global(globals, name, import_module(globals, name).get());
    set_global(globals, "namedtuple", import_from(globals, "collections", "namedtuple", 0).get());
    set_global(globals, "ExceptionWithTraceback",
               import_from(globals, "exceptions", "ExceptionWithTraceback", 1).get());
    set_global(globals, "managed_handlers", import_from(globals, "vortan.log", "managed_handlers", 0).get());

    set_global(globals, "multiprocessing", import_fork_context(globals).get());
    set_global(globals, "__pcall_infra__", Py_True);

    Ref logging = lookup_global(globals, global_logging);
    Ref module_name = lookup_global(globals, name_dunder_name);
    set_global(globals, "logger", call_method(logging.get(), name_get_logger, module_name.get()).get());

    Ref namedtuple = lookup_global(globals, global_namedtuple);
    Ref fields = check(Py_BuildValue("[sss]", "target", "args", "kwargs"));
    Ref child_work = call(namedtuple.get(), check(PyUnicode_FromString("ChildWork")).get(), fields.get());
    // namedtuple takes __module__ from its caller's frame, which is the import
    // machinery's here; records must pickle under this module's name.
    set_attr(child_work.get(), check(PyUnicode_FromString("__module__")).get(), module_name.get());
    set_global(globals, "ChildWork", child_work.get());

    set_global(globals, "ChildLabor", make_child_labor_class(globals).get());
    set_global(globals, "Pcall", make_pcall_class(globals).get());

    ready_plan_run_type();
    ready_channel_types(globals);
    ready_as_completed_type();
    ready_map_types();
    Ref atexit = import_module(globals, "atexit");
    call_method(atexit.get(), name_register, check(PyCFunction_New(&at_exit_definition, globals)).get());
    // Hides the imported modules, the fork context and the logger from `import *`.
    set_global(globals, "__all__", check(Py_BuildValue("[sss]", "Pcall", "ChildLabor", "ChildWork")).get());
}

SingleModule the_module("tandrel", module_body);

}  // namespace
}  // namespace tandrel

MODULE_INIT_FUNCTION PyInit_tandrel() { return tandrel::the_module.definition(); }
