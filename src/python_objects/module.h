// Multi-phase initialisation of a module that exists at most once per process
// and in one interpreter only, and the imports a module body makes.
#pragma once

#include "ref.h"

#include <cstdint>

namespace python_objects {

using ModuleBody = void (*)(PyObject* globals);

// One extension module: its definition for multi-phase init, and its create
// and exec steps. Each shared library defines exactly one. It holds plain data
// only and is constant-initialised, so it is complete before any code of the
// library runs, whatever the order of static initialisation across files; the
// Python objects it refers to are made in create and exec, since no Python API
// may be called before the interpreter exists.
class SingleModule {
public:
    constexpr SingleModule(const char* short_name, ModuleBody body) noexcept : short_name_(short_name), body_(body) {}

    // What PyInit_<name> returns.
    PyObject* definition() noexcept;

    // Py_mod_create: the cached module when this process has one.
    PyObject* create(PyObject* spec);
    // Py_mod_exec: runs the body once; a failed body leaves nothing cached.
    int exec(PyObject* module);

private:
    const char* short_name_;
    ModuleBody body_;
    PyObject* module_ = nullptr;
    bool initialised_ = false;
    std::int64_t interpreter_id_ = -1;
    PyModuleDef_Slot slots_[4] = {};
    PyMethodDef no_functions_[1] = {};
    PyModuleDef definition_ = {};
};

// `import name` at module level: the top-level module, through builtins.__import__.
Ref import_module(PyObject* globals, const char* name);
// `from name import attribute` (level 0) or `from .name import attribute` (level 1).
Ref import_from(PyObject* globals, const char* name, const char* attribute, int level);

void set_global(PyObject* globals, const char* name, PyObject* value);

}  // namespace python_objects
