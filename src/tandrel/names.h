// Attribute and keyword names of the parallel-call module, interned when the module is created.
#pragma once

#include "python_objects/calls.h"

namespace tandrel {

using python_objects::Name;

inline Name name_self("self");
inline Name name_index("index");
inline Name name_queue("queue");
inline Name name_target("target");
inline Name name_args("args");
inline Name name_kwargs("kwargs");
inline Name name_init("__init__");
inline Name name_func("func");
inline Name name_cached_property("cached_property");
inline Name name_partial("partial");
inline Name name_private_index("_index");
inline Name name_private_queue("_queue");
inline Name name_private_work("_work");
inline Name name_private_target("_target");
inline Name name_private_args("_args");
inline Name name_private_kwargs("_kwargs");
inline Name name_private_processes("_processes");
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
inline Name name_min("min");
inline Name name_put("put");
inline Name name_exception("exception");
inline Name name_repeat("repeat");
inline Name name_process("Process");
inline Name name_get_logger("getLogger");
inline Name name_time("time");
inline Name name_starttime("starttime");
inline Name name_stoptime("stoptime");
inline Name name_livings("livings");
inline Name name_terminate("terminate");
inline Name name_start("start");
inline Name name_join("join");
inline Name name_pid("pid");
inline Name name_exitcode("exitcode");
inline Name name_popen("_popen");
inline Name name_returncode("returncode");
inline Name name_kill("kill");
inline Name name_sigkill("SIGKILL");
inline Name name_tasklog("tasklog");
inline Name name_consolidate("consolidate_next_forked_logfile");
inline Name name_enter("__enter__");
inline Name name_exit("__exit__");
inline Name name_format("format");
inline Name name_error("error");
inline Name name_p("p");
inline Name name_extended_msg("extended_msg");
inline Name name_private_run("_run");
inline Name name_bootstrap("_bootstrap");
inline Name name_finalizer("finalizer");
inline Name name_add_note("add_note");
inline Name name_errno("errno");
inline Name name_strerror("strerror");
inline Name name_private_work_source("_work_source");
inline Name name_sentinel("sentinel");
inline Name name_grace_period("grace_period");
inline Name name_max_running("max_running");
inline Name name_chunksize("chunksize");
inline Name name_call_timeout("call_timeout");
inline Name name_return_exceptions("return_exceptions");
inline Name name_process_group("process_group");
inline Name name_reducer("reducer");
inline Name name_forking_pickler("ForkingPickler");
inline Name name_dumps("dumps");
inline Name name_loads("loads");
inline Name name_keys("keys");
inline Name name_getitem("__getitem__");
inline Name name_real("Real");
inline Name name_multiprocessing_process("multiprocessing.process");
inline Name name_private_children("_children");
inline Name name_register("register");
inline Name name_signature("signature");
inline Name name_parameters("parameters");
inline Name name_values("values");
inline Name name_replace("replace");
inline Name name_name("name");
inline Name name_cls("cls");
inline Name name_func_attr("__func__");
inline Name name_dunder_signature("__signature__");
inline Name text_still_running_line("    PID-{p.pid}: target={p._work.target}, args={p._work.args}, kwargs={p._work.kwargs}");
inline Name text_still_running("The following processes are still running after {timeout} seconds:\n{extended_msg}\n");
inline Name text_newline("\n");
// Module globals, looked up by name at each use.
inline Name global_os("os");
inline Name global_time("time");
inline Name global_signal("signal");
inline Name global_managed_handlers("managed_handlers");
inline Name global_functools("functools");
inline Name global_itertools("itertools");
inline Name global_logging("logging");
inline Name global_logger("logger");
inline Name global_multiprocessing("multiprocessing");
inline Name global_child_work("ChildWork");
inline Name global_child_labor("ChildLabor");
inline Name global_exception_with_traceback("ExceptionWithTraceback");
inline Name global_namedtuple("namedtuple");

// Keyword-name tuples for vectorcalls.
inline python_objects::KeywordNames keywords_p(name_p);
inline python_objects::KeywordNames keywords_name(name_name);
inline python_objects::KeywordNames keywords_parameters(name_parameters);
inline python_objects::KeywordNames keywords_timeout_extended_msg(name_timeout, name_extended_msg);

}  // namespace tandrel
