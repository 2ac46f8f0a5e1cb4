// Every difference between CPython 3.8 and 3.15 that the modules meet, in one
// place. Each shim names the version that brought the real API, so it can go
// once that version is the minimum.
#pragma once

#include <Python.h>

#include <cstdint>
#include <utility>
#ifdef __SANITIZE_THREAD__
#include <sanitizer/tsan_interface.h>
#endif

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

// The thread state of the running thread, without the check that it has one.
// A daemon thread that the interpreter ends at exit unwinds without it (3.12
// and 3.13 show none, 3.9 to 3.11 that of the finalizing thread), so what it
// unwinds must touch no thread state. Public as PyThreadState_GetUnchecked
// since 3.13.
inline PyThreadState* current_thread_state() {
#if PY_VERSION_HEX >= 0x030D0000
    return PyThreadState_GetUnchecked();
#else
    return _PyThreadState_UncheckedGet();
#endif
}

// Whether the interpreter makes sure that the keyword names of a vectorcall
// are strings: since 3.9. 3.8 passes `f(**{b"k": 1})` on unchecked.
inline constexpr bool keyword_names_are_strings = PY_VERSION_HEX >= 0x03090000;

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

// A type's version tag read while other threads may assign it (free-threaded builds).
inline unsigned int load_version_tag(PyTypeObject* type) {
#ifdef Py_GIL_DISABLED
    return __atomic_load_n(&type->tp_version_tag, __ATOMIC_RELAXED);
#else
    return type->tp_version_tag;
#endif
}

// A type's valid version tag after a _PyType_Lookup on it, or 0 when it has
// none. PyUnstable_Type_AssignVersionTag since 3.12 (before, the lookup
// assigns it); 3.13 marks a tag invalid by 0 alone, no longer by a flag.
inline unsigned int type_version_tag(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030C0000
    if (!PyUnstable_Type_AssignVersionTag(type)) return 0;
#endif
#if PY_VERSION_HEX >= 0x030D0000
    return load_version_tag(type);
#else
    return PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) ? type->tp_version_tag : 0;
#endif
}

// Whether `type` still has the nonzero tag `tag`: any change to the type or
// its bases since then has invalidated it.
inline bool type_version_tag_is(PyTypeObject* type, unsigned int tag) {
#if PY_VERSION_HEX >= 0x030D0000
    return load_version_tag(type) == tag;
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

// The call slot of a Python function, read through its type rather than the
// struct's field. PyVectorcall_Function since 3.9.
inline vectorcallfunc function_vectorcall(PyObject* function) {
#if PY_VERSION_HEX >= 0x03090000
    return PyVectorcall_Function(function);
#else
    return _PyVectorcall_Function(function);
#endif
}

// Whether the interpreter checks the recursion limit on entering every Python
// frame, so that a C caller need not count the call itself: since 3.12.
inline constexpr bool eval_counts_recursion = PY_VERSION_HEX >= 0x030C0000;

// Whether exceptions take notes (BaseException.add_note, __notes__): since 3.11.
inline constexpr bool exceptions_have_notes = PY_VERSION_HEX >= 0x030B0000;
// ---- Private and version-sensitive API of the locking module ---------------

// Whether `name` is found on `type` or its bases, as _PyType_Lookup finds it
// (no descriptor call, no Python code). Free-threaded builds need the strong
// reference of _PyType_LookupRef (3.13), which every build uses from then on.
inline bool type_has_attribute(PyTypeObject* type, PyObject* name) {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* found = _PyType_LookupRef(type, name);
    Py_XDECREF(found);
    return found != nullptr;
#else
    return _PyType_Lookup(type, name) != nullptr;
#endif
}

// Before 3.11 (where version tags repeat): arms `guard`, a type made only for
// this, so that it loses its valid tag with every other type when all tags are
// invalidated at once. Python code cannot arm it again by looking it up: 3.8
// and 3.9 give no tag to a type without Py_TPFLAGS_HAVE_VERSION_TAG, and 3.10,
// which ignores that flag, cannot find it (its base hides it). Only this sets
// its valid flag, and only while its base, whose invalidation reaches it, has
// a valid tag itself.
inline void disarm_version_guard_lookups(PyTypeObject* guard) {
#if PY_VERSION_HEX < 0x030B0000
    guard->tp_flags &= ~(Py_TPFLAGS_HAVE_VERSION_TAG | Py_TPFLAGS_VALID_VERSION_TAG);
#else
    (void)guard;
#endif
}
inline void arm_version_guard(PyTypeObject* guard, PyObject* any_interned_name) {
#if PY_VERSION_HEX < 0x030B0000
    _PyType_Lookup(guard->tp_base, any_interned_name);
    if (PyType_HasFeature(guard->tp_base, Py_TPFLAGS_VALID_VERSION_TAG))
        guard->tp_flags |= Py_TPFLAGS_VALID_VERSION_TAG;
#else
    (void)guard;
    (void)any_interned_name;
#endif
}

// `object.name` for an object whose type reads attributes by the generic
// lookup (checked by the caller), without the dispatch on tp_getattro in
// front of it: 1 found, 0 missing (no error), -1 error. Private but declared
// in every version from 3.8 to 3.15; no public call skips that dispatch.
inline int generic_get_optional_attr(PyObject* object, PyObject* name, PyObject** result) {
    *result = _PyObject_GenericGetAttrWithDict(object, name, nullptr, 1);
    if (*result != nullptr) return 1;
    return PyErr_Occurred() ? -1 : 0;
}

// The method table entry behind a builtin method object, and its C function
// as the type `Function`. PyCFunctionObject's fields are not part of the
// limited API but have kept their layout since 3.8.
inline const PyMethodDef* c_method_definition(PyObject* builtin_method) {
    return reinterpret_cast<PyCFunctionObject*>(builtin_method)->m_ml;
}
template <class Function>
Function c_method_function(PyObject* builtin_method) {
    PyCFunction function = c_method_definition(builtin_method)->ml_meth;
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(function));
}

// `method(False)` for a builtin method of either calling convention that
// takes keywords: METH_FASTCALL since 3.10 for the semaphore's acquire, a
// tuple (`false_tuple`, holding False alone) on 3.8 and 3.9. PyCFunctionFastWithKeywords
// is public since 3.13 (underscored before). nullptr without an error: another convention.
#if PY_VERSION_HEX >= 0x030D0000
using FastWithKeywords = PyCFunctionFastWithKeywords;
#else
using FastWithKeywords = _PyCFunctionFastWithKeywords;
#endif
inline bool calls_c_method_with_false(PyObject* builtin_method) {
    const int flags = c_method_definition(builtin_method)->ml_flags;
    return flags == (METH_FASTCALL | METH_KEYWORDS) || flags == (METH_VARARGS | METH_KEYWORDS);
}
inline PyObject* call_c_method_with_false(PyObject* builtin_method, PyObject* false_tuple) {
    PyObject* self = PyCFunction_GET_SELF(builtin_method);
    switch (c_method_definition(builtin_method)->ml_flags) {
        case METH_FASTCALL | METH_KEYWORDS: {
            PyObject* arguments[] = {Py_False};
            return c_method_function<FastWithKeywords>(builtin_method)(self, arguments, 1, nullptr);
        }
        case METH_VARARGS | METH_KEYWORDS:  // 3.8 and 3.9; retires with 3.9
            return c_method_function<PyCFunctionWithKeywords>(builtin_method)(self, false_tuple, nullptr);
    }
    return nullptr;
}

// Extra Python recursion depth for this thread, granted (and then taken back)
// around a call that must get through even at the recursion limit: the
// thread's own counters, private fields of PyThreadState. 3.12 and 3.13 also
// count C recursion there; 3.14 checks the C stack itself.
inline void grant_recursion_depth(PyThreadState* thread, int frames) {
#if PY_VERSION_HEX >= 0x030C0000
    thread->py_recursion_remaining += frames;
#if PY_VERSION_HEX < 0x030E0000
    thread->c_recursion_remaining += frames;
#endif
#elif PY_VERSION_HEX >= 0x030B0000
    thread->recursion_remaining += frames;
#else
    thread->recursion_depth -= frames;
#endif
}

// A mutex for data that the GIL guards on GIL builds: a PyMutex on
// free-threaded builds (3.13t on), nothing at all otherwise. Never held while
// Python code runs.
class GilFreeMutex {
public:
#ifdef Py_GIL_DISABLED
    void lock() noexcept {
        PyMutex_Lock(&mutex_);
#ifdef __SANITIZE_THREAD__
        __tsan_acquire(&mutex_);  // an uninstrumented interpreter's lock, told to the sanitizer
#endif
    }
    void unlock() noexcept {
#ifdef __SANITIZE_THREAD__
        __tsan_release(&mutex_);
#endif
        PyMutex_Unlock(&mutex_);
    }

private:
    PyMutex mutex_{};
#else
    void lock() noexcept {}
    void unlock() noexcept {}
#endif
};

// Whether a dict is still as it was, for a read cache of the locking module.
// Before 3.12 the dict's version (ma_version_tag, deprecated in 3.12) changes
// with every change of it, and no other dict ever has a version it had. From
// 3.12 a dict watcher is told of every change of a watched dict, and of its
// end. Free-threaded builds keep no such cache: another thread could change
// the dict between the check and the use.
#ifdef Py_GIL_DISABLED
inline constexpr bool dict_read_cache = false;
#else
inline constexpr bool dict_read_cache = true;
#endif
#if PY_VERSION_HEX >= 0x030C0000
inline constexpr bool dict_changes_are_watched = true;
inline std::uint64_t dict_version(PyObject*) { return 0; }
// The id of a watcher that calls `forget(dict)` on every event, or -1 when the
// interpreter has no watcher slot left.
inline int add_dict_watcher(void (*forget)(PyObject* dict)) {
    static void (*forget_dict)(PyObject*) = nullptr;
    forget_dict = forget;
    const int id = PyDict_AddWatcher([](PyDict_WatchEvent, PyObject* dict, PyObject*, PyObject*) {
        forget_dict(dict);
        return 0;
    });
    if (id < 0) PyErr_Clear();
    return id;
}
inline void watch_dict(int watcher, PyObject* dict) {
    if (PyDict_Watch(watcher, dict) < 0) PyErr_Clear();
}
inline void unwatch_dict(int watcher, PyObject* dict) {
    if (PyDict_Unwatch(watcher, dict) < 0) PyErr_Clear();
}
// Cannot fail for an id that add_dict_watcher gave, so that it may run while an error propagates.
inline void clear_dict_watcher(int watcher) noexcept { (void)PyDict_ClearWatcher(watcher); }
#else
inline constexpr bool dict_changes_are_watched = false;
inline std::uint64_t dict_version(PyObject* dict) { return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag; }
inline int add_dict_watcher(void (*)(PyObject*)) { return 0; }
inline void watch_dict(int, PyObject*) {}
inline void unwatch_dict(int, PyObject*) {}
inline void clear_dict_watcher(int) noexcept {}
#endif

// ---- Strong references where another thread may change what is read.

// dict[key] as a new reference in *result: 1 found, 0 missing, -1 error. A
// borrowed value can be freed by another thread on a free-threaded build.
// PyDict_GetItemRef since 3.13.
inline int dict_get_ref(PyObject* dict, PyObject* key, PyObject** result) {
#if PY_VERSION_HEX >= 0x030D0000
    return PyDict_GetItemRef(dict, key, result);
#else
    *result = PyDict_GetItemWithError(dict, key);
    if (*result == nullptr) return PyErr_Occurred() ? -1 : 0;
    Py_INCREF(*result);
    return 1;
#endif
}

// What `name` is on `type` through its MRO, as a new reference (nullptr when
// missing; no exception is set). _PyType_LookupRef since 3.14, which keeps the
// result alive against a concurrent change of the type; before, the borrowed
// result of _PyType_Lookup, taken at once.
inline PyObject* type_lookup_ref(PyTypeObject* type, PyObject* name) {
#if PY_VERSION_HEX >= 0x030E0000
    return _PyType_LookupRef(type, name);
#else
    PyObject* found = _PyType_Lookup(type, name);
    Py_XINCREF(found);
    return found;
#endif
}

// The builtins that code called now would see, as a new reference.
// PyEval_GetFrameBuiltins since 3.13.
inline PyObject* frame_builtins() {
#if PY_VERSION_HEX >= 0x030D0000
    return PyEval_GetFrameBuiltins();
#else
    PyObject* builtins = PyEval_GetBuiltins();
    Py_XINCREF(builtins);
    return builtins;
#endif
}

// The sign of an int: -1, 0 or 1 in *sign; -1 and TypeError for a non-int.
// PyLong_GetSign since 3.14 (which deprecates _PyLong_Sign).
inline int long_sign(PyObject* value, int* sign) {
#if PY_VERSION_HEX >= 0x030E0000
    return PyLong_GetSign(value, sign);
#else
    if (!PyLong_Check(value)) {
        PyErr_Format(PyExc_TypeError, "expect int, got %s", Py_TYPE(value)->tp_name);
        return -1;
    }
    *sign = _PyLong_Sign(value);
    return 0;
#endif
}

// Sets the interpreter's ValueError for unpacking `item` into `expected`
// targets when it yields more: since 3.14 it adds the length of an exact
// tuple, list or dict.
inline void set_too_many_values_error(PyObject* item, int expected) {
#if PY_VERSION_HEX >= 0x030E0000
    if (PyTuple_CheckExact(item) || PyList_CheckExact(item) || PyDict_CheckExact(item)) {
        const Py_ssize_t length = PyDict_CheckExact(item) ? PyDict_GET_SIZE(item) : Py_SIZE(item);
        if (length > expected) {
            PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %d, got %zd)", expected, length);
            return;
        }
    }
#endif
    (void)item;
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %d)", expected);
}

// Whether functions have __annotate__ (lazily evaluated annotations): since 3.14.
inline constexpr bool functions_have_annotate = PY_VERSION_HEX >= 0x030E0000;

// The TypeError for an __annotate__ that returned `result`, no dict, as the
// version words it: reworded in 3.15.
inline void set_annotate_returned_non_dict(PyObject* result) {
#if PY_VERSION_HEX >= 0x030F0000
    PyErr_Format(PyExc_TypeError, "__annotate__() must return a dict, not %T", result);
#else
    PyErr_Format(PyExc_TypeError, "__annotate__ returned non-dict of type '%.100s'", Py_TYPE(result)->tp_name);
#endif
}

// ---- Free-threaded builds (--disable-gil, 3.13+).

// The module slot that declares the module safe without the GIL: without it
// importing the module turns the GIL back on. Py_mod_gil since 3.13.
#if PY_VERSION_HEX >= 0x030D0000
inline constexpr bool has_gil_slot = true;
inline PyModuleDef_Slot gil_not_used_slot() { return {Py_mod_gil, Py_MOD_GIL_NOT_USED}; }
#else
inline constexpr bool has_gil_slot = false;
inline PyModuleDef_Slot gil_not_used_slot() { return {0, nullptr}; }
#endif

// For a scope, the per-object lock that guards `object`'s fields on a
// free-threaded build (a critical section: suspended while the thread blocks,
// so it cannot deadlock with another); nothing with a GIL, which guards them.
// PyCriticalSection since 3.13.
// Under ThreadSanitizer the section is told to it as well: the interpreter
// is not instrumented, so its lock would otherwise go unseen.
class ObjectCriticalSection {
public:
#ifdef Py_GIL_DISABLED
    explicit ObjectCriticalSection(PyObject* object) noexcept : object_(object) {
        PyCriticalSection_Begin(&section_, object);
#ifdef __SANITIZE_THREAD__
        __tsan_acquire(object_);
#endif
    }
    ~ObjectCriticalSection() {
#ifdef __SANITIZE_THREAD__
        __tsan_release(object_);
#endif
        PyCriticalSection_End(&section_);
    }
#else
    explicit ObjectCriticalSection(PyObject*) noexcept {}
#endif
    ObjectCriticalSection(const ObjectCriticalSection&) = delete;
    ObjectCriticalSection& operator=(const ObjectCriticalSection&) = delete;

private:
#ifdef Py_GIL_DISABLED
    PyObject* object_;
    PyCriticalSection section_;
#endif
};

}  // namespace python_objects::compat
