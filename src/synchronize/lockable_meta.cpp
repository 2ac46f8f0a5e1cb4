// LockableMeta: wraps every public plain function of a class body with `locked`.
#include "lockable_meta.h"

#include "names.h"
#include "python_objects/calls.h"
#include "python_objects/classes.h"
#include "python_objects/function.h"

namespace synchronize {
namespace {

using namespace python_objects;

Ref ignore_body(Function&, Arguments& arguments) {
    PyObject* obj = arguments[0];
    set_attr(obj, name_ignore_marker, Py_True);
    return Ref::borrow(obj);
}


// One entry of the class body: public plain functions become locked methods,
// unless marked to be ignored (the mark is used up).
void lock_entry(PyObject* globals, PyObject* attrs, PyObject* key, PyObject* value) {
    Ref private_name = call_method(key, name_startswith, static_cast<PyObject*>(name_underscore));
    if (is_true(private_name.get())) return;

    PyObject* marker = nullptr;
    if (check_status(compat::get_optional_attr(value, name_ignore_marker, &marker)) > 0) {
        Ref owned_marker = Ref::steal(marker);
        if (is_true(owned_marker.get())) {
            check_status(PyObject_DelAttr(value, name_ignore_marker));
            return;
        }
    }

    Ref inspect = lookup_global(globals, global_inspect);
    Ref is_function = call_method(inspect.get(), name_isfunction, value);
    if (!is_true(is_function.get())) return;
    Ref locked = lookup_global(globals, global_locked);
    Ref wrapped = call(locked.get(), value);
    check_status(PyObject_SetItem(attrs, key, wrapped.get()));
}

Ref new_body(Function& function, Arguments& arguments) {
    PyObject* cls = arguments[0];
    PyObject* name = arguments[1];
    PyObject* bases = arguments[2];
    PyObject* attrs = arguments[3];

    // Only existing keys are replaced, so writing while iterating is safe.
    Ref items = call_method(attrs, name_items);
    Ref iterator = check(PyObject_GetIter(items.get()));
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        auto [key, value] = unpack_pair(item.get());
        lock_entry(function.globals, attrs, key.get(), value.get());
    }
    if (PyErr_Occurred()) throw PythonError{};

    // super().__new__(cls, name, bases, attrs)
    SuperAttribute next_new = super_lookup(function.defining_class, cls, name_new);
    if (next_new.needs_instance) return call(next_new.callable.get(), cls, cls, name, bases, attrs);
    return call(next_new.callable.get(), cls, name, bases, attrs);
}

const FunctionSpec ignore_spec{
    "ignore",
    "LockableMeta.ignore",
    "ignore\n"
    "\n"
    "Decorator that marks an object (a method) to be left out of the mechanism that\n"
    "makes all methods locked methods, so that auxiliary methods can be called\n"
    "without waiting for the lock of the instance.\n"
    "\n"
    ":param obj: any object\n"
    ":return: obj itself",
    signature({"obj"}),
    ignore_body,
};

const FunctionSpec new_spec{
    "__new__",
    "LockableMeta.__new__",
    "Metaclass __new__\n"
    "\n"
    "Called before the class is created: takes over class creation and adds the\n"
    "locking and unlocking to all function calls, for multiprocessing use and to\n"
    "avoid deadlocks.\n"
    "\n"
    ":param name: the name of the new class\n"
    ":param bases: its parent classes\n"
    ":param attrs: the namespace dictionary of the new class",
    signature({"cls", "name", "bases", "attrs"}),
    new_body,
};

constexpr const char* lockable_meta_doc =
    "LockableMeta\n"
    "\n"
    "Metaclass that makes every public function of a class body a locked method\n"
    "(with the generic ``locked``); functions marked with ``LockableMeta.ignore``\n"
    "are left alone.\n"
    "\n"
    "Limitation: each instance's lock is created by its first locked call. If no\n"
    "locked call is made on an instance before the process forks, the parent and\n"
    "its children end up with separate locks and do not exclude one another.";

}  // namespace

Ref make_lockable_meta_class(PyObject* globals) {
    Ref new_function = make_function(new_spec, globals);
    PyObject* new_function_object = new_function.get();
    Ref bases = check(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyType_Type)));
    return make_class(globals, "LockableMeta", bases.get(), lockable_meta_doc,
                      {
                          {"ignore", make_staticmethod(make_function(ignore_spec, globals))},
                          {"__new__", make_staticmethod(std::move(new_function)), new_function_object},
                      });
}

}  // namespace synchronize
