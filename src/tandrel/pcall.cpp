// Pcall: one plan of parallel calls, each in its own forked child.
#include "pcall.h"

#include "channel.h"
#include "names.h"
#include "plan_run.h"
#include "pcall_lifecycle.h"
#include "pcall_map.h"
#include "python_objects/calls.h"
#include "python_objects/classes.h"
#include "python_objects/function.h"
#include "python_objects/module.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

namespace tandrel {
namespace {

using namespace python_objects;

// Whether iterating `object` can be tried, without starting to iterate it.
bool is_iterable(PyObject* object) { return Py_TYPE(object)->tp_iter != nullptr || PySequence_Check(object); }

bool has_attribute(PyObject* object, PyObject* name) {
    PyObject* value = nullptr;
    const int found = check_status(compat::get_optional_attr(object, name, &value));
    Py_XDECREF(value);
    return found > 0;
}

bool is_mapping(PyObject* object) {
    return PyDict_Check(object) || (has_attribute(object, name_keys) && has_attribute(object, name_getitem));
}

// list(value), or TypeError naming what the value was meant to be.
Ref list_of(PyObject* value, const char* what) {
    if (!is_iterable(value)) raise_format(PyExc_TypeError, "%s must be a sequence, not %.200s", what, Py_TYPE(value)->tp_name);
    return check(PySequence_List(value));
}

// Replaces the error being raised by one of the same type whose message
// starts with `prefix`, the original as its cause.
[[noreturn]] void reraise_naming(const char* prefix) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw PythonError{};
    Ref error = Ref::steal(compat::fetch_raised_exception());
    Ref text = Ref::steal(PyObject_Str(error.get()));
    if (!text) {
        PyErr_Clear();
        text = check(PyUnicode_FromString("?"));
    }
    Ref message = check(PyUnicode_FromFormat("%s: %U", prefix, text.get()));
    Ref named = Ref::steal(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(Py_TYPE(error.get())),
                                                        message.get(), nullptr));
    if (!named || !PyExceptionInstance_Check(named.get())) {  // a type that takes other arguments
        PyErr_Clear();
        compat::restore_raised_exception(error.release());
        throw PythonError{};
    }
    PyException_SetCause(named.get(), error.release());
    compat::restore_raised_exception(named.release());
    throw PythonError{};
}

void check_targets(PyObject* targets) {
    if (PyCallable_Check(targets)) return;
    if (!is_iterable(targets) || PyObject_Size(targets) < 0) {
        if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_Exception)) throw PythonError{};
        PyErr_Clear();
        raise_format(PyExc_TypeError, "targets must be a callable or a non-empty sequence of callables, not %.200s",
                     Py_TYPE(targets)->tp_name);
    }
    Ref listed = check(PySequence_List(targets));
    const Py_ssize_t count = PyList_GET_SIZE(listed.get());
    if (count == 0) raise_error(PyExc_ValueError, "targets is an empty sequence: there is no target to call");
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* target = PyList_GET_ITEM(listed.get(), i);
        if (!PyCallable_Check(target))
            raise_format(PyExc_TypeError, "targets[%zd] is not callable: %.200s object", i, Py_TYPE(target)->tp_name);
    }
}

void check_timeout(PyObject* globals, PyObject* timeout) {
    if (timeout == Py_None) return;
    bool real = PyFloat_Check(timeout) || (PyLong_Check(timeout) && !PyBool_Check(timeout));
    if (!real && !PyBool_Check(timeout) && !PyUnicode_Check(timeout)) {
        Ref numbers = import_module(globals, "numbers");
        Ref real_type = get_attr(numbers.get(), name_real);
        real = check_status(PyObject_IsInstance(timeout, real_type.get())) > 0;
    }
    if (!real)
        raise_format(PyExc_TypeError, "timeout must be None or a real number of seconds, not %.200s",
                     Py_TYPE(timeout)->tp_name);
    // Refused here rather than after the children were forked: a limit that
    // cannot be compared with a time (nan), or that a float cannot hold.
    const double seconds = PyFloat_AsDouble(timeout);
    if (seconds == -1.0 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw PythonError{};
        PyErr_Clear();
        raise_error(PyExc_ValueError, "timeout is too large for a number of seconds; use None or inf for no limit");
    }
    if (std::isnan(seconds)) raise_error(PyExc_ValueError, "timeout must be a number of seconds, not nan; use None or inf for no limit");
}

void check_iargs_items(PyObject* iargs) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(iargs); ++i) {
        PyObject* item = PyList_GET_ITEM(iargs, i);
        if (!is_iterable(item))
            raise_format(PyExc_TypeError, "iargs[%zd] must be a sequence of positional arguments, not %.200s", i,
                         Py_TYPE(item)->tp_name);
    }
}

// Each item as dict.update takes it; items that can be read again are tried.
void check_ikwargs_items(PyObject* ikwargs) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(ikwargs); ++i) {
        Ref item = Ref::borrow(PyList_GET_ITEM(ikwargs, i));
        if (is_mapping(item.get())) continue;
        if (!is_iterable(item.get()))
            raise_format(PyExc_TypeError, "ikwargs[%zd] must be a mapping or key-value pairs, not %.200s", i,
                         Py_TYPE(item.get())->tp_name);
        if (!PyList_Check(item.get()) && !PyTuple_Check(item.get())) continue;  // reading it would use it up
        Ref scratch = check(PyDict_New());
        if (PyDict_MergeFromSeq2(scratch.get(), item.get(), 1) < 0) {
            // No API call while the error is set, and no text that may be NULL.
            char prefix[48];
            std::snprintf(prefix, sizeof prefix, "ikwargs[%zd]", i);
            reraise_naming(prefix);
        }
    }
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
    PyObject* targets = arguments[1];
    PyObject* timeout = arguments[2];
    PyObject* cargs = arguments[3];
    PyObject* ckwargs = arguments[5];
    // Everything is checked before anything is stored or forked.
    check_targets(targets);
    check_timeout(function.globals, timeout);
    if (!is_iterable(cargs))
        raise_format(PyExc_TypeError, "cargs must be a sequence of positional arguments, not %.200s",
                     Py_TYPE(cargs)->tp_name);
    // Read once, so that every child gets the same arguments.
    Ref common = PyList_Check(cargs) || PyTuple_Check(cargs) ? Ref::borrow(cargs) : check(PySequence_Tuple(cargs));
    Ref iargs = list_of(arguments[4], "iargs");
    check_iargs_items(iargs.get());
    if (!is_mapping(ckwargs))
        raise_format(PyExc_TypeError, "ckwargs must be a mapping of keyword arguments, not %.200s",
                     Py_TYPE(ckwargs)->tp_name);
    Ref ikwargs = list_of(arguments[6], "ikwargs");
    check_ikwargs_items(ikwargs.get());
    Ref varkwargs = check(PyDict_New());
    {
        PyObject *key, *value;
        Py_ssize_t position = 0;
        while (PyDict_Next(arguments.varkw.get(), &position, &key, &value)) {
            Ref held_key = Ref::borrow(key), held_value = Ref::borrow(value);
            if (!is_iterable(value))
                raise_format(PyExc_TypeError,
                             "the keyword argument %R gives one value per child: it must be a sequence, not %.200s",
                             key, Py_TYPE(value)->tp_name);
            Ref values = check(PySequence_List(held_value.get()));
            check_status(PyDict_SetItem(varkwargs.get(), held_key.get(), values.get()));
        }
    }

    set_attr(self, name_targets, targets);
    set_attr(self, name_timeout, timeout);
    set_attr(self, name_cargs, common.get());
    set_attr(self, name_iargs, iargs.get());
    set_attr(self, name_ckwargs, ckwargs);
    set_attr(self, name_ikwargs, ikwargs.get());
    set_attr(self, name_varkwargs, varkwargs.get());
    set_attr(self, name_results, Py_None);

    Channel channel = make_channel(function.globals);
    Ref run = make_run_holder(channel.receiver_fd);
    set_attr(self, name_private_queue, channel.sender.get());
    set_attr(self, name_private_run, run.get());
    Ref processes = check(PyList_New(0));
    set_attr(self, name_private_processes, processes.get());

    Ref works = call_method(self, name_build_arguments);
    Py_ssize_t index = 0;
    for_each(works.get(), [&](PyObject* work) {
        Ref worker = make_worker(function.globals, self, index++, work);
        check_status(PyList_Append(get_attr(self, name_private_processes).get(), worker.get()));
    });
    return Ref::borrow(Py_None);
}

// The number of children: the shortest non-empty sequence decides; a single
// callable target does not count, and makes one child when all are empty.
Py_ssize_t count_children(PyObject* globals, PyObject* target_list, PyObject* iargs, PyObject* ikwargs,
                          const std::vector<Ref>& value_lists) {
    std::vector<Py_ssize_t> counts;
    const Py_ssize_t target_count = target_list != nullptr ? PyList_GET_SIZE(target_list) : 0;
    if (target_list != nullptr) counts.push_back(target_count);
    counts.push_back(length_of(iargs));
    counts.push_back(length_of(ikwargs));
    for (const Ref& values : value_lists) counts.push_back(length_of(values.get()));
    counts.erase(std::remove(counts.begin(), counts.end(), 0), counts.end());
    if (!counts.empty()) {
        const Py_ssize_t children = *std::min_element(counts.begin(), counts.end());
        if (target_list != nullptr && target_count == 0)
            raise_format(PyExc_ValueError, "targets is empty: there is no target for the %zd planned child processes",
                         children);
        return children;
    }
    if (target_list == nullptr) return 1;
    // No target and nothing per child: min() of the empty list of counts says so.
    Ref builtin_min = lookup_global(globals, name_min);
    Ref no_counts = check(PyList_New(0));
    call(builtin_min.get(), no_counts.get());
    raise_error(PyExc_SystemError, "min() of no counts returned a value");
}

Ref build_arguments_body(Function& function, Arguments& arguments) {
    PyObject* self = arguments[0];
    Ref targets = get_attr(self, name_targets);
    Ref iargs = get_attr(self, name_iargs);
    Ref ikwargs = get_attr(self, name_ikwargs);
    Ref varkwargs = get_attr(self, name_varkwargs);
    std::vector<Ref> keys, value_lists;
    Ref items = check(PyMapping_Items(varkwargs.get()));
    for_each(items.get(), [&](PyObject* item) {
        auto [key, values] = unpack_pair(item);
        keys.push_back(std::move(key));
        value_lists.push_back(std::move(values));
    });

    // Read once: a len() that disagrees with the items cannot matter then.
    const bool single_target = PyCallable_Check(targets.get());
    Ref target_list = single_target ? Ref() : check(PySequence_List(targets.get()));
    const Py_ssize_t children =
        count_children(function.globals, target_list.get(), iargs.get(), ikwargs.get(), value_lists);

    Ref target_source;
    if (single_target) {
        Ref itertools = lookup_global(function.globals, global_itertools);
        target_source = call_method(itertools.get(), name_repeat, targets.get());
    } else {
        target_source = check(PyObject_GetIter(target_list.get()));
    }

    Ref common = check(PySequence_Tuple(get_attr(self, name_cargs).get()));
    Ref ckwargs = get_attr(self, name_ckwargs);
    const bool has_iargs = length_of(iargs.get()) > 0;
    const bool has_ikwargs = length_of(ikwargs.get()) > 0;
    // An empty value list sets its keyword for no child.
    std::vector<bool> sets_keyword;
    for (const Ref& values : value_lists) sets_keyword.push_back(length_of(values.get()) > 0);
    Ref works = check(PyList_New(0));
    for (Py_ssize_t i = 0; i < children; ++i) {
        Ref args = common;
        if (has_iargs) {
            Ref own = check(PySequence_Tuple(check(PySequence_GetItem(iargs.get(), i)).get()));
            args = check(PySequence_Concat(common.get(), own.get()));
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
            throw_if_error_set();
            raise_error(PyExc_ValueError, "the target source ran out before the last child");
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
    "3. The results come in the order of the child processes.\n"
    "\n"
    "Class attributes:\n"
    ":attr max_running: None, or the most children alive at once when start()\n"
    "    is called without max_running (a subclass may set it).\n"
    ":attr grace_period: seconds that children asked to terminate (on a timeout,\n"
    "    an interrupt or any error leaving join) get before SIGKILL; 1.0.\n"
    ":attr return_exceptions: False; when true, join and as_completed called\n"
    "    without return_exceptions (and so pcall) return each child's failure in\n"
    "    its slot instead of raising it.\n"
    ":attr call_timeout: None, or the seconds each child may run from its own\n"
    "    fork when start() is called without call_timeout.\n"
    ":attr process_group: False; when true, each child leads its own process\n"
    "    group from its fork on, and terminate, kill and every stop signal the\n"
    "    group, so that what the child started (subprocesses, pools) goes too.\n"
    "\n"
    "A plan is a context manager: leaving `with` stops its children on an\n"
    "exception and joins a started plan otherwise.\n"
    "\n"
    "The attribute _queue is the sending end of the plan's result channel, given\n"
    "to every child, which sends its one report on it. Only the plan holds the\n"
    "receiving end. Dropping a started plan kills the children still running and\n"
    "closes it.";

}  // namespace

Ref make_pcall_class(PyObject* globals) {
    // One dict, shared by every plan built without ckwargs; nothing mutates it.
    Ref shared_ckwargs = check(PyDict_New());
    Ref empty = check(PyTuple_New(0));
    Ref defaults = check(PyTuple_Pack(5, Py_None, empty.get(), empty.get(), shared_ckwargs.get(), empty.get()));
    FunctionOptions init_options;
    init_options.defaults = defaults.get();
    Ref bases = check(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
    FunctionOptions start_options;
    Ref start_kwdefaults = check(PyDict_New());
    check_status(PyDict_SetItem(start_kwdefaults.get(), name_max_running, Py_None));
    check_status(PyDict_SetItem(start_kwdefaults.get(), name_call_timeout, Py_None));
    start_options.kwdefaults = start_kwdefaults.get();
    // join and as_completed have one keyword each, and a dict each: a
    // function's __kwdefaults__ is its own to change.
    FunctionOptions join_options, as_completed_options;
    Ref join_kwdefaults = check(PyDict_New()), as_completed_kwdefaults = check(PyDict_New());
    check_status(PyDict_SetItem(join_kwdefaults.get(), name_return_exceptions, Py_None));
    check_status(PyDict_SetItem(as_completed_kwdefaults.get(), name_return_exceptions, Py_None));
    join_options.kwdefaults = join_kwdefaults.get();
    as_completed_options.kwdefaults = as_completed_kwdefaults.get();
    FunctionOptions map_options, imap_options;
    Ref map_defaults = map_kwdefaults(), imap_defaults = map_kwdefaults();
    map_options.kwdefaults = map_defaults.get();
    imap_options.kwdefaults = imap_defaults.get();
    Ref grace_period = check(PyFloat_FromDouble(1.0));
    Ref pcall = make_classmethod(make_function(pcall_spec, globals));
    Ref init = make_function(init_spec, globals, init_options);
    Ref cls = make_class(globals, "Pcall", bases.get(), pcall_doc,
                      {
                          {"pcall", pcall},
                          {"__init__", init},
                          {"pids", make_property(make_function(pids_spec, globals))},
                          {"start", make_function(start_spec, globals, start_options)},
                          {"join", make_function(join_spec, globals, join_options)},
                          {"terminate", make_function(terminate_spec, globals)},
                          {"kill", make_function(kill_spec, globals)},
                          {"livings", make_property(make_function(livings_spec, globals))},
                          {"_build_arguments", make_function(build_arguments_spec, globals)},
                          {"as_completed", make_function(as_completed_spec, globals, as_completed_options)},
                          {"__repr__", make_function(repr_spec, globals)},
                          {"__enter__", make_function(enter_spec, globals)},
                          {"__exit__", make_function(exit_spec, globals)},
                          {"map", make_classmethod(make_function(map_spec, globals, map_options))},
                          {"imap", make_classmethod(make_function(imap_spec, globals, imap_options))},
                          {"max_running", Ref::borrow(Py_None)},
                          {"grace_period", grace_period},
                          {"return_exceptions", Ref::borrow(Py_False)},
                          {"call_timeout", Ref::borrow(Py_None)},
                          {"process_group", Ref::borrow(Py_False)},
                      });
    // pcall hands its arguments on as they come, and shows those of __init__.
    Ref inspect = import_module(globals, "inspect");
    Ref signature = call_method(inspect.get(), name_signature, init.get());
    Ref parameters = check(PySequence_List(call_method(get_attr(signature.get(), name_parameters).get(), name_values).get()));
    Ref first = check(PySequence_GetItem(parameters.get(), 0));
    Ref renamed = call_with_keywords(get_attr(first.get(), name_replace).get(), keywords_name, static_cast<PyObject*>(name_cls));
    check_status(PySequence_SetItem(parameters.get(), 0, renamed.get()));
    Ref pcall_signature = call_with_keywords(get_attr(signature.get(), name_replace).get(), keywords_parameters, parameters.get());
    Ref pcall_function = get_attr(pcall.get(), name_func_attr);
    set_attr(pcall_function.get(), name_dunder_signature, pcall_signature.get());
    return cls;
}

}  // namespace tandrel
