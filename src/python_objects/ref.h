// Owned references and the one error idiom of the layer.
//
// A failed CPython call leaves a Python exception set and throws PythonError;
// every function the interpreter calls into turns whatever was thrown back
// into the NULL / -1 the interpreter expects (see entry_point below).
#pragma once

#include <Python.h>

#include <cassert>
#include <cxxabi.h>
#include <exception>
#include <new>
#include <utility>

namespace python_objects {

// Thrown when a Python exception is set. Carries nothing: the interpreter's
// error indicator is the one source of truth.
struct PythonError {
    PythonError() noexcept { assert(PyErr_Occurred() != nullptr && "PythonError thrown with no Python error set"); }
};

// An owned (strong) reference. Never adopts a raw pointer silently: use
// Ref::steal for a new reference and Ref::borrow for a borrowed one.
class Ref {
public:
    Ref() noexcept = default;
    static Ref steal(PyObject* object) noexcept { return Ref(object); }
    static Ref borrow(PyObject* object) noexcept {
        Py_XINCREF(object);
        return Ref(object);
    }

    Ref(const Ref& other) noexcept : object_(other.object_) { Py_XINCREF(object_); }
    Ref(Ref&& other) noexcept : object_(other.object_) { other.object_ = nullptr; }
    Ref& operator=(Ref other) noexcept {
        std::swap(object_, other.object_);
        return *this;
    }
    ~Ref() { Py_XDECREF(object_); }

    PyObject* get() const noexcept { return object_; }
    // Hands the reference over to the caller (for returning to the interpreter).
    PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    explicit operator bool() const noexcept { return object_ != nullptr; }

private:
    explicit Ref(PyObject* object) noexcept : object_(object) {}
    PyObject* object_ = nullptr;
};

// A new reference from an API call, or PythonError when the call failed.
inline Ref check(PyObject* new_reference) {
    if (new_reference == nullptr) throw PythonError{};
    return Ref::steal(new_reference);
}

// A status from an API call that returns -1 on failure.
inline int check_status(int status) {
    if (status < 0) throw PythonError{};
    return status;
}

// Sets a Python exception and throws: the one way to fail with a new error.
[[noreturn]] inline void raise_error(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw PythonError{};
}

// As raise_error, with PyUnicode_FromFormat's format and arguments.
template <class... Args>
[[noreturn]] void raise_format(PyObject* type, const char* format, Args... args) {
    PyErr_Format(type, format, args...);
    throw PythonError{};
}

// Throws when a Python call reported failure by NULL or -1 with no value.
inline void throw_if_error_set() {
    if (PyErr_Occurred()) throw PythonError{};
}

// Truth value, as `if x:` takes it.
inline bool is_true(PyObject* object) { return check_status(PyObject_IsTrue(object)) != 0; }

// Inside a catch handler of an entry point: the exception being handled as
// the Python error the interpreter expects. A C++ exception must not unwind
// into the interpreter's C frames, so whatever the layer did not throw on
// purpose becomes a SystemError naming `where`, the function that was called.
[[gnu::cold, gnu::noinline]] inline void set_error_from_exception(const char* where) noexcept {
    try {
        throw;
    } catch (const PythonError&) {
        assert(PyErr_Occurred() != nullptr && "PythonError caught with no Python error set");
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        PyErr_Format(PyExc_SystemError, "%s: unexpected C++ exception: %s", where, error.what());
    } catch (...) {
        PyErr_Format(PyExc_SystemError, "%s: unexpected C++ exception", where);
    }
}

// Runs the body of an entry point, the function called `where`; a failure
// becomes the interpreter's NULL (for PyObject*) or -1 (for int).
//
// A forced unwind is how glibc ends a thread (pthread_exit, which the
// interpreter calls for a daemon thread that wants the GIL back at exit): it
// must pass through, as it passes through the interpreter's own C frames.
// Swallowing it aborts the process, and so does letting it reach a noexcept
// frame: entry points, and the functions handed to the interpreter that call
// them, are therefore not noexcept.
template <class Body>
PyObject* entry_point(const char* where, Body&& body) {
    try {
        return body().release();
    } catch (const abi::__forced_unwind&) {
        throw;
    } catch (...) {
        set_error_from_exception(where);
        return nullptr;
    }
}

template <class Body>
int entry_point_status(const char* where, Body&& body) {
    try {
        body();
        return 0;
    } catch (const abi::__forced_unwind&) {
        throw;
    } catch (...) {
        set_error_from_exception(where);
        return -1;
    }
}

// The header of a static type object; the rest is filled in before PyType_Ready.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
constexpr PyTypeObject static_type_header() { return PyTypeObject{PyVarObject_HEAD_INIT(nullptr, 0)}; }
#pragma GCC diagnostic pop

// Py_EnterRecursiveCall for the span of a scope: a C++ call chain that
// recurses through Python ends in RecursionError, not in a stack overflow.
class RecursionGuard {
public:
    RecursionGuard() {
        if (Py_EnterRecursiveCall(" while calling a Python object")) throw PythonError{};
    }
    ~RecursionGuard() { Py_LeaveRecursiveCall(); }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
};

}  // namespace python_objects
