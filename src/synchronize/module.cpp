// vortan.async_.synchronize: one lock per object around its methods.
#include "lockable.h"
#include "lockable_meta.h"
#include "locked.h"
#include "names.h"
#include "fork_context.h"
#include "python_objects/calls.h"
#include "python_objects/function.h"
#include "python_objects/module.h"
#include "state.h"

#include <memory>

namespace synchronize {

using namespace python_objects;

namespace {

constexpr const char* state_capsule_name = "vortan.async_.synchronize.State";

State* state_in(PyObject* capsule) {
    return static_cast<State*>(PyCapsule_GetPointer(capsule, state_capsule_name));
}

void delete_state(PyObject* capsule) { delete state_in(capsule); }

// In a forked child: a lock being made by a thread that the child lacks would never be made.
PyObject* reset_after_fork(PyObject* capsule, PyObject*) {
    return entry_point("vortan.async_.synchronize fork handler", [&] {
        State* state = state_in(capsule);
        if (state == nullptr) throw PythonError{};
        state->creations.forget_all();
        return Ref::borrow(Py_None);
    });
}

PyMethodDef reset_after_fork_definition = {"_reset_after_fork", reset_after_fork, METH_NOARGS, nullptr};

PyObject* no_subclasses(PyObject*, PyObject*) { return PyList_New(0); }

// The base of the types that only the read caches look at (see TypeCache).
// 3.10 gives a tag to any type an attribute is looked up on, so no walk over
// the classes may find them: this base, which invalidation passes through,
// lists no subclasses.
Ref make_epoch_base() {
    static PyMethodDef hiding_methods[] = {{"__subclasses__", no_subclasses, METH_NOARGS, nullptr},
                                           {nullptr, nullptr, 0, nullptr}};
    static PyType_Slot hiding_slots[] = {{Py_tp_methods, hiding_methods}, {0, nullptr}};
    static PyType_Spec hiding_spec = {"vortan.async_.synchronize._TagEpochHiding", 0, 0, Py_TPFLAGS_DEFAULT,
                                      hiding_slots};
    Ref type_only = check(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyType_Type)));
    Ref hiding = check(PyType_FromSpecWithBases(&hiding_spec, type_only.get()));
    Ref object_only = check(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
    Ref namespace_ = check(Py_BuildValue("{ss}", "__module__", "vortan.async_.synchronize"));
    return check(PyObject_CallFunction(hiding.get(), "sOO", "_TagEpochBase", object_only.get(), namespace_.get()));
}

// A type that only one read cache looks at; TypeCache arms it.
Ref make_epoch_type(PyObject* base) {
    Ref base_only = check(PyTuple_Pack(1, base));
    static PyType_Slot slots[] = {{0, nullptr}};
    static PyType_Spec spec = {"vortan.async_.synchronize._TagEpoch", sizeof(PyObject), 0, Py_TPFLAGS_DEFAULT, slots};
    return check(PyType_FromSpecWithBases(&spec, base_only.get()));
}

}  // namespace

// Held by the module's decorators, by every wrapper they make and by the fork
// handler: never by a name that Python code could rebind.
Ref make_state(PyObject* globals) {
    auto state = std::make_unique<State>();
    Ref thread = import_module(globals, "_thread");
    state->guard_factory = get_attr(thread.get(), name_rlock);
    state->arguments_nonblocking = check(PyTuple_Pack(1, Py_False));
    if (compat::version_tags_repeat) {
        Ref base = make_epoch_base();
        state->lock_owners.set_epoch(make_epoch_type(base.get()));
        state->locks.set_epoch(make_epoch_type(base.get()));
    }
    Ref capsule = check(PyCapsule_New(state.get(), state_capsule_name, delete_state));
    State* owned = state.release();  // the capsule owns it now
    check_status(PyCapsule_SetContext(capsule.get(), owned));  // read without the name check

    Ref reset = check(PyCFunction_New(&reset_after_fork_definition, capsule.get()));
    call_after_fork_in_child(globals, reset.get());
    return capsule;
}

namespace {

void module_body(PyObject* globals) {
    set_global(globals, "__doc__", check(PyUnicode_FromString(
        "One lock per object, held around its methods, across threads and forked processes.\n\n"
        "locked wraps a method so that each call holds the object's lock (its __lock__, a\n"
        "fork-context RLock made on first use); Lockable creates that lock at construction,\n"
        "and LockableMeta locks every public method of a class.\n")).get());
    set_global(globals, "inspect", import_module(globals, "inspect").get());
    set_global(globals, "logging", import_module(globals, "logging").get());
    set_global(globals, "functools", import_module(globals, "functools").get());

    set_global(globals, "multiprocessing", import_fork_context(globals).get());
    Ref state = make_state(globals);
    prepare_lock_method_cache();

    Ref logging = lookup_global(globals, global_logging);
    Ref module_name = lookup_global(globals, name_dunder_name);
    set_global(globals, "logger", call_method(logging.get(), name_get_logger, module_name.get()).get());

    set_global(globals, "Lockable", make_lockable_class(globals, state.get()).get());
    FunctionOptions locked_options;
    locked_options.wrapped = state.get();  // what decorate() hands on to each wrapper
    set_global(globals, "locked", make_function(locked_spec, globals, locked_options).get());
    set_global(globals, "LockableMeta", make_lockable_meta_class(globals).get());
    // Hides the imported modules, the fork context and the logger from `import *`.
    set_global(globals, "__all__", check(Py_BuildValue("[sss]", "locked", "Lockable", "LockableMeta")).get());
}

SingleModule the_module("synchronize", module_body);

}  // namespace
}  // namespace synchronize

MODULE_INIT_FUNCTION PyInit_synchronize() { return synchronize::the_module.definition(); }
