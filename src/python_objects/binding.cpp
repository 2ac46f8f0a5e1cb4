// Argument binding with the interpreter's own rules and TypeError wording.
#include "function.h"

#include "calls.h"

#include <string>
#include <vector>

namespace python_objects {
namespace {

Name name_keys("keys");

// 'a'; 'a' and 'b'; 'a', 'b', and 'c': as the interpreter lists missing names.
std::string quoted_list(const std::vector<const char*>& names) {
    std::string text;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i > 0) text += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        text += '\'';
        text += names[i];
        text += '\'';
    }
    return text;
}

[[noreturn]] void raise_missing(Function& function, const char* kind, const std::vector<const char*>& names) {
    const std::string listed = quoted_list(names);
    raise_format(PyExc_TypeError, "%U() missing %zd required %s argument%s: %s", function.qualname,
                 static_cast<Py_ssize_t>(names.size()), kind, names.size() == 1 ? "" : "s", listed.c_str());
}

[[noreturn]] void raise_too_many_positional(Function& function, Py_ssize_t given, Py_ssize_t keyword_only_given,
                                            Py_ssize_t defaults_count) {
    const Signature& parameters = function.spec->parameters;
    const Py_ssize_t accepted = parameters.positional_count;
    Ref accepted_text = check(defaults_count > 0
        ? PyUnicode_FromFormat("from %zd to %zd", accepted - defaults_count, accepted)
        : PyUnicode_FromFormat("%zd", accepted));
    const bool plural = defaults_count > 0 || accepted != 1;
    Ref keyword_only_text = check(keyword_only_given > 0
        ? PyUnicode_FromFormat(" positional argument%s (and %zd keyword-only argument%s)", given != 1 ? "s" : "",
                               keyword_only_given, keyword_only_given != 1 ? "s" : "")
        : PyUnicode_FromString(""));
    raise_format(PyExc_TypeError, "%U() takes %U positional argument%s but %zd%U %s given", function.qualname,
                 accepted_text.get(), plural ? "s" : "", given, keyword_only_text.get(),
                 given == 1 && keyword_only_given == 0 ? "was" : "were");
}

// Index of the parameter called `keyword`, or -1.
int find_parameter(const Signature& parameters, PyObject* keyword) {
    for (int i = 0; i < parameters.parameter_count(); ++i) {
        if (PyUnicode_CompareWithASCIIString(keyword, parameters.names[i]) == 0) return i;
    }
    return -1;
}

// How the interpreter names a callable in a call's TypeError.
const char* callable_name(PyObject* callable) {
    return PyType_Check(callable) ? reinterpret_cast<PyTypeObject*>(callable)->tp_name : PyEval_GetFuncName(callable);
}

void merge_keyword(PyObject* callable, PyObject* keywords, PyObject* key, PyObject* value) {
    if (!PyUnicode_Check(key))
        raise_format(PyExc_TypeError, "%.200s() keywords must be strings", callable_name(callable));
    if (check_status(PyDict_Contains(keywords, key)) > 0)
        raise_format(PyExc_TypeError, "%.200s() got multiple values for keyword argument '%S'", callable_name(callable),
                     key);
    check_status(PyDict_SetItem(keywords, key, value));
}

}  // namespace

void merge_keywords(PyObject* callable, PyObject* keywords, PyObject* mapping) {
    // A dict that keeps the standard iteration is merged from its entries as
    // they stand, as the interpreter does; anything else through keys().
    if (PyDict_Check(mapping) && Py_TYPE(mapping)->tp_iter == PyDict_Type.tp_iter) {
        // The keys' __hash__ and __eq__ run while we merge and may change the
        // mapping: work from a copy that only this loop can see.
        Ref entries = check(PyDict_Copy(mapping));
        PyObject *key, *value;
        Py_ssize_t position = 0;
        while (PyDict_Next(entries.get(), &position, &key, &value)) {
            Ref held_key = Ref::borrow(key), held_value = Ref::borrow(value);
            merge_keyword(callable, keywords, held_key.get(), held_value.get());
        }
        return;
    }
    PyObject* keys_method = nullptr;
    if (check_status(compat::get_optional_attr(mapping, name_keys, &keys_method)) == 0)
        raise_format(PyExc_TypeError, "%.200s() argument after ** must be a mapping, not %.200s",
                     callable_name(callable), Py_TYPE(mapping)->tp_name);
    Py_DECREF(keys_method);
    Ref keys = check(PyMapping_Keys(mapping));
    for_each(keys.get(), [&](PyObject* key) {
        Ref value = check(PyObject_GetItem(mapping, key));
        merge_keyword(callable, keywords, key, value.get());
    });
}

void check_keyword_names(Function& function, PyObject* kwnames) {
    if (compat::keyword_names_are_strings || kwnames == nullptr) return;
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames); ++k) {
        if (!PyUnicode_Check(PyTuple_GET_ITEM(kwnames, k)))
            raise_format(PyExc_TypeError, "%U() keywords must be strings", function.qualname);
    }
}

void raise_missing_arguments(Function& function, const char* kind, std::initializer_list<const char*> names) {
    raise_missing(function, kind, std::vector<const char*>(names));
}

void raise_missing_arguments(Function& function, const char* kind, const std::vector<const char*>& names) {
    raise_missing(function, kind, names);
}

void raise_multiple_values(Function& function, PyObject* parameter) {
    raise_format(PyExc_TypeError, "%U() got multiple values for argument '%S'", function.qualname, parameter);
}

Arguments bind_arguments(Function& function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const Signature& parameters = function.spec->parameters;
    const Py_ssize_t positional_count = parameters.positional_count;
    Arguments bound;

    const Py_ssize_t taken = nargs < positional_count ? nargs : positional_count;
    for (Py_ssize_t i = 0; i < taken; ++i) bound.values[i] = args[i];
    if (parameters.varargs != nullptr) {
        bound.varargs = check(PyTuple_New(nargs - taken));
        for (Py_ssize_t i = taken; i < nargs; ++i) {
            Py_INCREF(args[i]);
            PyTuple_SET_ITEM(bound.varargs.get(), i - taken, args[i]);
        }
    }
    if (parameters.varkw != nullptr) bound.varkw = check(PyDict_New());

    check_keyword_names(function, kwnames);
    Py_ssize_t keyword_only_given = 0;
    const Py_ssize_t keyword_count = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < keyword_count; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        PyObject* value = args[nargs + k];
        const int index = find_parameter(parameters, keyword);
        if (index < 0) {
            if (!bound.varkw)
                raise_format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", function.qualname,
                             keyword);
            check_status(PyDict_SetItem(bound.varkw.get(), keyword, value));
            continue;
        }
        if (bound.values[index] != nullptr) raise_multiple_values(function, keyword);
        bound.values[index] = value;
        if (index >= positional_count) ++keyword_only_given;
    }

    bound.defaults = Ref::borrow(function.defaults);
    const Py_ssize_t defaults_count = bound.defaults ? PyTuple_GET_SIZE(bound.defaults.get()) : 0;
    if (nargs > positional_count && parameters.varargs == nullptr)
        raise_too_many_positional(function, nargs, keyword_only_given, defaults_count);

    std::vector<const char*> missing;
    const Py_ssize_t first_default = positional_count - defaults_count;
    for (Py_ssize_t i = taken; i < positional_count; ++i) {
        if (bound.values[i] != nullptr) continue;
        if (i >= first_default)
            bound.values[i] = PyTuple_GET_ITEM(bound.defaults.get(), i - first_default);
        else
            missing.push_back(parameters.names[i]);
    }
    if (!missing.empty()) raise_missing(function, "positional", missing);

    for (int i = parameters.positional_count; i < parameters.parameter_count(); ++i) {
        if (bound.values[i] != nullptr) continue;
        if (!bound.kwdefaults && function.kwdefaults != nullptr) {
            // The lookups may run a key's __eq__, which may change the dict:
            // the defaults come from a copy that only this call can see.
            const Ref kwdefaults = Ref::borrow(function.kwdefaults);
            bound.kwdefaults = check(PyDict_Copy(kwdefaults.get()));
        }
        Ref fallback;
        if (bound.kwdefaults) {
            Ref key = check(PyUnicode_FromString(parameters.names[i]));
            fallback = dict_get(bound.kwdefaults.get(), key.get());
        }
        if (fallback)
            bound.values[i] = fallback.get();
        else
            missing.push_back(parameters.names[i]);
    }
    if (!missing.empty()) raise_missing(function, "keyword-only", missing);
    return bound;
}

}  // namespace python_objects
