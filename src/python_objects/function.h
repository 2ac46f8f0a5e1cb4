// The module's callable type: a function implemented in C++ that behaves like
// a Python function. It binds like a method, carries writable metadata and a
// __dict__ (so functools.wraps works), binds arguments with the interpreter's
// TypeError wording, looks its module globals up at each use, pickles by
// qualified name and answers inspect.signature(). On a free-threaded build the
// attributes made or replaced after creation are read and written under the
// function's critical section.
#pragma once

#include "ref.h"

#include <array>
#include <cstddef>
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

// signature({"self", "a"}, {"keyword_only"}, "args", "kwargs"), with {} for
// no keyword-only parameters. The name lists are arrays, so that too many
// names fail to compile rather than overrun `names`.
struct NoNames {};

template <size_t Positional, size_t KeywordOnly = 0>
constexpr Signature make_signature(const char* const* positional, const char* const* keyword_only,
                                   const char* varargs, const char* varkw) {
    static_assert(Positional + KeywordOnly <= Signature::max_parameters, "more parameters than Signature holds");
    Signature result;
    for (size_t i = 0; i < Positional; ++i) result.names[result.positional_count++] = positional[i];
    for (size_t i = 0; i < KeywordOnly; ++i)
        result.names[result.positional_count + result.keyword_only_count++] = keyword_only[i];
    result.varargs = varargs;
    result.varkw = varkw;
    return result;
}

template <size_t Positional>
constexpr Signature signature(const char* const (&positional)[Positional], NoNames = {},
                              const char* varargs = nullptr, const char* varkw = nullptr) {
    return make_signature<Positional>(positional, nullptr, varargs, varkw);
}

template <size_t Positional, size_t KeywordOnly>
constexpr Signature signature(const char* const (&positional)[Positional],
                              const char* const (&keyword_only)[KeywordOnly], const char* varargs = nullptr,
                              const char* varkw = nullptr) {
    return make_signature<Positional, KeywordOnly>(positional, keyword_only, varargs, varkw);
}

struct Function;

// The bound arguments of one call, in parameter order (borrowed references,
// kept alive by the caller's argument array or by the defaults held here).
struct Arguments {
    std::array<PyObject*, Signature::max_parameters> values{};
    Ref varargs;  // tuple, when the signature has *args
    Ref varkw;    // new dict, when the signature has **kwargs
    Ref defaults;    // __defaults__ as it was when the call began
    Ref kwdefaults;  // a copy of __kwdefaults__, made when a default is needed

    PyObject* operator[](int index) const noexcept { return values[index]; }
};

using FunctionBody = Ref (*)(Function& function, Arguments& arguments);

// What a function is, fixed at compile time. A function whose hot path binds
// its own arguments supplies `vectorcall`; the others get generic binding.
// Specs are written positionally, in member order, so a bare nullptr is a
// missing docstring (`doc`) or, before a `vectorcall`, the `body` that such a
// function does not have: {name, qualname, doc, parameters, body, vectorcall}.
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
    PyObject* annotations;     // created on first read, or by calling annotate
    PyObject* annotate;        // callable that makes the annotations (3.14+), or nullptr
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

// TypeError unless every keyword name is a string, as the interpreter checks
// itself from 3.9 on; for functions that bind by hand.
void check_keyword_names(Function& function, PyObject* kwnames);

// The interpreter's TypeErrors for bad calls, for functions that bind by hand.
[[noreturn]] void raise_missing_arguments(Function& function, const char* kind,
                                          std::initializer_list<const char*> names);
[[noreturn]] void raise_missing_arguments(Function& function, const char* kind, const std::vector<const char*>& names);
[[noreturn]] void raise_multiple_values(Function& function, PyObject* parameter);

}  // namespace python_objects
