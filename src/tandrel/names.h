// Attribute and keyword names of the parallel-call module, interned once at import.
#pragma once

#include "python_objects/calls.h"

namespace tandrel {

using python_objects::Name;

inline Name name_index("index");
inline Name name_queue("queue");
inline Name name_target("target");
inline Name name_args("args");
inline Name name_kwargs("kwargs");
inline Name name_init("__init__");
inline Name name_func("func");
inline Name name_partial("partial");
inline Name name_dunder_name("__name__");
inline Name name_attr_index("_index");
inline Name name_attr_queue("_queue");
inline Name name_attr_work("_work");
inline Name name_attr_target("_target");
inline Name name_attr_args("_args");
inline Name name_attr_kwargs("_kwargs");
inline Name name_attr_processes("_processes");
inline Name name_build_arguments("_build_arguments");
inline Name name_targets("targets");
inline Name name_timeout("timeout");
inline Name name_cargs("cargs");
inline Name name_iargs("iargs");
inline Name name_ckwargs("ckwargs");
inline Name name_ikwargs("ikwargs");
inline Name name_varkwargs("varkwargs");
inline Name name_results("results");
inline Name name_copy("copy");
inline Name name_update("update");
inline Name name_keys("keys");
inline Name name_min("min");
inline Name name_put("put");
inline Name name_exception("exception");
inline Name name_repeat("repeat");
inline Name name_simple_queue("SimpleQueue");
inline Name name_process("Process");
inline Name name_get_logger("getLogger");
// Module globals, looked up by name at each use.
inline Name global_functools("functools");
inline Name global_itertools("itertools");
inline Name global_logging("logging");
inline Name global_logger("logger");
inline Name global_multiprocessing("multiprocessing");
inline Name global_child_work("ChildWork");
inline Name global_child_labor("ChildLabor");
inline Name global_exception_with_traceback("ExceptionWithTraceback");
inline Name global_namedtuple("namedtuple");

void intern_names();

}  // namespace tandrel
