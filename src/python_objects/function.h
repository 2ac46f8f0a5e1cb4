// The module's callable type: a function implemented in C++ that behaves like
// a Python function. It binds like a method, carries writable metadata and a
// __dict__ (so functools.wraps works), binds arguments with the interpreter's
// TypeError wording, looks its module globals up at each use, pickles by
// qualified name and answers inspect.signature().
#pragma once

#include "ref.h"

#include <array>
#include <initializer_list>
#include <vector>

namespace python_objects {

// The parameter list of a function: positional-or-keyword names, then
// keyword-only names, with optional *args and **kwargs.
struct Signature {
    static constexpr int max_parameters = 8;
    std::array<const char*, max_parameters> names{};  // positional first, then keyword-only
    int positional_count = 0;
    int keyword_only_count = 0;
    const char* varargs = nullptr;
    const char* varkw = nullptr;

    constexpr int parameter_count() const { return positional_count + keyword_only_count; }
};

constexpr Signature signature(std::initializer_list<const char*> positional,
                              std::initializer_list<const char*> keyword_only = {},
                              const char* varargs = nullptr, const char* varkw = nullptr) {
    Signature result;
    for (const char* name : positional) result.names[result.positional_count++] = name;
    for (const char* name : keyword_only)
        result.names[result.positional_count + result.keyword_only_count++] = name;
    result.varargs = varargs;
    result.varkw = varkw;
    return result;
}

struct Function;

// The bound arguments of one call, in parameter order (borrowed references,
// kept alive by the caller's argument array or by the defaults held here).
struct Arguments {
    std::array<PyObject*, Signature::max_parameters> values{};
    Ref varargs;  // tuple, when the signature has *args
    Ref varkw;    // new dict, when the signature has **kwargs
    Ref defaults;  // the __defaults__ / __kwdefaults__ read at call time
    Ref kwdefaults;

    PyObject* operator[](int index) const noexcept { return values[index]; }
};

using FunctionBody = Ref (*)(Function& function, Arguments& arguments);

// What a function is, fixed at compile time. A function whose hot path binds
// its own arguments supplies `vectorcall`; the others get generic binding.
struct FunctionSpec {
    const char* name;
    const char* qualname;
    const char* doc;  // nullptr: no docstring
    Signature parameters;
    FunctionBody body = nullptr;
    vectorcallfunc vectorcall = nullptr;
};

struct Function {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionSpec* spec;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* annotations;     // created on first read
    PyObject* dict;
    PyObject* defaults;        // tuple or nullptr
    PyObject* kwdefaults;      // dict or nullptr
    PyObject* globals;         // the defining module's namespace
    PyObject* wrapped;         // the callable a wrapper calls (a locked method), or nullptr
    PyObject* defining_class;  // what zero-argument super() finds; set after class creation
    PyObject* weakreflist;
};

struct FunctionOptions {
    PyObject* wrapped = nullptr;
    PyObject* defaults = nullptr;    // tuple
    PyObject* kwdefaults = nullptr;  // dict
};

// Readies the type; called by each module's exec step before it makes functions.
void ready_function_type();

Ref make_function(const FunctionSpec& spec, PyObject* globals, const FunctionOptions& options = {});

inline Function& as_function(PyObject* object) { return *reinterpret_cast<Function*>(object); }

// The class that zero-argument super() would use inside `function`.
void set_defining_class(PyObject* function, PyObject* cls);

// Generic binding (binding.cpp).
Arguments bind_arguments(Function& function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// The interpreter's TypeErrors for bad calls, for functions that bind by hand.
[[noreturn]] void raise_missing_arguments(Function& function, const char* kind,
                                          std::initializer_list<const char*> names);
[[noreturn]] void raise_missing_arguments(Function& function, const char* kind, const std::vector<const char*>& names);
[[noreturn]] void raise_multiple_values(Function& function, PyObject* parameter);

}  // namespace python_objects
