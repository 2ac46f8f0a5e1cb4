#include "classes.h"

#include "calls.h"
#include "compat.h"
#include "function.h"

namespace python_objects {
namespace {

Name name_types("types");
Name name_prepare_class("prepare_class");
Name name_module_attr("__module__");
Name name_qualname_attr("__qualname__");
Name name_doc_attr("__doc__");

}  // namespace

Ref make_class(PyObject* globals, const char* name, PyObject* bases, const char* doc,
               std::initializer_list<ClassMember> members) {
    Ref class_name = check(PyUnicode_InternFromString(name));

    // types.prepare_class derives the metaclass and calls its __prepare__.
    Ref types = check(PyImport_Import(name_types));
    Ref prepared = call_method(types.get(), name_prepare_class, class_name.get(), bases);
    if (!PyTuple_CheckExact(prepared.get()) || PyTuple_GET_SIZE(prepared.get()) < 2)
        raise_error(PyExc_TypeError, "types.prepare_class() must return a tuple (metaclass, namespace, keywords)");
    PyObject* metaclass = PyTuple_GET_ITEM(prepared.get(), 0);
    PyObject* namespace_ = PyTuple_GET_ITEM(prepared.get(), 1);

    Ref module_name = dict_get(globals, name_dunder_name);
    if (!module_name) raise_format(PyExc_NameError, "%U", static_cast<PyObject*>(name_dunder_name));
    check_status(PyObject_SetItem(namespace_, name_module_attr, module_name.get()));
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

SuperAttribute super_lookup(PyObject* defining_class, PyObject* instance, PyObject* name) {
    if (defining_class == nullptr) raise_error(PyExc_RuntimeError, "super(): empty __class__ cell");
    // super()'s own rule for where the search starts.
    PyTypeObject* defining = reinterpret_cast<PyTypeObject*>(defining_class);
    PyTypeObject* start = nullptr;
    if (PyType_Check(defining_class)) {
        if (PyType_Check(instance) && PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(instance), defining))
            start = reinterpret_cast<PyTypeObject*>(instance);
        else if (PyType_IsSubtype(Py_TYPE(instance), defining))
            start = Py_TYPE(instance);
    }
    PyObject* mro = start != nullptr ? start->tp_mro : nullptr;
    if (mro == nullptr) {
        // Unusual cases (and their errors) are left to super() itself.
        Ref proxy = call(reinterpret_cast<PyObject*>(&PySuper_Type), defining_class, instance);
        return {get_attr(proxy.get(), name), false};
    }
    Ref keep_mro = Ref::borrow(mro);
    const Py_ssize_t count = PyTuple_GET_SIZE(mro);
    Py_ssize_t i = 0;
    while (i < count && PyTuple_GET_ITEM(mro, i) != defining_class) ++i;
    for (++i; i < count; ++i) {
        Ref dict = Ref::steal(compat::type_dict(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i))));
        if (!dict) continue;
        Ref attribute = dict_get(dict.get(), name);
        if (!attribute) continue;
        PyObject* found = attribute.get();
        PyObject* bound_to = instance == reinterpret_cast<PyObject*>(start) ? nullptr : instance;
        if (bound_to != nullptr &&
            (PyFunction_Check(found) || PyType_HasFeature(Py_TYPE(found), Py_TPFLAGS_METHOD_DESCRIPTOR)))
            return {attribute, true};
        descrgetfunc bind = Py_TYPE(found)->tp_descr_get;
        if (bind == nullptr) return {attribute, false};
        return {check(bind(found, bound_to, reinterpret_cast<PyObject*>(start))), false};
    }
    Ref proxy = call(reinterpret_cast<PyObject*>(&PySuper_Type), defining_class, instance);
    return {get_attr(proxy.get(), name), false};
}

Ref make_staticmethod(Ref function) {
    return call(reinterpret_cast<PyObject*>(&PyStaticMethod_Type), function.get());
}

Ref make_classmethod(Ref function) {
    return call(reinterpret_cast<PyObject*>(&PyClassMethod_Type), function.get());
}

Ref make_property(Ref getter) { return call(reinterpret_cast<PyObject*>(&PyProperty_Type), getter.get()); }

}  // namespace python_objects
