// Calling into Python from C++: interned names, attribute reads, vectorcalls,
// module globals and the handled-exception state.
#pragma once

#include "compat.h"
#include "ref.h"

#include <initializer_list>

namespace python_objects {

// An interned attribute or keyword name. Constant-initialised, so a fork can
// never copy it half-built; `intern` runs once per module exec.
class Name {
public:
    constexpr explicit Name(const char* text) noexcept : text_(text) {}
    operator PyObject*() const noexcept { return object_; }
    const char* text() const noexcept { return text_; }
    void intern() {
        if (object_ == nullptr) object_ = check(PyUnicode_InternFromString(text_)).release();
    }

private:
    const char* text_;
    PyObject* object_ = nullptr;  // immortal for our purposes: never released
};

inline void intern_all(std::initializer_list<Name*> names) {
    for (Name* name : names) name->intern();
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

// A module global as the function body would see it: the module namespace,
// then the builtins; NameError otherwise. Read at each use, never cached.
Ref lookup_global(PyObject* globals, PyObject* name);

// The exception a `finally` block would be handling, for the span of a scope.
class HandlingException {
public:
    explicit HandlingException(PyObject* exception) : previous_(Ref::steal(compat::get_handled_exception())) {
        compat::set_handled_exception(exception);
    }
    ~HandlingException() { compat::set_handled_exception(previous_.get()); }
    HandlingException(const HandlingException&) = delete;
    HandlingException& operator=(const HandlingException&) = delete;

private:
    Ref previous_;
};

}  // namespace python_objects
