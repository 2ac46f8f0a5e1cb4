#include "classes.h"

#include "calls.h"
#include "function.h"

namespace python_objects {
namespace {

Name name_types("types");
Name name_prepare_class("prepare_class");
Name name_module_attr("__module__");
Name name_qualname_attr("__qualname__");
Name name_doc_attr("__doc__");
Name name_dunder_name("__name__");

}  // namespace

Ref make_class(PyObject* globals, const char* name, PyObject* bases, const char* doc,
               std::initializer_list<ClassMember> members) {
    intern_all({&name_types, &name_prepare_class, &name_module_attr, &name_qualname_attr, &name_doc_attr,
                &name_dunder_name});
    Ref class_name = check(PyUnicode_InternFromString(name));

    // types.prepare_class derives the metaclass and calls its __prepare__.
    Ref types = check(PyImport_Import(name_types));
    Ref prepared = call_method(types.get(), name_prepare_class, class_name.get(), bases);
    PyObject* metaclass = PyTuple_GET_ITEM(prepared.get(), 0);
    PyObject* namespace_ = PyTuple_GET_ITEM(prepared.get(), 1);

    PyObject* module_name = PyDict_GetItemWithError(globals, name_dunder_name);
    if (module_name == nullptr) {
        if (!PyErr_Occurred()) PyErr_SetObject(PyExc_NameError, name_dunder_name);
        throw PythonError{};
    }
    check_status(PyObject_SetItem(namespace_, name_module_attr, module_name));
    check_status(PyObject_SetItem(namespace_, name_qualname_attr, class_name.get()));
    Ref doc_object = doc != nullptr ? check(PyUnicode_FromString(doc)) : Ref::borrow(Py_None);
    check_status(PyObject_SetItem(namespace_, name_doc_attr, doc_object.get()));
    for (const ClassMember& member : members) {
        check_status(PyObject_SetItem(namespace_, check(PyUnicode_InternFromString(member.name)).get(),
                                      member.value.get()));
    }

    Ref cls = call(metaclass, class_name.get(), bases, namespace_);
    for (const ClassMember& member : members) {
        if (member.needs_defining_class != nullptr) set_defining_class(member.needs_defining_class, cls.get());
    }
    return cls;
}

Ref make_staticmethod(Ref function) {
    return call(reinterpret_cast<PyObject*>(&PyStaticMethod_Type), function.get());
}

Ref make_classmethod(Ref function) {
    return call(reinterpret_cast<PyObject*>(&PyClassMethod_Type), function.get());
}

Ref make_property(Ref getter) { return call(reinterpret_cast<PyObject*>(&PyProperty_Type), getter.get()); }

}  // namespace python_objects
