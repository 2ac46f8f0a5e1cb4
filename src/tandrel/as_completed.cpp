// Pcall.as_completed: the children's results as they arrive. A small
// iterator type that behaves like a generator: stopping it early (close,
// break, an exception in the loop, garbage collection) stops the plan's
// remaining children.
#include "names.h"
#include "pcall_lifecycle.h"
#include "python_objects/calls.h"

namespace tandrel {

using namespace python_objects;

namespace {

struct CompletedObject {
    PyObject_HEAD
    PyObject* plan;
    PyObject* inbox;  // keeps the run alive
    PyObject* globals;
    bool active;   // holds the plan's one join-or-as_completed
    bool running;  // inside next or close: Python code they run may call back
};

PyTypeObject completed_type = static_type_header();

CompletedObject& as_completed_object(PyObject* object) { return *reinterpret_cast<CompletedObject*>(object); }

// The span of a next or close. As with a generator, the iterator cannot be
// entered again meanwhile: two steps of one run would reap a child twice.
class Running {
public:
    explicit Running(CompletedObject& it) : it_(it) {
        if (it.running) raise_error(PyExc_ValueError, "the iterator is already running");
        it.running = true;
    }
    ~Running() { it_.running = false; }
    Running(const Running&) = delete;
    Running& operator=(const Running&) = delete;

private:
    CompletedObject& it_;
};

// The end of the iteration, however it came: the plan is free again, and
// nothing more is forked.
void deactivate(CompletedObject& it, PlanRun& run) {
    if (!it.active) return;
    it.active = false;
    run.busy = false;
    run.forking_over = true;
}

// Stops the children still running, while an exception propagates.
[[noreturn]] void stop_and_end(CompletedObject& it, PlanRun& run) {
    Ref error = Ref::steal(compat::fetch_raised_exception());
    if (run.alive > 0) stop_children(it.globals, it.plan, run, false);
    deactivate(it, run);
    compat::restore_raised_exception(error.release());
    throw PythonError{};
}

// The next (index, result), or an empty Ref when every child has reported.
Ref next_result(CompletedObject& it, PlanRun& run) {
    for (;;) {
        if (!run.arrivals.empty()) {
            const size_t index = run.arrivals.front();
            run.arrivals.pop_front();
            Ref result;
            try {
                result = result_of(run, run.workers[index].get(), static_cast<Py_ssize_t>(index));
            } catch (const PythonError&) {
                run.outcome = PlanRun::Outcome::failed;
                run.failed_child = index;
                stop_and_end(it, run);
            }
            Ref key = check(PyLong_FromSize_t(index));
            return check(PyTuple_Pack(2, key.get(), result.get()));
        }
        if (!run.silent.empty()) {
            const size_t index = run.silent.front();
            run.silent.pop_front();
            try {
                raise_unreported(run.workers[index].get(), static_cast<Py_ssize_t>(index));
            } catch (const PythonError&) {
                run.outcome = PlanRun::Outcome::failed;
                run.failed_child = index;
                stop_and_end(it, run);
            }
        }
        if (run.done()) {
            deactivate(it, run);
            Ref workers = check(PyList_New(0));
            for (const Ref& worker : run.workers) check_status(PyList_Append(workers.get(), worker.get()));
            finish(it.globals, it.plan, run, workers.get());
            return Ref();
        }
        try {
            run_on(it.globals, it.plan, run, true);
        } catch (const PythonError&) {
            stop_and_end(it, run);
        }
    }
}

PyObject* completed_next(PyObject* self) {
    CompletedObject& it = as_completed_object(self);
    return entry_point("Pcall.as_completed iterator __next__", [&] {
        Running running(it);
        if (!it.active || it.plan == nullptr) return Ref();
        return next_result(it, plan_run_of_inbox(it.inbox));
    });
}

// Stopping early: the children still running are stopped and reaped, those
// not started yet never start; what was delivered stays for a later join.
void stop_early(CompletedObject& it) {
    if (!it.active) return;
    PlanRun& run = plan_run_of_inbox(it.inbox);
    if (run.alive > 0 && it.plan != nullptr && it.globals != nullptr) stop_children(it.globals, it.plan, run, false);
    deactivate(it, run);
}

PyObject* completed_close(PyObject* self, PyObject*) {
    return entry_point("Pcall.as_completed iterator close", [&] {
        Running running(as_completed_object(self));
        stop_early(as_completed_object(self));
        return Ref::borrow(Py_None);
    });
}

void completed_finalize(PyObject* self) {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    // Nobody can catch a failure here: it is reported as unraisable.
    if (entry_point_status("Pcall.as_completed iterator finaliser",
                           [&] { stop_early(as_completed_object(self)); }) < 0)
        PyErr_WriteUnraisable(self);
    PyErr_Restore(type, value, traceback);
}

int completed_traverse(PyObject* self, visitproc visit, void* arg) {
    CompletedObject& it = as_completed_object(self);
    Py_VISIT(it.plan);
    Py_VISIT(it.inbox);
    Py_VISIT(it.globals);
    return 0;
}

int completed_clear(PyObject* self) {
    CompletedObject& it = as_completed_object(self);
    Py_CLEAR(it.plan);
    Py_CLEAR(it.globals);
    // The inbox stays: a finaliser may still need the run.
    return 0;
}

void completed_dealloc(PyObject* self) {
    if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
    PyObject_GC_UnTrack(self);
    CompletedObject& it = as_completed_object(self);
    Py_CLEAR(it.plan);
    Py_CLEAR(it.inbox);
    Py_CLEAR(it.globals);
    PyObject_GC_Del(self);
}

PyMethodDef completed_methods[] = {
    {"close", completed_close, METH_NOARGS,
     "close()\n--\n\nStops the plan's children that are still running; the results that\n"
     "arrived stay on the plan."},
    {nullptr, nullptr, 0, nullptr},
};

Ref as_completed_body(Function& function, Arguments& arguments) {
    PyObject* self = arguments[0];
    Ref inbox;
    PlanRun& run = plan_run(self, inbox);
    if (!run.started) raise_error(PyExc_RuntimeError, "as_completed: the plan was not started");
    if (run.busy) raise_error(PyExc_RuntimeError, "as_completed: another join or as_completed is already running on this plan");
    CompletedObject* it = PyObject_GC_New(CompletedObject, &completed_type);
    if (it == nullptr) throw PythonError{};
    Py_INCREF(self);
    it->plan = self;
    it->inbox = inbox.release();
    Py_INCREF(function.globals);
    it->globals = function.globals;
    it->active = true;
    it->running = false;
    run.busy = true;
    PyObject_GC_Track(reinterpret_cast<PyObject*>(it));
    return Ref::steal(reinterpret_cast<PyObject*>(it));
}

}  // namespace

void ready_as_completed_type() {
    if (completed_type.tp_flags & Py_TPFLAGS_READY) return;
    PyTypeObject& t = completed_type;
    t.tp_name = "vortan.async_.tandrel.AsCompleted";
    t.tp_basicsize = sizeof(CompletedObject);
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    t.tp_doc = "The results of a plan's children, (index, result), as they arrive.";
    t.tp_traverse = completed_traverse;
    t.tp_clear = completed_clear;
    t.tp_dealloc = completed_dealloc;
    t.tp_finalize = completed_finalize;
    t.tp_iter = PyObject_SelfIter;
    t.tp_iternext = completed_next;
    t.tp_methods = completed_methods;
    check_status(PyType_Ready(&t));
}

const FunctionSpec as_completed_spec{
    "as_completed",
    "Pcall.as_completed",
    "as_completed\n"
    "\n"
    "Yields (index, result) for each child of a started plan as its result\n"
    "arrives, in arrival order, and starts children held back by max_running as\n"
    "others end. A child's failure stops the other children and is raised here,\n"
    "as is ChildProcessError for a child that ended without reporting, and the\n"
    "plan's timeout applies as in join. When every child has reported, stoptime\n"
    "and results are set as join sets them. Stopping early (break, close(), an\n"
    "exception in the loop, garbage collection) stops and reaps the children\n"
    "still running; the results that arrived stay for a later join.",
    signature({"self"}),
    as_completed_body,
};

}  // namespace tandrel
