// ChildLabor: the worker process of a parallel call.
#include "child_labor.h"

#include "names.h"
#include "python_objects/calls.h"
#include "python_objects/classes.h"
#include "python_objects/function.h"
#include "python_objects/module.h"

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

Ref init_body(Function& function, Arguments& arguments) {
    PyObject* self = arguments[0];
    if (function.defining_class == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "super(): empty __class__ cell");
        throw PythonError{};
    }
    // super().__init__(*args, **kwargs)
    Ref next = call(reinterpret_cast<PyObject*>(&PySuper_Type), function.defining_class, self);
    Ref next_init = get_attr(next.get(), name_init);
    check(PyObject_Call(next_init.get(), arguments.varargs.get(), arguments.varkw.get()));

    set_attr(self, name_attr_index, arguments[1]);
    set_attr(self, name_attr_queue, arguments[2]);
    Ref target = get_attr(self, name_attr_target);
    Ref name = target_text(function.globals, target.get());
    Ref args_text = check(PyObject_Str(get_attr(self, name_attr_args).get()));
    Ref kwargs_text = check(PyObject_Str(get_attr(self, name_attr_kwargs).get()));
    Ref child_work = lookup_global(function.globals, global_child_work);
    Ref work = call(child_work.get(), name.get(), args_text.get(), kwargs_text.get());
    set_attr(self, name_attr_work, work.get());
    return Ref::borrow(Py_None);
}

// `{**mapping}`, with the interpreter's complaint about a non-mapping.
Ref keyword_copy(PyObject* target, PyObject* mapping) {
    Ref copy = check(PyDict_New());
    if (PyDict_Check(mapping)) {
        check_status(PyDict_Update(copy.get(), mapping));
        return copy;
    }
    PyObject* keys = nullptr;
    if (check_status(compat::get_optional_attr(mapping, name_keys, &keys)) == 0) {
        PyErr_Format(PyExc_TypeError, "%.200s argument after ** must be a mapping, not %.200s",
                     Py_TYPE(target)->tp_name, Py_TYPE(mapping)->tp_name);
        throw PythonError{};
    }
    Py_DECREF(keys);
    check_status(PyDict_Merge(copy.get(), mapping, 1));
    return copy;
}

// The ERROR record of a failed target, in nine pieces.
Ref failure_text(PyObject* self) {
    Ref index_text = check(PyObject_Str(get_attr(self, name_attr_index).get()));
    Ref work = get_attr(self, name_attr_work);
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
    Ref target = get_attr(self, name_attr_target);
    Ref args = check(PySequence_Tuple(get_attr(self, name_attr_args).get()));
    Ref kwargs = keyword_copy(target.get(), get_attr(self, name_attr_kwargs).get());
    return check(PyObject_Call(target.get(), args.get(), kwargs.get()));
}

Ref run_body(Function& function, Arguments& arguments) {
    PyObject* self = arguments[0];
    Ref index = get_attr(self, name_attr_index);
    Ref message;
    try {
        Ref result = run_target(self);
        message = check(PyTuple_Pack(3, index.get(), Py_True, result.get()));
    } catch (const PythonError&) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;  // SystemExit & co. end the child
        message = failure_message(function, self, index.get(), Report::log);
    }

    Ref queue = get_attr(self, name_attr_queue);
    Ref put = get_attr(queue.get(), name_put);
    try {
        call(put.get(), message.get());
    } catch (const PythonError&) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
        // The message could not be sent, most often because the result does not
        // pickle: report that error instead of losing the child's answer.
        Ref unsent = failure_message(function, self, index.get(), Report::silent);
        call(put.get(), unsent.get());
    }
    return Ref::borrow(Py_None);
}

const FunctionSpec init_spec{
    "__init__",
    "ChildLabor.__init__",
    "built-in init\n"
    "\n"
    "On top of the native multiprocessing.Process instantiation, the index (the\n"
    "order of the child) and the queue (the pipe of results back to the parent)\n"
    "are added.\n"
    "\n"
    ":param index: int, the child labor index\n"
    ":param queue: the queue that pipes results back to the parent",
    signature({"self", "index", "queue"}, {}, "args", "kwargs"),
    init_body,
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

constexpr const char* child_labor_doc =
    "ChildLabor Class\n"
    "\n"
    "The worker class: a subclass of multiprocessing.Process under the 'fork'\n"
    "context, customised purely to be called by the parallel call (Pcall).";

}  // namespace

Ref make_child_labor_class(PyObject* globals) {
    Ref multiprocessing = lookup_global(globals, global_multiprocessing);
    Ref process = get_attr(multiprocessing.get(), name_process);
    Ref bases = check(PyTuple_Pack(1, process.get()));
    Ref init = make_function(init_spec, globals);
    PyObject* init_object = init.get();
    return make_class(globals, "ChildLabor", bases.get(), child_labor_doc,
                      {
                          {"__init__", std::move(init), init_object},
                          {"run", make_function(run_spec, globals)},
                      });
}

}  // namespace tandrel
