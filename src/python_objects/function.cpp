#include "function.h"

#include "calls.h"
#include "compat.h"

#include <cstddef>
#include <utility>

#ifndef VORTAN_MODULE_NAME
#error "VORTAN_MODULE_NAME names the extension module this layer is compiled into"
#endif

namespace python_objects {
namespace {

// Filled in by ready_function_type(): a static type, since a heap type cannot
// carry a vectorcall offset on 3.8.
PyTypeObject function_type = static_type_header();

Name name_inspect("inspect");
Name name_parameter("Parameter");
Name name_signature_class("Signature");
Name name_default("default");
Name name_annotation("annotation");
Name name_return("return");
Name name_return_annotation("return_annotation");
Name name_signature_attr("__signature__");
Name name_wrapped("__wrapped__");


PyObject* call_with_generic_binding(PyObject* callable, PyObject* const* args, size_t nargsf,
                                    PyObject* kwnames) {
    Function& function = as_function(callable);
    return entry_point(function.spec->qualname, [&] {
        RecursionGuard recursion;
        Arguments arguments = bind_arguments(function, args, PyVectorcall_NARGS(nargsf), kwnames);
        return function.spec->body(function, arguments);
    });
}

int traverse(PyObject* object, visitproc visit, void* arg) noexcept {
    Function& f = as_function(object);
    Py_VISIT(f.name);
    Py_VISIT(f.qualname);
    Py_VISIT(f.module);
    Py_VISIT(f.doc);
    Py_VISIT(f.annotations);
    Py_VISIT(f.annotate);
    Py_VISIT(f.dict);
    Py_VISIT(f.defaults);
    Py_VISIT(f.kwdefaults);
    Py_VISIT(f.globals);
    Py_VISIT(f.wrapped);
    Py_VISIT(f.defining_class);
    return 0;
}

// The collector may let Python code call a function after clearing it (a
// weak reference's callback made by a finalizer, run while the cycle is torn
// down), so what a call relies on stays until dealloc: the name and qualname,
// the globals and the wrapped callable. A cycle through them passes through
// the module's dict or the wrapped object, whose own clear breaks it.
int clear(PyObject* object) noexcept {
    Function& f = as_function(object);
    Py_CLEAR(f.module);
    Py_CLEAR(f.doc);
    Py_CLEAR(f.annotations);
    Py_CLEAR(f.annotate);
    Py_CLEAR(f.dict);
    Py_CLEAR(f.defaults);
    Py_CLEAR(f.kwdefaults);
    Py_CLEAR(f.defining_class);
    return 0;
}

void dealloc(PyObject* object) noexcept {
    PyObject_GC_UnTrack(object);
    // A chain of wrappers around wrappers is freed iteratively, not by deep
    // recursion: through the trashcan up to 3.13; from 3.14 these macros are
    // empty and the interpreter's own deallocation of collected types defers
    // objects when the C stack runs low (the deep-chain test checks both).
    Py_TRASHCAN_BEGIN(object, dealloc)
    Function& f = as_function(object);
    if (f.weakreflist != nullptr) PyObject_ClearWeakRefs(object);
    clear(object);
    Py_CLEAR(f.globals);
    Py_CLEAR(f.wrapped);
    Py_CLEAR(f.name);
    Py_CLEAR(f.qualname);
    PyObject_GC_Del(object);
    Py_TRASHCAN_END
}

PyObject* get_field(PyObject* object, PyObject* Function::*field) noexcept;

PyObject* repr(PyObject* object) noexcept {
    const Ref qualname = Ref::steal(get_field(object, &Function::qualname));
    return PyUnicode_FromFormat("<function %U at %p>", qualname.get(), object);
}

// Binds like a Python function: the function itself through the class, a bound
// method through an instance.
PyObject* descr_get(PyObject* object, PyObject* instance, PyObject*) noexcept {
    if (instance == nullptr || instance == Py_None) {
        Py_INCREF(object);
        return object;
    }
    return PyMethod_New(object, instance);
}

// Pickled by reference, like any function: the unpickler finds it again by
// __module__ and __qualname__.
PyObject* reduce(PyObject* object, PyObject*) noexcept { return get_field(object, &Function::qualname); }

// A field's value as a new reference (None for nullptr), read under the
// function's critical section so that a concurrent setter cannot free it first.
PyObject* get_field(PyObject* object, PyObject* Function::*field) noexcept {
    compat::ObjectCriticalSection section(object);
    PyObject* value = as_function(object).*field;
    if (value == nullptr) value = Py_None;
    Py_INCREF(value);
    return value;
}

// Replaces a field (value may be nullptr); the old value is released after
// the critical section, since its finalizer may run Python code.
void set_field(PyObject* object, PyObject* Function::*field, PyObject* value) noexcept {
    Py_XINCREF(value);
    PyObject* old;
    {
        compat::ObjectCriticalSection section(object);
        old = as_function(object).*field;
        as_function(object).*field = value;
    }
    Py_XDECREF(old);
}

int set_string(PyObject* object, PyObject* Function::*field, PyObject* value, const char* attribute) noexcept {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", attribute);
        return -1;
    }
    set_field(object, field, value);
    return 0;
}

PyObject* get_name(PyObject* object, void*) noexcept { return get_field(object, &Function::name); }
int set_name(PyObject* object, PyObject* value, void*) noexcept {
    return set_string(object, &Function::name, value, "__name__");
}
PyObject* get_qualname(PyObject* object, void*) noexcept { return get_field(object, &Function::qualname); }
int set_qualname(PyObject* object, PyObject* value, void*) noexcept {
    return set_string(object, &Function::qualname, value, "__qualname__");
}

// The annotations dict as a Python function keeps it: stored when set or once
// made; else made by calling __annotate__(1) (VALUE format) when there is
// one, and then stored; else a new empty dict, stored.
Ref annotations_of(PyObject* object) {
    Function& f = as_function(object);
    compat::ObjectCriticalSection section(object);
    if (f.annotations != nullptr) return Ref::borrow(f.annotations);
    Ref annotations;
    if (f.annotate != nullptr && PyCallable_Check(f.annotate)) {
        const Ref annotate = Ref::borrow(f.annotate);
        const Ref format = check(PyLong_FromLong(1));
        annotations = call(annotate.get(), format.get());
        if (!PyDict_Check(annotations.get())) {
            compat::set_annotate_returned_non_dict(annotations.get());
            throw PythonError{};
        }
        // The call may have stored annotations of its own; as CPython, ours win.
    } else {
        annotations = check(PyDict_New());
    }
    Py_XSETREF(f.annotations, Ref(annotations).release());
    return annotations;
}

PyObject* get_annotations(PyObject* object, void*) noexcept {
    return entry_point("function.__annotations__", [&] { return annotations_of(object); });
}
// Stores both fields at once (new references are taken of the non-null
// ones); what they held goes only after the critical section, since freeing
// it may run Python code.
void replace_annotations(PyObject* object, PyObject* annotations, PyObject* annotate) {
    Py_XINCREF(annotations);
    Py_XINCREF(annotate);
    PyObject *old_annotations, *old_annotate;
    {
        compat::ObjectCriticalSection section(object);
        Function& f = as_function(object);
        old_annotations = std::exchange(f.annotations, annotations);
        old_annotate = std::exchange(f.annotate, annotate);
    }
    Py_XDECREF(old_annotations);
    Py_XDECREF(old_annotate);
}

// Setting or deleting the annotations drops __annotate__, which made them.
int set_annotations(PyObject* object, PyObject* value, void*) noexcept {
    if (value == Py_None) value = nullptr;
    if (value != nullptr && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    replace_annotations(object, value, nullptr);
    return 0;
}

PyObject* get_annotate(PyObject* object, void*) noexcept { return get_field(object, &Function::annotate); }
// A callable replaces the stored annotations (they are made from it when next
// read); None only forgets the callable.
int set_annotate(PyObject* object, PyObject* value, void*) noexcept {
    if (value == nullptr) {
        PyErr_SetString(PyExc_TypeError, "__annotate__ cannot be deleted");
        return -1;
    }
    if (value == Py_None) {
        set_field(object, &Function::annotate, nullptr);
        return 0;
    }
    if (!PyCallable_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotate__ must be callable or None");
        return -1;
    }
    replace_annotations(object, nullptr, value);
    return 0;
}

PyObject* get_defaults(PyObject* object, void*) noexcept { return get_field(object, &Function::defaults); }
int set_defaults(PyObject* object, PyObject* value, void*) noexcept {
    if (value == Py_None) value = nullptr;
    if (value != nullptr && !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    set_field(object, &Function::defaults, value);
    return 0;
}
PyObject* get_kwdefaults(PyObject* object, void*) noexcept { return get_field(object, &Function::kwdefaults); }
int set_kwdefaults(PyObject* object, PyObject* value, void*) noexcept {
    if (value == Py_None) value = nullptr;
    if (value != nullptr && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__kwdefaults__ must be set to a dict object");
        return -1;
    }
    set_field(object, &Function::kwdefaults, value);
    return 0;
}

// __module__ and __doc__ take any value; deleting one leaves None, as for a
// Python function.
PyObject* get_module(PyObject* object, void*) noexcept { return get_field(object, &Function::module); }
int set_module(PyObject* object, PyObject* value, void*) noexcept {
    set_field(object, &Function::module, value);
    return 0;
}
PyObject* get_doc(PyObject* object, void*) noexcept { return get_field(object, &Function::doc); }
int set_doc(PyObject* object, PyObject* value, void*) noexcept {
    set_field(object, &Function::doc, value);
    return 0;
}
PyObject* get_globals(PyObject* object, void*) noexcept { return get_field(object, &Function::globals); }

// The instance dict, or an empty Ref while none has been made.
Ref instance_dict(PyObject* object) {
    compat::ObjectCriticalSection section(object);
    return Ref::borrow(as_function(object).dict);
}

Ref make_parameter(PyObject* parameter_class, const char* name, const char* kind_name, PyObject* default_value,
                   PyObject* annotations) {
    Ref name_object = check(PyUnicode_FromString(name));
    Ref kind = check(PyObject_GetAttrString(parameter_class, kind_name));
    Ref annotation = annotations != nullptr ? dict_get(annotations, name_object.get()) : Ref();
    Ref keywords = check(PyDict_New());
    if (default_value != nullptr) check_status(PyDict_SetItem(keywords.get(), name_default, default_value));
    if (annotation) check_status(PyDict_SetItem(keywords.get(), name_annotation, annotation.get()));
    Ref positional = check(PyTuple_Pack(2, name_object.get(), kind.get()));
    return check(PyObject_Call(parameter_class, positional.get(), keywords.get()));
}

// inspect.Signature of the declared parameters with the current defaults and
// annotations, as inspect builds it for a Python function. A value assigned to
// __signature__ wins; while __wrapped__ is set the attribute is absent, so that
// inspect.signature() follows the wrapped chain as it does for functools.wraps.
Ref build_signature(PyObject* object) {
    Function& f = as_function(object);
    if (Ref dict = instance_dict(object)) {
        if (Ref assigned = dict_get(dict.get(), name_signature_attr)) return assigned;
        if (dict_get(dict.get(), name_wrapped))
            raise_format(PyExc_AttributeError, "%U", static_cast<PyObject*>(name_signature_attr));
    }
    // Held for the whole build: the Python code it runs may reassign them.
    auto held = [&](PyObject* Function::*field) {
        Ref value = Ref::steal(get_field(object, field));
        return value.get() == Py_None ? Ref() : value;
    };
    const Ref defaults = held(&Function::defaults);
    const Ref kwdefaults = held(&Function::kwdefaults);
    const Ref annotations = annotations_of(object);

    Ref inspect = check(PyImport_Import(name_inspect));
    Ref parameter_class = get_attr(inspect.get(), name_parameter);
    const Signature& declared = f.spec->parameters;
    Ref parameters = check(PyList_New(0));
    auto add = [&](const char* name, const char* kind_name, PyObject* default_value) {
        Ref parameter = make_parameter(parameter_class.get(), name, kind_name, default_value, annotations.get());
        check_status(PyList_Append(parameters.get(), parameter.get()));
    };
    const Py_ssize_t defaults_count = defaults ? PyTuple_GET_SIZE(defaults.get()) : 0;
    const Py_ssize_t first_default = declared.positional_count - defaults_count;
    for (int i = 0; i < declared.positional_count; ++i) {
        PyObject* default_value = i >= first_default ? PyTuple_GET_ITEM(defaults.get(), i - first_default) : nullptr;
        add(declared.names[i], "POSITIONAL_OR_KEYWORD", default_value);
    }
    if (declared.varargs != nullptr) add(declared.varargs, "VAR_POSITIONAL", nullptr);
    for (int i = declared.positional_count; i < declared.parameter_count(); ++i) {
        Ref default_value;
        if (kwdefaults) {
            Ref key = check(PyUnicode_FromString(declared.names[i]));
            default_value = dict_get(kwdefaults.get(), key.get());
        }
        add(declared.names[i], "KEYWORD_ONLY", default_value.get());
    }
    if (declared.varkw != nullptr) add(declared.varkw, "VAR_KEYWORD", nullptr);

    Ref signature_class = get_attr(inspect.get(), name_signature_class);
    Ref keywords = check(PyDict_New());
    if (Ref return_annotation = annotations ? dict_get(annotations.get(), name_return) : Ref())
        check_status(PyDict_SetItem(keywords.get(), name_return_annotation, return_annotation.get()));
    Ref positional = check(PyTuple_Pack(1, parameters.get()));
    return check(PyObject_Call(signature_class.get(), positional.get(), keywords.get()));
}

PyObject* get_signature(PyObject* object, void*) {
    return entry_point("function.__signature__", [&] { return build_signature(object); });
}
int set_signature(PyObject* object, PyObject* value, void*) {
    return entry_point_status("function.__signature__", [&] {
        if (value == nullptr) {
            // As deleting an attribute that a function does not have.
            const Ref dict = instance_dict(object);
            if (!dict || !dict_get(dict.get(), name_signature_attr))
                raise_format(PyExc_AttributeError, "'%.100s' object has no attribute '%U'", Py_TYPE(object)->tp_name,
                             static_cast<PyObject*>(name_signature_attr));
            check_status(PyDict_DelItem(dict.get(), name_signature_attr));
            return;
        }
        // Made, if need be, as __dict__ makes it (once, under the interpreter's own guard).
        const Ref dict = check(PyObject_GenericGetDict(object, nullptr));
        check_status(PyDict_SetItem(dict.get(), name_signature_attr, value));
    });
}

PyGetSetDef getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__signature__", get_signature, set_signature, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"__module__", get_module, set_module, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    // Last: where functions have no __annotate__ this entry ends the table.
    {compat::functions_have_annotate ? "__annotate__" : nullptr, get_annotate, set_annotate, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef methods[] = {
    {"__reduce__", reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void ready_function_type() {
    if (function_type.tp_flags & Py_TPFLAGS_READY) return;
    PyTypeObject& t = function_type;
    t.tp_name = VORTAN_MODULE_NAME ".function";
    t.tp_doc = "A function of this module, implemented in C++.";
    t.tp_basicsize = sizeof(Function);
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_METHOD_DESCRIPTOR | compat::type_flag_vectorcall;
    t.tp_vectorcall_offset = offsetof(Function, vectorcall);
    t.tp_call = PyVectorcall_Call;
    t.tp_dealloc = dealloc;
    t.tp_traverse = traverse;
    t.tp_clear = clear;
    t.tp_repr = repr;
    t.tp_descr_get = descr_get;
    t.tp_getset = getset;
    t.tp_methods = methods;
    t.tp_dictoffset = offsetof(Function, dict);
    t.tp_weaklistoffset = offsetof(Function, weakreflist);
    t.tp_getattro = PyObject_GenericGetAttr;
    t.tp_setattro = PyObject_GenericSetAttr;
    check_status(PyType_Ready(&t));
}

Ref make_function(const FunctionSpec& spec, PyObject* globals, const FunctionOptions& options) {
    Ref name = check(PyUnicode_InternFromString(spec.name));
    Ref qualname = check(PyUnicode_InternFromString(spec.qualname));
    Ref doc = spec.doc != nullptr ? check(PyUnicode_FromString(spec.doc)) : Ref::borrow(Py_None);
    // As for a Python function, __module__ is the defining module's __name__.
    Ref module = dict_get(globals, name_dunder_name);

    Function* f = PyObject_GC_New(Function, &function_type);
    if (f == nullptr) throw PythonError{};
    f->vectorcall = spec.vectorcall != nullptr ? spec.vectorcall : call_with_generic_binding;
    f->spec = &spec;
    f->name = name.release();
    f->qualname = qualname.release();
    f->module = module ? module.release() : Ref::borrow(Py_None).release();
    f->doc = doc.release();
    f->annotations = nullptr;
    f->annotate = nullptr;
    f->dict = nullptr;
    f->defaults = Ref::borrow(options.defaults).release();
    f->kwdefaults = Ref::borrow(options.kwdefaults).release();
    f->globals = Ref::borrow(globals).release();
    f->wrapped = Ref::borrow(options.wrapped).release();
    f->defining_class = nullptr;
    f->weakreflist = nullptr;
    PyObject_GC_Track(f);
    return Ref::steal(reinterpret_cast<PyObject*>(f));
}

void set_defining_class(PyObject* function, PyObject* cls) {
    Py_INCREF(cls);
    Py_XSETREF(as_function(function).defining_class, cls);
}

}  // namespace python_objects
