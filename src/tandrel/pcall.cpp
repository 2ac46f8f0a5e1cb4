// Pcall: one plan of parallel calls, each in its own forked child.
#include "pcall.h"

#include "names.h"
#include "pcall_lifecycle.h"
#include "python_objects/calls.h"
#include "python_objects/classes.h"
#include "python_objects/function.h"

#include <algorithm>
#include <vector>

namespace tandrel {
namespace {

using namespace python_objects;

Py_ssize_t length_of(PyObject* sized) {
    const Py_ssize_t length = PyObject_Size(sized);
    if (length < 0) throw PythonError{};
    return length;
}

// `ChildLabor(index=i, queue=self._queue, **work)`.
Ref make_worker(PyObject* globals, PyObject* self, Py_ssize_t index, PyObject* work) {
    Ref keywords = check(PyDict_New());
    Ref index_object = check(PyLong_FromSsize_t(index));
    check_status(PyDict_SetItem(keywords.get(), name_index, index_object.get()));
    check_status(PyDict_SetItem(keywords.get(), name_queue, get_attr(self, name_private_queue).get()));
    Ref child_labor = lookup_global(globals, global_child_labor);
    merge_keywords(child_labor.get(), keywords.get(), work);
    Ref no_arguments = check(PyTuple_New(0));
    return check(PyObject_Call(child_labor.get(), no_arguments.get(), keywords.get()));
}

Ref init_body(Function& function, Arguments& arguments) {
    PyObject* self = arguments[0];
    set_attr(self, name_targets, arguments[1]);
    set_attr(self, name_timeout, arguments[2]);
    set_attr(self, name_cargs, arguments[3]);
    set_attr(self, name_iargs, check(PySequence_List(arguments[4])).get());
    set_attr(self, name_ckwargs, arguments[5]);
    set_attr(self, name_ikwargs, check(PySequence_List(arguments[6])).get());

    Ref varkwargs = check(PyDict_New());
    PyObject *key, *value;
    Py_ssize_t position = 0;
    while (PyDict_Next(arguments.varkw.get(), &position, &key, &value)) {
        Ref values = check(PySequence_List(value));
        check_status(PyDict_SetItem(varkwargs.get(), key, values.get()));
    }
    set_attr(self, name_varkwargs, varkwargs.get());
    set_attr(self, name_results, Py_None);

    Ref multiprocessing = lookup_global(function.globals, global_multiprocessing);
    set_attr(self, name_private_queue, call_method(multiprocessing.get(), name_simple_queue).get());
    Ref processes = check(PyList_New(0));
    set_attr(self, name_private_processes, processes.get());

    Ref works = call_method(self, name_build_arguments);
    Ref work_iterator = check(PyObject_GetIter(works.get()));
    Py_ssize_t index = 0;
    while (Ref work = Ref::steal(PyIter_Next(work_iterator.get()))) {
        Ref worker = make_worker(function.globals, self, index++, work.get());
        check_status(PyList_Append(get_attr(self, name_private_processes).get(), worker.get()));
    }
    if (PyErr_Occurred()) throw PythonError{};
    return Ref::borrow(Py_None);
}

// The number of children: the shortest non-empty sequence decides; a single
// callable target does not count, and makes one child when all are empty.
Py_ssize_t count_children(PyObject* globals, bool single_target, PyObject* targets, PyObject* iargs, PyObject* ikwargs,
                          const std::vector<Ref>& value_lists) {
    std::vector<Py_ssize_t> counts;
    const Py_ssize_t target_count = single_target ? 0 : length_of(targets);
    if (!single_target) counts.push_back(target_count);
    counts.push_back(length_of(iargs));
    counts.push_back(length_of(ikwargs));
    for (const Ref& values : value_lists) counts.push_back(length_of(values.get()));
    counts.erase(std::remove(counts.begin(), counts.end(), 0), counts.end());
    if (!counts.empty()) {
        const Py_ssize_t children = *std::min_element(counts.begin(), counts.end());
        if (!single_target && target_count == 0) {
            PyErr_Format(PyExc_ValueError, "targets is empty: there is no target for the %zd planned child processes",
                         children);
            throw PythonError{};
        }
        return children;
    }
    if (single_target) return 1;
    // No target and nothing per child: min() of the empty list of counts says so.
    Ref builtin_min = lookup_global(globals, name_min);
    Ref no_counts = check(PyList_New(0));
    call(builtin_min.get(), no_counts.get());
    PyErr_SetString(PyExc_SystemError, "min() of no counts returned a value");
    throw PythonError{};
}

Ref build_arguments_body(Function& function, Arguments& arguments) {
    PyObject* self = arguments[0];
    Ref targets = get_attr(self, name_targets);
    Ref iargs = get_attr(self, name_iargs);
    Ref ikwargs = get_attr(self, name_ikwargs);
    Ref varkwargs = get_attr(self, name_varkwargs);
    std::vector<Ref> keys, value_lists;
    Ref items = check(PyMapping_Items(varkwargs.get()));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        PyObject* item = PyList_GET_ITEM(items.get(), i);
        keys.push_back(Ref::borrow(PyTuple_GET_ITEM(item, 0)));
        value_lists.push_back(Ref::borrow(PyTuple_GET_ITEM(item, 1)));
    }

    const bool single_target = PyCallable_Check(targets.get());
    const Py_ssize_t children =
        count_children(function.globals, single_target, targets.get(), iargs.get(), ikwargs.get(), value_lists);

    Ref target_source;
    if (PyCallable_Check(targets.get())) {
        Ref itertools = lookup_global(function.globals, global_itertools);
        target_source = call_method(itertools.get(), name_repeat, targets.get());
    } else {
        target_source = check(PyObject_GetIter(targets.get()));
    }

    Ref cargs = get_attr(self, name_cargs);
    Ref ckwargs = get_attr(self, name_ckwargs);
    const bool has_iargs = length_of(iargs.get()) > 0;
    const bool has_ikwargs = length_of(ikwargs.get()) > 0;
    // An empty value list sets its keyword for no child.
    std::vector<bool> sets_keyword;
    for (const Ref& values : value_lists) sets_keyword.push_back(length_of(values.get()) > 0);
    Ref works = check(PyList_New(0));
    for (Py_ssize_t i = 0; i < children; ++i) {
        Ref args = check(PySequence_Tuple(cargs.get()));
        if (has_iargs) {
            Ref own = check(PySequence_Tuple(check(PySequence_GetItem(iargs.get(), i)).get()));
            args = check(PySequence_Concat(args.get(), own.get()));
        }
        Ref kwargs = call_method(ckwargs.get(), name_copy);
        if (has_ikwargs) call_method(kwargs.get(), name_update, check(PySequence_GetItem(ikwargs.get(), i)).get());
        for (size_t k = 0; k < keys.size(); ++k) {
            if (!sets_keyword[k]) continue;
            Ref value = check(PySequence_GetItem(value_lists[k].get(), i));
            check_status(PyObject_SetItem(kwargs.get(), keys[k].get(), value.get()));
        }
        Ref target = Ref::steal(PyIter_Next(target_source.get()));
        if (!target) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_StopIteration, "");
            throw PythonError{};
        }
        Ref work = check(PyDict_New());
        check_status(PyDict_SetItem(work.get(), name_target, target.get()));
        check_status(PyDict_SetItem(work.get(), name_args, args.get()));
        check_status(PyDict_SetItem(work.get(), name_kwargs, kwargs.get()));
        check_status(PyList_Append(works.get(), work.get()));
    }
    return works;
}

const FunctionSpec init_spec{
    "__init__",
    "Pcall.__init__",
    nullptr,
    signature({"self", "targets", "timeout", "cargs", "iargs", "ckwargs", "ikwargs"}, {}, nullptr, "varkwargs"),
    init_body,
};

const FunctionSpec build_arguments_spec{
    "_build_arguments",
    "Pcall._build_arguments",
    "internal: building arguments\n"
    "\n"
    "This internal function does the work of building the arguments of each child\n"
    "instance from the user's inputs: it combines the common and the instance\n"
    "arguments and keyword arguments, and returns one dict per child with the\n"
    "keys \"target\", \"args\" and \"kwargs\".",
    signature({"self"}),
    build_arguments_body,
};

constexpr const char* pcall_doc =
    "Pcall class\n"
    "\n"
    "Lets users perform and control parallel calls, each in its own forked child\n"
    "process. Construction zips various combinations of arguments together and\n"
    "passes them to each parallel instance.\n"
    "\n"
    ":param targets: a single callable, or a list of callables (one per instance)\n"
    ":param timeout: int, the maximum run time of any child process, in seconds\n"
    ":param cargs: tuple/list of positional arguments common to all instances\n"
    ":param iargs: tuple/list of instance-specific positional arguments, each item\n"
    "    itself a tuple/list\n"
    ":param ckwargs: dict of keyword arguments common to all instances\n"
    ":param ikwargs: tuple/list of dicts, one per instance\n"
    ":param varkwargs: every other keyword; its value is a list/tuple giving one\n"
    "    value per instance for that keyword\n"
    "\n"
    "Rules:\n"
    "1. The number of parallel instances follows from the targets, the instance\n"
    "   arguments and the varkwargs values, whichever is shorter (empty ones do\n"
    "   not count; a single callable with nothing per instance runs once).\n"
    "2. Arguments are positional: the common ones first, then the instance's own.\n"
    "3. The results come in the order of the child processes.";

}  // namespace

Ref make_pcall_class(PyObject* globals) {
    // One dict, shared by every plan built without ckwargs; nothing mutates it.
    Ref shared_ckwargs = check(PyDict_New());
    Ref empty = check(PyTuple_New(0));
    Ref defaults = check(PyTuple_Pack(5, Py_None, empty.get(), empty.get(), shared_ckwargs.get(), empty.get()));
    FunctionOptions init_options;
    init_options.defaults = defaults.get();
    Ref bases = check(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
    return make_class(globals, "Pcall", bases.get(), pcall_doc,
                      {
                          {"pcall", make_classmethod(make_function(pcall_spec, globals))},
                          {"__init__", make_function(init_spec, globals, init_options)},
                          {"pids", make_property(make_function(pids_spec, globals))},
                          {"start", make_function(start_spec, globals)},
                          {"join", make_function(join_spec, globals)},
                          {"terminate", make_function(terminate_spec, globals)},
                          {"kill", make_function(kill_spec, globals)},
                          {"livings", make_property(make_function(livings_spec, globals))},
                          {"_build_arguments", make_function(build_arguments_spec, globals)},
                      });
}

}  // namespace tandrel
