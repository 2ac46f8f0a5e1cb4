// ChildLabor: the worker process of a parallel call.
#include "child_labor.h"

#include "channel.h"
#include "names.h"
#include "plan_run.h"
#include "process_group.h"
#include "python_objects/calls.h"
#include "python_objects/classes.h"
#include "python_objects/function.h"
#include "python_objects/module.h"

#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace tandrel {
namespace {

using namespace python_objects;

// str(getattr(target, '__name__', target)), one level of functools.partial unwrapped.
Ref target_text(PyObject* globals, PyObject* target_object) {
    Ref target = Ref::borrow(target_object);
    Ref functools = lookup_global(globals, global_functools);
    Ref partial = get_attr(functools.get(), name_partial);
    if (check_status(PyObject_IsInstance(target.get(), partial.get())) > 0) target = get_attr(target.get(), name_func);
    PyObject* name = nullptr;
    if (check_status(compat::get_optional_attr(target.get(), name_dunder_name, &name)) > 0)
        return check(PyObject_Str(Ref::steal(name).get()));
    return check(PyObject_Str(target.get()));
}

// Whether the error being raised is an ordinary one, which a description
// may swallow (interrupts go on).
bool swallow_error() {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
    PyErr_Clear();
    return true;
}

Ref unprintable(PyObject* object) {
    return check(PyUnicode_FromFormat("<unprintable %.200s object>", Py_TYPE(object)->tp_name));
}

// repr(item), or "<unprintable TYPE object>" when that raises.
Ref item_text(PyObject* item) {
    Ref text = Ref::steal(PyObject_Repr(item));
    if (text) return text;
    if (!swallow_error()) throw PythonError{};
    return unprintable(item);
}

// str() of the arguments tuple or keywords dict. When that raises, the same
// text is built item by item, each item that cannot be shown replaced by
// "<unprintable TYPE object>": describing the work must never fail.
Ref printable(PyObject* object) {
    Ref text = Ref::steal(PyObject_Str(object));
    if (text) return text;
    if (!swallow_error()) throw PythonError{};
    Ref parts = check(PyList_New(0));
    if (PyTuple_CheckExact(object)) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(object); ++i)
            check_status(PyList_Append(parts.get(), item_text(PyTuple_GET_ITEM(object, i)).get()));
        Ref separator = check(PyUnicode_FromString(", "));
        Ref joined = check(PyUnicode_Join(separator.get(), parts.get()));
        return check(PyUnicode_FromFormat(PyTuple_GET_SIZE(object) == 1 ? "(%U,)" : "(%U)", joined.get()));
    }
    if (PyDict_CheckExact(object)) {
        Ref items = check(PyDict_Items(object));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
            PyObject* pair = PyList_GET_ITEM(items.get(), i);
            Ref key = item_text(PyTuple_GET_ITEM(pair, 0));
            Ref value = item_text(PyTuple_GET_ITEM(pair, 1));
            check_status(PyList_Append(parts.get(), check(PyUnicode_FromFormat("%U: %U", key.get(), value.get())).get()));
        }
        Ref separator = check(PyUnicode_FromString(", "));
        Ref joined = check(PyUnicode_Join(separator.get(), parts.get()));
        return check(PyUnicode_FromFormat("{%U}", joined.get()));
    }
    return unprintable(object);
}

// The ChildWork record of a worker: the texts of its target and arguments,
// as __init__ kept them (Process.start lets go of its own references).
Ref describe_work(Function& function, PyObject* self) {
    PyObject* kept = nullptr;
    check_status(compat::get_optional_attr(self, name_private_work_source, &kept));
    Ref source = Ref::steal(kept);
    auto part = [&](Py_ssize_t i, PyObject* name) {
        if (source && PyTuple_CheckExact(source.get()) && PyTuple_GET_SIZE(source.get()) == 3)
            return Ref::borrow(PyTuple_GET_ITEM(source.get(), i));
        return get_attr(self, name);
    };
    Ref target = part(0, name_private_target);
    Ref name = Ref::steal(nullptr);
    try {
        name = target_text(function.globals, target.get());
    } catch (const PythonError&) {
        if (!swallow_error()) throw;
        name = unprintable(target.get());
    }
    Ref args_text = printable(part(1, name_private_args).get());
    Ref kwargs_text = printable(part(2, name_private_kwargs).get());
    Ref child_work = lookup_global(function.globals, global_child_work);
    return call(child_work.get(), name.get(), args_text.get(), kwargs_text.get());
}

// The getter of the cached `_work`: functools.cached_property keeps the record
// in the instance dict, so it runs on the first read only, and a plan costs
// nothing per argument byte to build.
Ref work_body(Function& function, Arguments& arguments) {
    PyObject* self = arguments[0];
    Ref work = describe_work(function, self);
    if (PyObject_DelAttr(self, name_private_work_source) < 0) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonError{};
        PyErr_Clear();
    }
    return work;
}

// __init__(self, index, queue, *args, **kwargs). Binds self, index and queue
// and hands every other argument on to super().__init__ as it came, without
// packing them into a tuple and a dict: plans create thousands of workers.
Ref construct(Function& function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* own_names[] = {"self", "index", "queue"};
    PyObject* own[3] = {nullptr, nullptr, nullptr};
    for (Py_ssize_t i = 0; i < nargs && i < 3; ++i) own[i] = args[i];

    const Py_ssize_t keyword_count = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    PyObject* const* keyword_values = args + nargs;
    std::vector<PyObject*> forward;  // [spare slot, self, positional..., keyword values...]
    forward.reserve(static_cast<size_t>(nargs + keyword_count) + 2);
    forward.push_back(nullptr);
    forward.push_back(nullptr);
    for (Py_ssize_t i = 3; i < nargs; ++i) forward.push_back(args[i]);
    const Py_ssize_t forward_positional = forward.size() - 2;

    std::vector<PyObject*> forward_names;
    bool own_keyword = false;
    for (Py_ssize_t k = 0; k < keyword_count; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        int slot = -1;
        PyObject* const interned[] = {name_self, name_index, name_queue};
        for (int s = 0; s < 3 && slot < 0; ++s) {
            if (keyword == interned[s]) slot = s;
        }
        for (int s = 0; s < 3 && slot < 0; ++s) {
            if (PyUnicode_CompareWithASCIIString(keyword, own_names[s]) == 0) slot = s;
        }
        if (slot < 0) {
            forward.push_back(keyword_values[k]);
            forward_names.push_back(keyword);
            continue;
        }
        if (own[slot] != nullptr) raise_multiple_values(function, keyword);
        own[slot] = keyword_values[k];
        own_keyword = true;
    }
    std::vector<const char*> missing;
    for (int s = 0; s < 3; ++s) {
        if (own[s] == nullptr) missing.push_back(own_names[s]);
    }
    if (!missing.empty()) raise_missing_arguments(function, "positional", missing);

    Ref names = Ref::borrow(kwnames);
    if (own_keyword) {
        names = check(PyTuple_New(static_cast<Py_ssize_t>(forward_names.size())));
        for (size_t k = 0; k < forward_names.size(); ++k) {
            Py_INCREF(forward_names[k]);
            PyTuple_SET_ITEM(names.get(), static_cast<Py_ssize_t>(k), forward_names[k]);
        }
    }
    PyObject* passed_names = names && PyTuple_GET_SIZE(names.get()) > 0 ? names.get() : nullptr;

    PyObject* self = own[0];
    forward[1] = self;
    SuperAttribute next_init = super_lookup(function.defining_class, self, name_init);
    PyObject* const* next_args = next_init.needs_instance ? forward.data() + 1 : forward.data() + 2;
    const size_t next_nargs = static_cast<size_t>(forward_positional) + (next_init.needs_instance ? 1 : 0);
    check(compat::vectorcall(next_init.callable.get(), next_args, next_nargs | PY_VECTORCALL_ARGUMENTS_OFFSET,
                             passed_names));

    set_attr(self, name_private_index, own[1]);
    set_attr(self, name_private_queue, own[2]);
    Ref source = check(PyTuple_Pack(3, get_attr(self, name_private_target).get(), get_attr(self, name_private_args).get(),
                                    get_attr(self, name_private_kwargs).get()));
    set_attr(self, name_private_work_source, source.get());
    return Ref::borrow(Py_None);
}

PyObject* call_init(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    Function& function = as_function(callable);
    return entry_point(function.spec->qualname, [&] {
        RecursionGuard recursion;
        return construct(function, args, PyVectorcall_NARGS(nargsf), kwnames);
    });
}

// The ERROR record of a failed target, in nine pieces.
Ref failure_text(PyObject* self) {
    Ref index_text = check(PyObject_Str(get_attr(self, name_private_index).get()));
    Ref work = get_attr(self, name_private_work);
    Ref target = check(PyObject_Str(get_attr(work.get(), name_target).get()));
    Ref args = check(PyObject_Str(get_attr(work.get(), name_args).get()));
    Ref kwargs = check(PyObject_Str(get_attr(work.get(), name_kwargs).get()));
    return check(PyUnicode_FromFormat(
        "Caught error while executing target in child process-%U:\n  target = %U\n  args = %U\n  kwargs = %U\n\n",
        index_text.get(), target.get(), args.get(), kwargs.get()));
}

enum class Report { log, silent };

// The failure message for the exception being raised, made inside what would
// be its `except Exception as e:` block, so that logging and the wrapper see it
// as the handled exception.
Ref failure_message(Function& function, PyObject* self, PyObject* index, Report report) {
    Ref failure = Ref::steal(compat::fetch_raised_exception());
    HandlingException handling(failure.get());
    if (report == Report::log) {
        Ref logger = lookup_global(function.globals, global_logger);
        Ref text = failure_text(self);
        call_method(logger.get(), name_exception, text.get());
    }
    Ref wrapper_class = lookup_global(function.globals, global_exception_with_traceback);
    Ref wrapped = call(wrapper_class.get(), failure.get());
    return check(PyTuple_Pack(3, index, Py_False, wrapped.get()));
}

Ref run_target(PyObject* self) {
    Ref target = get_attr(self, name_private_target);
    Ref args = check(PySequence_Tuple(get_attr(self, name_private_args).get()));
    Ref kwargs = check(PyDict_New());  // a fresh dict, as `**self._kwargs` makes
    merge_keywords(target.get(), kwargs.get(), get_attr(self, name_private_kwargs).get());
    return check(PyObject_Call(target.get(), args.get(), kwargs.get()));
}

Ref run_body(Function& function, Arguments& arguments) {
    PyObject* self = arguments[0];
    Ref index = get_attr(self, name_private_index);
    Ref message;
    try {
        Ref result = run_target(self);
        message = check(PyTuple_Pack(3, index.get(), Py_True, result.get()));
    } catch (const PythonError&) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;  // SystemExit & co. end the child
        message = failure_message(function, self, index.get(), Report::log);
    }

    // On a plan's channel the message goes as this child's report; any other
    // queue gets it through put.
    Ref queue = get_attr(self, name_private_queue);
    auto send = [&](PyObject* report) {
        if (!send_report(queue.get(), report)) call_method(queue.get(), name_put, report);
    };
    try {
        send(message.get());
    } catch (const PythonError&) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
        // The message could not be sent, most often because the result does not
        // pickle: report that error instead of losing the child's answer.
        Ref unsent = failure_message(function, self, index.get(), Report::silent);
        send(unsent.get());
    }
    return Ref::borrow(Py_None);
}

// ---- ChildPopen: the fork of a worker ---------------------------------------------

// The two parent ends of a child's pipes, closed once: by Popen.close() (it
// is the Popen's finalizer), by the plan when it sees the child end, or when
// the Popen goes.
struct DescriptorsObject {
    PyObject_HEAD
    int fds[2];
};

PyTypeObject descriptors_type = static_type_header();

void close_descriptors(PyObject* object) noexcept {
    for (int& fd : reinterpret_cast<DescriptorsObject*>(object)->fds) {
        if (fd >= 0) close(fd);
        fd = -1;
    }
}

PyObject* descriptors_call(PyObject* self, PyObject*, PyObject*) noexcept {
    close_descriptors(self);
    Py_RETURN_NONE;
}

void descriptors_dealloc(PyObject* self) {
    close_descriptors(self);
    Py_TYPE(self)->tp_free(self);
}

void ready_descriptors_type() {
    if (descriptors_type.tp_flags & Py_TPFLAGS_READY) return;
    PyTypeObject& t = descriptors_type;
    t.tp_name = "vortan.async_.tandrel.ChildDescriptors";
    t.tp_basicsize = sizeof(DescriptorsObject);
    t.tp_flags = Py_TPFLAGS_DEFAULT;
    t.tp_doc = "The parent's ends of a child's sentinel pipes; calling it closes them.";
    t.tp_call = descriptors_call;
    t.tp_dealloc = descriptors_dealloc;
    check_status(PyType_Ready(&t));
}

void raise_from_errno(int error_number) {
    errno = error_number;
    PyErr_SetFromErrno(PyExc_OSError);
    throw PythonError{};
}

// Popen._launch as the fork Popen does it, with one difference: the child is
// recorded for the plan that forks it the moment fork() returns, before any
// Python code (and so any Ctrl-C) can run.
Ref launch_body(Function&, Arguments& arguments) {
    PyObject* self = arguments[0];
    PyObject* process = arguments[1];
    Ref bootstrap = get_attr(process, name_bootstrap);
    Ref descriptors = check(PyType_GenericAlloc(&descriptors_type, 0));
    auto& fds = reinterpret_cast<DescriptorsObject*>(descriptors.get())->fds;
    fds[0] = fds[1] = -1;
    int to_parent[2], to_child[2];  // the child's sentinel, the parent's
    if (pipe2(to_parent, O_CLOEXEC) < 0) raise_from_errno(errno);
    if (pipe2(to_child, O_CLOEXEC) < 0) {
        const int error_number = errno;
        close(to_parent[0]);
        close(to_parent[1]);
        raise_from_errno(error_number);
    }
    if (PySys_Audit("os.fork", nullptr) < 0) {
        for (int fd : {to_parent[0], to_parent[1], to_child[0], to_child[1]}) close(fd);
        throw PythonError{};
    }
    ForkedChild* record = ForkRecorder::current();
    const bool own_group = record != nullptr && record->own_group;
    pid_t pid;
    int fork_errno = 0;
    {
        // A free-threaded interpreter stops every other thread for the fork,
        // but one stopped just as the lock of sys.modules was handed to it
        // keeps that lock, and the child hangs at its first import. Holding
        // the lock across the fork leaves no other thread able to have it.
        compat::ObjectCriticalSection modules(PyImport_GetModuleDict());
        PyOS_BeforeFork();
        pid = fork();
        if (pid == 0) {
            if (own_group) setpgid(0, 0);  // before anything else the child does, so its own children follow
            PyOS_AfterFork_Child();
        } else {
            fork_errno = errno;
            PyOS_AfterFork_Parent();
        }
    }
    if (pid == 0) {
        ForkRecorder::forget();
        close(to_parent[0]);
        close(to_child[1]);
        int code = 1;
        Ref no_arguments = Ref::steal(PyTuple_New(0));
        Ref keywords = Ref::steal(Py_BuildValue("{s:i}", "parent_sentinel", to_child[0]));
        Ref result = no_arguments && keywords ? Ref::steal(PyObject_Call(bootstrap.get(), no_arguments.get(), keywords.get()))
                                              : Ref();
        if (result && PyLong_Check(result.get())) code = static_cast<int>(PyLong_AsLong(result.get()));
        // As os._exit(code) in a `finally`: what was raised ends with the process.
        _exit(code);
    }
    if (pid < 0) {
        for (int fd : {to_parent[0], to_parent[1], to_child[0], to_child[1]}) close(fd);
        raise_from_errno(fork_errno);
    }
    // The parent's half of the same step: the group must exist by the time
    // the plan signals it, whether or not the child has run yet.
    if (own_group) make_group_leader(pid);
    close(to_parent[1]);
    close(to_child[0]);
    fds[0] = to_parent[0];
    fds[1] = to_child[1];
    if (record != nullptr) *record = ForkedChild{pid, to_parent[0], descriptors};
    set_attr(self, name_pid, check(PyLong_FromLong(pid)).get());
    set_attr(self, name_finalizer, descriptors.get());
    set_attr(self, name_sentinel, check(PyLong_FromLong(to_parent[0])).get());
    return Ref::borrow(Py_None);
}

const FunctionSpec launch_spec{
    "_launch",
    "ChildPopen._launch",
    "fork the worker\n"
    "\n"
    "Forks the process and runs the worker's bootstrap in the child, as the fork\n"
    "start method's Popen does; the plan that forks it learns the child at once.",
    signature({"self", "process_obj"}),
    launch_body,
};

const FunctionSpec init_spec{
    "__init__",
    "ChildLabor.__init__",
    "built-in init\n"
    "\n"
    "On top of the native multiprocessing.Process instantiation, the index (the\n"
    "order of the child) and the queue (the channel that carries its result back\n"
    "to the parent) are added.\n"
    "\n"
    ":param index: int, the child labor index\n"
    ":param queue: the plan's result channel (any object with put() will do)",
    signature({"self", "index", "queue"}, {}, "args", "kwargs"),
    nullptr,
    call_init,
};

const FunctionSpec run_spec{
    "run",
    "ChildLabor.run",
    "ChildLabor.run\n"
    "\n"
    "Runs the given target in the child process; the default entry point of\n"
    "multiprocessing.Process. Returns nothing, but stores every return and error\n"
    "of the user's target into the queue in the format (index, boolean, result):\n"
    "the boolean says whether the call succeeded without an exception, and the\n"
    "result is either the exception or the call's result.",
    signature({"self"}),
    run_body,
};

const FunctionSpec work_spec{
    "_work",
    "ChildLabor._work",
    "work record\n"
    "\n"
    "The texts of the worker's target and arguments (a ChildWork), built the\n"
    "first time they are read and then kept.",
    signature({"self"}),
    work_body,
};

constexpr const char* child_labor_doc =
    "ChildLabor Class\n"
    "\n"
    "The worker class: a subclass of multiprocessing.Process under the 'fork'\n"
    "context, customised purely to be called by the parallel call (Pcall).";

}  // namespace

void release_descriptors(Ref& descriptors) noexcept {
    if (descriptors && Py_TYPE(descriptors.get()) == &descriptors_type) close_descriptors(descriptors.get());
    descriptors = Ref();
}

Ref make_child_labor_class(PyObject* globals) {
    ready_descriptors_type();
    Ref popen_base = import_from(globals, "multiprocessing.popen_fork", "Popen", 0);
    Ref popen_bases = check(PyTuple_Pack(1, popen_base.get()));
    Ref child_popen = make_class(globals, "ChildPopen", popen_bases.get(),
                                 "ChildPopen Class\n\nThe fork start method's Popen, whose fork the plan sees.",
                                 {{"_launch", make_function(launch_spec, globals)}});
    Ref multiprocessing = lookup_global(globals, global_multiprocessing);
    Ref process = get_attr(multiprocessing.get(), name_process);
    Ref bases = check(PyTuple_Pack(1, process.get()));
    Ref init = make_function(init_spec, globals);
    PyObject* init_object = init.get();
    Ref functools = lookup_global(globals, global_functools);
    Ref cached_work = call_method(functools.get(), name_cached_property, make_function(work_spec, globals).get());
    return make_class(globals, "ChildLabor", bases.get(), child_labor_doc,
                      {
                          {"__init__", std::move(init), init_object},
                          {"run", make_function(run_spec, globals)},
                          {"_work", std::move(cached_work)},
                          {"_Popen", std::move(child_popen)},
                      });
}

}  // namespace tandrel
