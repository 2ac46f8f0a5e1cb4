// Attribute and keyword names of the locking module, interned when the module is created.
#pragma once

#include "python_objects/calls.h"

namespace synchronize {

using python_objects::Name;

inline Name name_lock_attr("__lock__");
inline Name name_acquire("acquire");
inline Name name_release("release");
inline Name name_warning("warning");
inline Name name_rlock("RLock");
inline Name name_wraps("wraps");
inline Name name_isfunction("isfunction");
inline Name name_startswith("startswith");
inline Name name_items("items");
inline Name name_ignore_marker("_LockedMeta_ignore");
inline Name name_new("__new__");
inline Name name_self("self");
inline Name name_underscore("_");
inline Name name_get_logger("getLogger");
inline Name name_is_enabled_for("isEnabledFor");
inline Name text_waiting_for_lock("Waiting for lock on %s");
// Module globals, looked up by name at each use.
inline Name global_multiprocessing("multiprocessing");
inline Name global_logger("logger");
inline Name global_functools("functools");
inline Name global_inspect("inspect");
inline Name global_logging("logging");
inline Name global_locked("locked");

}  // namespace synchronize
