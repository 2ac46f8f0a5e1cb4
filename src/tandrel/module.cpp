// vortan.async_.tandrel: parallel calls, one forked child process per call.
#include "child_labor.h"
#include "names.h"
#include "pcall.h"
#include "python_objects/calls.h"
#include "python_objects/function.h"
#include "python_objects/module.h"

namespace tandrel {

using namespace python_objects;

void intern_names() {
    intern_all({&name_self, &name_index, &name_queue, &name_target, &name_args, &name_kwargs, &name_init, &name_func,
                &name_partial, &name_dunder_name, &name_attr_index, &name_attr_queue, &name_attr_work,
                &name_attr_target, &name_attr_args, &name_attr_kwargs, &name_attr_processes,
                &name_build_arguments, &name_targets, &name_timeout, &name_cargs, &name_iargs, &name_ckwargs,
                &name_ikwargs, &name_varkwargs, &name_results, &name_copy, &name_update, &name_keys, &name_min, &name_put,
                &name_exception, &name_repeat, &name_simple_queue, &name_process,
                &name_get_logger, &global_functools, &global_itertools, &global_logging, &global_logger,
                &global_multiprocessing, &global_child_work, &global_child_labor,
                &global_exception_with_traceback, &global_namedtuple, &name_is_alive, &name_empty, &name_get,
                &name_sleep, &name_time, &name_starttime, &name_stoptime, &name_livings, &name_terminate,
                &name_start, &name_join, &name_pid, &name_popen, &name_returncode, &name_kill, &name_sigkill,
                &name_exitcode, &name_tasklog, &name_consolidate, &name_enter, &name_exit, &name_format,
                &name_error, &name_p, &name_extended_msg, &name_attr_messages, &text_still_running_line,
                &text_still_running, &text_newline, &global_os, &global_time, &global_signal,
                &global_managed_handlers});
    if (keywords_p == nullptr) keywords_p = check(PyTuple_Pack(1, static_cast<PyObject*>(name_p))).release();
    if (keywords_timeout_extended_msg == nullptr)
        keywords_timeout_extended_msg = check(PyTuple_Pack(2, static_cast<PyObject*>(name_timeout),
                                                           static_cast<PyObject*>(name_extended_msg)))
                                            .release();
}

namespace {

void module_body(PyObject* globals) {
    intern_names();
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
}

SingleModule the_module("tandrel", module_body);

}  // namespace
}  // namespace tandrel

MODULE_INIT_FUNCTION PyInit_tandrel() { return tandrel::the_module.definition(); }
