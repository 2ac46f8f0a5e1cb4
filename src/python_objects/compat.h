// Every difference between CPython 3.8 and 3.13 that the modules meet, in one
// place. Each shim names the version that brought the real API, so it can go
// once that version is the minimum.
#pragma once

#include <Python.h>

#include <cstdint>

// The module's init function, exported although the build hides every other
// symbol: PyMODINIT_FUNC carries the visibility itself since 3.9.
#if PY_VERSION_HEX >= 0x03090000
#define MODULE_INIT_FUNCTION PyMODINIT_FUNC
#else
#define MODULE_INIT_FUNCTION extern "C" __attribute__((visibility("default"))) PyObject*
#endif

namespace python_objects::compat {

// Vectorcall: public names since 3.9 (3.8 has the underscored ones).
#if PY_VERSION_HEX >= 0x03090000
inline constexpr unsigned long type_flag_vectorcall = Py_TPFLAGS_HAVE_VECTORCALL;
inline PyObject* vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return PyObject_Vectorcall(callable, args, nargsf, kwnames);
}
#else
inline constexpr unsigned long type_flag_vectorcall = _Py_TPFLAGS_HAVE_VECTORCALL;
inline PyObject* vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return _PyObject_Vectorcall(callable, args, nargsf, kwnames);
}
#endif

// Attribute read that reports "missing" without raising: 1 found, 0 missing,
// -1 error. Public as PyObject_GetOptionalAttr since 3.13.
inline int get_optional_attr(PyObject* object, PyObject* name, PyObject** result) {
#if PY_VERSION_HEX >= 0x030D0000
    return PyObject_GetOptionalAttr(object, name, result);
#else
    return _PyObject_LookupAttr(object, name, result);
#endif
}

// The exception being raised, as one normalized object, and back.
// PyErr_GetRaisedException / PyErr_SetRaisedException since 3.12.
inline PyObject* fetch_raised_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) return nullptr;
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr) PyException_SetTraceback(value, traceback);
    Py_DECREF(type);
    Py_XDECREF(traceback);
    return value;
#endif
}

// Steals `exception`.
inline void restore_raised_exception(PyObject* exception) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exception);
#else
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exception));
    Py_INCREF(type);
    PyErr_Restore(type, exception, PyException_GetTraceback(exception));
#endif
}

// The exception an `except` or `finally` block is handling (sys.exc_info()).
// PyErr_GetHandledException / PyErr_SetHandledException since 3.11.
inline PyObject* get_handled_exception() {
#if PY_VERSION_HEX >= 0x030B0000
    return PyErr_GetHandledException();
#else
    PyObject *type, *value, *traceback;
    PyErr_GetExcInfo(&type, &value, &traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return value;
#endif
}

// Borrows `exception` (nullptr or None: nothing is handled).
inline void set_handled_exception(PyObject* exception) {
#if PY_VERSION_HEX >= 0x030B0000
    PyErr_SetHandledException(exception);
#else
    if (exception == nullptr || exception == Py_None) {
        PyErr_SetExcInfo(nullptr, nullptr, nullptr);
        return;
    }
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exception));
    Py_INCREF(type);
    Py_INCREF(exception);
    PyErr_SetExcInfo(type, exception, PyException_GetTraceback(exception));
#endif
}

// A type's own namespace, as a new reference. Static builtin types keep it
// outside tp_dict since 3.12, where PyType_GetDict came.
inline PyObject* type_dict(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030C0000
    return PyType_GetDict(type);
#else
    Py_XINCREF(type->tp_dict);
    return type->tp_dict;
#endif
}

// Identity of the running interpreter. PyInterpreterState_Get since 3.9.
inline std::int64_t current_interpreter_id() {
#if PY_VERSION_HEX >= 0x03090000
    return PyInterpreterState_GetID(PyInterpreterState_Get());
#else
    return PyInterpreterState_GetID(_PyInterpreterState_Get());
#endif
}

}  // namespace python_objects::compat
