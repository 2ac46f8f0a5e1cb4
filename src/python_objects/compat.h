// Every difference between CPython 3.8 and 3.13 that the modules meet, in one
// place. Each shim names the version that brought the real API, so it can go
// once that version is the minimum.
#pragma once

#include <Python.h>

#include <cstdint>
#include <utility>

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

// The exception handled at the current level (the running generator's own
// state, or the thread's), as an `except` or `finally` block saves, replaces
// and restores it. Unlike sys.exc_info(), which falls back on the levels
// further out, a level with nothing handled is left so. Owned references, or
// nullptr; the fields of _PyErr_StackItem, of which 3.11 keeps the value alone.
struct HandledException {
#if PY_VERSION_HEX < 0x030B0000
    PyObject* type = nullptr;
    PyObject* traceback = nullptr;
#endif
    PyObject* value = nullptr;
};

// The state of a level that handles `exception` (borrowed).
inline HandledException handled_state_of(PyObject* exception) {
    HandledException state;
    Py_INCREF(exception);
    state.value = exception;
#if PY_VERSION_HEX < 0x030B0000
    state.type = reinterpret_cast<PyObject*>(Py_TYPE(exception));
    Py_INCREF(state.type);
    state.traceback = PyException_GetTraceback(exception);
#endif
    return state;
}

// The current level of the running thread.
inline _PyErr_StackItem* current_handled_level() { return PyThreadState_Get()->exc_info; }

// Swaps the handled state of `level` with `state`.
inline void exchange_handled(_PyErr_StackItem* level, HandledException& state) noexcept {
    std::swap(level->exc_value, state.value);
#if PY_VERSION_HEX < 0x030B0000
    std::swap(level->exc_type, state.type);
    std::swap(level->exc_traceback, state.traceback);
#endif
}

inline void release_handled(HandledException& state) noexcept {
    Py_CLEAR(state.value);
#if PY_VERSION_HEX < 0x030B0000
    Py_CLEAR(state.type);
    Py_CLEAR(state.traceback);
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

// ---- Version tags and dict pointers, for the locking module's read caches.

// A type's valid version tag after a _PyType_Lookup on it, or 0 when it has
// none. PyUnstable_Type_AssignVersionTag since 3.12 (before, the lookup
// assigns it); 3.13 marks a tag invalid by 0 alone, no longer by a flag.
inline unsigned int type_version_tag(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030C0000
    if (!PyUnstable_Type_AssignVersionTag(type)) return 0;
#endif
#if PY_VERSION_HEX >= 0x030D0000
    return type->tp_version_tag;
#else
    return PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) ? type->tp_version_tag : 0;
#endif
}

// Whether `type` still has the nonzero tag `tag`: any change to the type or
// its bases since then has invalidated it.
inline bool type_version_tag_is(PyTypeObject* type, unsigned int tag) {
#if PY_VERSION_HEX >= 0x030D0000
    return type->tp_version_tag == tag;
#else
    return type->tp_version_tag == tag && PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG);
#endif
}

// Whether version tags can repeat: before 3.11, PyType_ClearCache()
// (sys._clear_type_cache()) and a wrap-around of the counter start it again
// from 0, so a type modified since may get back the tag it had. Both first
// invalidate every tag (through object), and that is what a cache must watch.
inline constexpr bool version_tags_repeat = PY_VERSION_HEX < 0x030B0000;

// Whether `type` still has a valid tag; only for the versions above, where
// the flag says so (3.13 no longer keeps it).
inline bool type_version_tag_valid(PyTypeObject* type) {
    return PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG);
}

// The instance dict pointer of `object`, nullptr when it has none. Before
// 3.11 a positive tp_dictoffset locates it without a call.
inline PyObject** dict_pointer(PyObject* object) {
#if PY_VERSION_HEX < 0x030B0000
    const Py_ssize_t offset = Py_TYPE(object)->tp_dictoffset;
    if (offset > 0) return reinterpret_cast<PyObject**>(reinterpret_cast<char*>(object) + offset);
#endif
    return _PyObject_GetDictPtr(object);
}

// Whether an object's instance dict pointer may be read without side effect
// on the object. From 3.11 reading it makes a real dict of the object's inline
// values: 3.11 and 3.12 then no longer specialise reads of its attributes, and
// 3.13 still allocates that dict for every object read so.
inline constexpr bool dict_pointer_is_harmless = PY_VERSION_HEX < 0x030B0000;

// The call slot of a Python function (PyFunctionObject.vectorcall since 3.8).
inline vectorcallfunc function_vectorcall(PyObject* function) {
    return reinterpret_cast<PyFunctionObject*>(function)->vectorcall;
}

// Whether the interpreter checks the recursion limit on entering every Python
// frame, so that a C caller need not count the call itself: since 3.12.
inline constexpr bool eval_counts_recursion = PY_VERSION_HEX >= 0x030C0000;

}  // namespace python_objects::compat
