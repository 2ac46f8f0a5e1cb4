// Calling into Python from C++: interned names, attribute reads, vectorcalls,
// module globals and the handled-exception state.
#pragma once

#include "compat.h"
#include "ref.h"

#include <type_traits>
#include <utility>


namespace python_objects {

// An interned attribute or keyword name. Every Name of a shared library
// registers itself when the library is loaded, and the module's create step
// interns them all: a name cannot be declared and then left uninterned. The
// Python objects are made only then because no Python API may be called before
// the interpreter exists, and because the order of static initialisation
// across files is not ours to choose.
class Name {
public:
    explicit Name(const char* text) noexcept : text_(text), next_(registered_) { registered_ = this; }
    Name(const Name&) = delete;
    Name& operator=(const Name&) = delete;

    operator PyObject*() const noexcept { return object_; }
    const char* text() const noexcept { return text_; }

    // Interns every Name of this shared library; later calls do nothing.
    static void intern_registered();

private:
    // Constant-initialised, so it is valid before any Name registers.
    static inline Name* registered_ = nullptr;
    const char* text_;
    Name* next_;
    PyObject* object_ = nullptr;  // lives as long as the process: never released
};

// A tuple of keyword names for vectorcalls, made when the names are interned.
class KeywordNames {
public:
    template <class... Names>
    explicit KeywordNames(Names&... names) noexcept : names_{&names...}, count_(sizeof...(Names)), next_(registered_) {
        static_assert(sizeof...(Names) <= 4, "KeywordNames holds at most four names");
        registered_ = this;
    }
    KeywordNames(const KeywordNames&) = delete;
    KeywordNames& operator=(const KeywordNames&) = delete;

    operator PyObject*() const noexcept { return tuple_; }

    static void make_registered();

private:
    static inline KeywordNames* registered_ = nullptr;
    Name* names_[4];
    Py_ssize_t count_;
    KeywordNames* next_;
    PyObject* tuple_ = nullptr;  // lives as long as the process
};

// Names every part of the layer and both modules use.
inline Name name_dunder_name("__name__");

// `for item in iterable: visit(item)`, with a strong reference on each item
// while `visit` runs. A `visit` that returns bool stops the loop on false.
template <class Visit>
void for_each(PyObject* iterable, Visit&& visit) {
    Ref iterator = check(PyObject_GetIter(iterable));
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        if constexpr (std::is_same_v<decltype(visit(item.get())), bool>) {
            if (!visit(item.get())) return;
        } else {
            visit(item.get());
        }
    }
    throw_if_error_set();
}

// dict[key] as an owned reference, or an empty Ref when the key is missing.
inline Ref dict_get(PyObject* dict, PyObject* key) {
    PyObject* value = PyDict_GetItemWithError(dict, key);
    if (value == nullptr) throw_if_error_set();
    return Ref::borrow(value);
}

inline Ref get_attr(PyObject* object, PyObject* name) { return check(PyObject_GetAttr(object, name)); }

inline void set_attr(PyObject* object, PyObject* name, PyObject* value) {
    check_status(PyObject_SetAttr(object, name, value));
}

// callable(*args): positional arguments only.
template <class... Args>
Ref call(PyObject* callable, Args... args) {
    PyObject* argv[sizeof...(Args) + 1] = {nullptr, args...};
    return check(compat::vectorcall(callable, argv + 1, sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// callable(*positional, **dict(zip(kwnames, keyword values))): the last
// len(kwnames) arguments are the keyword values.
template <class... Args>
Ref call_with_keywords(PyObject* callable, PyObject* kwnames, Args... args) {
    PyObject* argv[sizeof...(Args) + 1] = {nullptr, args...};
    const size_t positional = sizeof...(Args) - static_cast<size_t>(PyTuple_GET_SIZE(kwnames));
    return check(compat::vectorcall(callable, argv + 1, positional | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

// object.name(*args), with the attribute read first, as Python does.
template <class... Args>
Ref call_method(PyObject* object, PyObject* name, Args... args) {
    Ref method = get_attr(object, name);
    return call(method.get(), args...);
}

// `callable(..., **mapping)`: adds the items of `mapping` to the dict
// `keywords`, with the interpreter's complaints about a non-mapping, a key that
// is not a string and a keyword given twice (binding.cpp).
void merge_keywords(PyObject* callable, PyObject* keywords, PyObject* mapping);

// len(sized).
inline Py_ssize_t length_of(PyObject* sized) {
    const Py_ssize_t length = PyObject_Size(sized);
    if (length < 0) throw PythonError{};
    return length;
}

// `first, second = item`, with the interpreter's errors.
inline std::pair<Ref, Ref> unpack_pair(PyObject* item) {
    if (PyTuple_CheckExact(item) && PyTuple_GET_SIZE(item) == 2)
        return {Ref::borrow(PyTuple_GET_ITEM(item, 0)), Ref::borrow(PyTuple_GET_ITEM(item, 1))};
    Ref iterator = Ref::steal(PyObject_GetIter(item));
    if (!iterator) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(item)->tp_name);
        }
        throw PythonError{};
    }
    Ref values[2];
    for (int i = 0; i < 2; ++i) {
        values[i] = Ref::steal(PyIter_Next(iterator.get()));
        if (!values[i]) {
            throw_if_error_set();
            raise_format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
        }
    }
    Ref extra = Ref::steal(PyIter_Next(iterator.get()));
    if (extra) raise_error(PyExc_ValueError, "too many values to unpack (expected 2)");
    throw_if_error_set();
    return {values[0], values[1]};
}

// A module global as the function body would see it: the module namespace,
// then the builtins; NameError otherwise. Read at each use, never cached.
Ref lookup_global(PyObject* globals, PyObject* name);

// The exception an `except` or `finally` block would be handling, for the
// span of a scope: sys.exc_info() and the __context__ of a new error see it.
// Only the current level changes, and it gets back exactly what it had.
class HandlingException {
public:
    explicit HandlingException(PyObject* exception)
        : level_(compat::current_handled_level()), state_(compat::handled_state_of(exception)) {
        compat::exchange_handled(level_, state_);
    }
    ~HandlingException() {
        compat::exchange_handled(level_, state_);
        compat::release_handled(state_);
    }
    HandlingException(const HandlingException&) = delete;
    HandlingException& operator=(const HandlingException&) = delete;

private:
    _PyErr_StackItem* level_;
    compat::HandledException state_;
};

// Cleaning up while an error propagates, as `try: ... finally: cleanup()`
// does: the error being raised (one must be) is the handled one while
// `cleanup` runs, then it is raised again, traceback and all. An error of the
// cleanup replaces it, with it as __context__. The thread's exception state is
// otherwise left as it was.
template <class Cleanup>
[[noreturn]] void clean_up_and_reraise(Cleanup&& cleanup) {
    Ref error = Ref::steal(compat::fetch_raised_exception());
    {
        HandlingException handling(error.get());
        cleanup();
    }
    compat::restore_raised_exception(error.release());
    throw PythonError{};
}

}  // namespace python_objects
