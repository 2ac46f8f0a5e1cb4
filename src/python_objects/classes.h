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

Ref make_staticmethod(Ref function);
Ref make_classmethod(Ref function);
Ref make_property(Ref getter);

}  // namespace python_objects
