// Classes made as a class statement makes them: metaclass derived from the
// bases, namespace from its __prepare__, then __module__, __qualname__,
// __doc__ and the members in source order, then the metaclass called.
#pragma once

#include "ref.h"

#include <initializer_list>
#include <utility>

namespace python_objects {

struct ClassMember {
    const char* name;
    Ref value;
    // The function that zero-argument super() runs in, when a member needs it
    // (it may be wrapped, e.g. in staticmethod, so it is named separately).
    PyObject* needs_defining_class = nullptr;
};

Ref make_class(PyObject* globals, const char* name, PyObject* bases, const char* doc,
               std::initializer_list<ClassMember> members);

// What `super().<name>` finds inside a method of `defining_class` called with
// `instance` (an object, or a class for __new__), without making the super
// object. When `needs_instance` is set, `callable` is a plain function (or a
// method descriptor) left unbound: the caller passes `instance` first, which is
// what calling the bound method would do.
struct SuperAttribute {
    Ref callable;
    bool needs_instance = false;
};
SuperAttribute super_lookup(PyObject* defining_class, PyObject* instance, PyObject* name);

Ref make_staticmethod(Ref function);
Ref make_classmethod(Ref function);
Ref make_property(Ref getter);

}  // namespace python_objects
