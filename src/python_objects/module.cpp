#include "module.h"

#include "calls.h"
#include "compat.h"
#include "function.h"

namespace python_objects {
namespace {

Name name_import("__import__");
Name name_spec_name("name");

// The module of this shared library, for the slot functions.
SingleModule* this_module = nullptr;

PyObject* create_slot(PyObject* spec, PyModuleDef*) { return this_module->create(spec); }
int exec_slot(PyObject* module) { return this_module->exec(module); }

Ref call_import(PyObject* globals, const char* name, PyObject* fromlist, int level) {
    Ref importer = lookup_global(globals, name_import);
    Ref module_name = check(PyUnicode_FromString(name));
    Ref level_object = check(PyLong_FromLong(level));
    return call(importer.get(), module_name.get(), globals, globals, fromlist, level_object.get());
}

}  // namespace

void Name::intern_registered() {
    for (Name* name = registered_; name != nullptr; name = name->next_)
        if (name->object_ == nullptr) name->object_ = check(PyUnicode_InternFromString(name->text_)).release();
}

void KeywordNames::make_registered() {
    for (KeywordNames* keywords = registered_; keywords != nullptr; keywords = keywords->next_) {
        if (keywords->tuple_ != nullptr) continue;
        Ref tuple = check(PyTuple_New(keywords->count_));
        for (Py_ssize_t i = 0; i < keywords->count_; ++i) {
            PyObject* name = *keywords->names_[i];
            Py_INCREF(name);
            PyTuple_SET_ITEM(tuple.get(), i, name);
        }
        keywords->tuple_ = tuple.release();
    }
}

Ref lookup_global(PyObject* globals, PyObject* name) {
    if (Ref value = dict_get(globals, name)) return value;
    const Ref builtins = check(compat::frame_builtins());
    if (Ref value = dict_get(builtins.get(), name)) return value;
    raise_format(PyExc_NameError, "name '%U' is not defined", name);
}

Ref import_module(PyObject* globals, const char* name) { return call_import(globals, name, Py_None, 0); }

Ref import_from(PyObject* globals, const char* name, const char* attribute, int level) {
    Ref attribute_name = check(PyUnicode_FromString(attribute));
    Ref fromlist = check(PyTuple_Pack(1, attribute_name.get()));
    Ref module = call_import(globals, name, fromlist.get(), level);
    PyObject* value = nullptr;
    if (check_status(compat::get_optional_attr(module.get(), attribute_name.get(), &value)) > 0)
        return Ref::steal(value);
    Ref module_name = get_attr(module.get(), name_dunder_name);
    raise_format(PyExc_ImportError, "cannot import name '%U' from '%U'", attribute_name.get(), module_name.get());
}

void set_global(PyObject* globals, const char* name, PyObject* value) {
    check_status(PyDict_SetItemString(globals, name, value));
}

PyObject* SingleModule::definition() noexcept {
    this_module = this;
    slots_[0] = {Py_mod_create, reinterpret_cast<void*>(create_slot)};
    slots_[1] = {Py_mod_exec, reinterpret_cast<void*>(exec_slot)};
    slots_[2] = compat::gil_not_used_slot();  // {0, nullptr} where there is no such slot
    slots_[3] = {0, nullptr};
    no_functions_[0] = {nullptr, nullptr, 0, nullptr};
    definition_ = {PyModuleDef_HEAD_INIT, short_name_, nullptr, 0, no_functions_, slots_, nullptr, nullptr, nullptr};
    return PyModuleDef_Init(&definition_);
}

PyObject* SingleModule::create(PyObject* spec) {
    return entry_point(short_name_, [&] {
        Name::intern_registered();
        KeywordNames::make_registered();
        const std::int64_t interpreter_id = compat::current_interpreter_id();
        if (interpreter_id < 0) throw PythonError{};
        if (interpreter_id_ < 0) interpreter_id_ = interpreter_id;
        if (interpreter_id != interpreter_id_)
            raise_error(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per "
                        "process.");
        if (module_ != nullptr) return Ref::borrow(module_);

        // __loader__, __file__, __package__ and the rest come from the import
        // system, which sets them from the ModuleSpec between create and exec.
        Ref name = get_attr(spec, name_spec_name);
        Ref module = check(PyModule_NewObject(name.get()));
        module_ = Ref(module).release();
        return module;
    });
}

int SingleModule::exec(PyObject* module) {
    return entry_point_status(short_name_, [&] {
        if (initialised_) {
            if (module == module_) return;
            raise_format(PyExc_RuntimeError,
                         "Module '%s' has already been imported. Re-initialisation is not supported.", short_name_);
        }
        if (module != module_) {
            Py_INCREF(module);
            Py_XSETREF(module_, module);
        }
        undo_on_error(
            [&] {
                ready_function_type();
                body_(PyModule_GetDict(module));
            },
            [&] { Py_CLEAR(module_); });
        initialised_ = true;
    });
}

}  // namespace python_objects
