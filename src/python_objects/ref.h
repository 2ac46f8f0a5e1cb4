// Owned references and the one error idiom of the layer.
//
// A failed CPython call leaves a Python exception set and throws PythonError;
// every function the interpreter calls into turns whatever was thrown back
// into the NULL / -1 the interpreter expects (see entry_point below).
#pragma once

#include <Python.h>

#include "compat.h"

#include <cassert>
#include <exception>
#include <new>
#include <stdexcept>
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
    ~Ref() {
        if (object_ == nullptr) return;
        // The last reference of a thread that the interpreter ends at exit
        // (pthread_exit unwinds it without the GIL) is left to the process's
        // end: freeing the object then would touch a finalizing interpreter.
        if (Py_REFCNT(object_) == 1 && !PyGILState_Check()) return;
        Py_DECREF(object_);
    }

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

// A C++ exception of the layer's own code as the Python error the interpreter
// expects: a C++ exception must not unwind into the interpreter's C frames, so
// what the layer did not throw on purpose becomes a SystemError naming
// `where`, the function that was called.
[[gnu::cold, gnu::noinline]] inline void set_error_from_exception(const char* where,
                                                                  const std::exception& error) noexcept {
    if (dynamic_cast<const std::bad_alloc*>(&error) != nullptr)
        PyErr_NoMemory();
    else
        PyErr_Format(PyExc_SystemError, "%s: unexpected C++ exception: %s", where, error.what());
}

// Runs the body of an entry point, the function called `where`; a failure
// becomes the interpreter's NULL (for PyObject*) or -1 (for int).
//
// Every exception the layer and the modules throw is caught: PythonError and
// the standard library's. A forced unwind, how glibc ends a thread (the
// interpreter ends a daemon thread so when it wants the GIL back at exit),
// must pass through as it passes the interpreter's own C frames. It is not
// caught at all, not even to be rethrown: catching it while another exception
// is being handled further out aborts the process, and so does reaching a
// noexcept frame. Entry points, and the functions handed to the interpreter
// that call them, are therefore not noexcept and have no catch-all.
template <class Body>
PyObject* entry_point(const char* where, Body&& body) {
    try {
        return body().release();
    } catch (const PythonError&) {
        assert(PyErr_Occurred() != nullptr && "PythonError caught with no Python error set");
        return nullptr;
    } catch (const std::exception& error) {
        set_error_from_exception(where, error);
        return nullptr;
    }
}

template <class Body>
int entry_point_status(const char* where, Body&& body) {
    try {
        body();
        return 0;
    } catch (const PythonError&) {
        assert(PyErr_Occurred() != nullptr && "PythonError caught with no Python error set");
        return -1;
    } catch (const std::exception& error) {
        set_error_from_exception(where, error);
        return -1;
    }
}

// Runs `step`; when it throws, runs `undo` and rethrows: in place of a
// catch-all that rethrows (see entry_point), it names the exceptions of the
// layer, so that a thread ended meanwhile passes and leaves nothing undone.
// `undo` must not throw.
template <class Step, class Undo>
decltype(auto) undo_on_error(Step&& step, Undo&& undo) {
    try {
        return step();
    } catch (const PythonError&) {
        undo();
        throw;
    } catch (const std::exception&) {
        undo();
        throw;
    }
}

// The header of a static type object; the rest is filled in before PyType_Ready.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
constexpr PyTypeObject static_type_header() { return PyTypeObject{PyVarObject_HEAD_INIT(nullptr, 0)}; }
#pragma GCC diagnostic pop

// Py_EnterRecursiveCall for the span of a scope: a C++ call chain that
// recurses through Python ends in RecursionError, not in a stack overflow.
// A thread ended by the interpreter at exit leaves without its thread state.
class RecursionGuard {
public:
    RecursionGuard() : thread_(compat::current_thread_state()) {
        if (Py_EnterRecursiveCall(" while calling a Python object")) throw PythonError{};
    }
    ~RecursionGuard() {
        if (compat::current_thread_state() == thread_) Py_LeaveRecursiveCall();
    }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;

private:
    PyThreadState* thread_;
};

}  // namespace python_objects
