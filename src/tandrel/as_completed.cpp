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
    PyObject* holder;  // keeps the run alive
    PyObject* globals;
    bool claimed;  // holds the plan's one join-or-as_completed
    bool running;  // inside next or close: Python code they run may call back
    Failures failures;
    size_t next_unforked;  // gathering: where the look for children never forked goes on
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
void release(CompletedObject& it, PlanRun& run) {
    if (!it.claimed) return;
    it.claimed = false;
    run.stop_forking();
    run.release_claim();
}

// Stops the children still running, while an exception propagates.
[[noreturn]] void stop_and_end(CompletedObject& it, PlanRun& run) {
    undo_on_error([&] { if (run.alive() > 0) stop_and_rethrow(it.globals, it.plan, run); },
                  [&] { release(it, run); });
    release(it, run);
    throw PythonError{};
}

// (index, what child `index` delivered). A failure raised ends the run: the
// other children are stopped.
Ref handed_out(CompletedObject& it, PlanRun& run, size_t index) {
    Ref outcome;
    try {
        outcome = outcome_of(it.plan, run, index, it.failures);
    } catch (const PythonError&) {
        run.end(PlanRun::Outcome::failed, index);
        stop_and_end(it, run);
    }
    Ref key = check(PyLong_FromSize_t(index));
    return check(PyTuple_Pack(2, key.get(), outcome.get()));
}

// The next (index, result), or an empty Ref when every child has reported.
Ref next_result(CompletedObject& it, PlanRun& run) {
    for (;;) {
        if (!run.undelivered.empty() || !run.ended_unreported.empty()) {
            const bool has_report = !run.undelivered.empty();
            const size_t index = has_report ? run.undelivered.front() : run.ended_unreported.front();
            (has_report ? run.undelivered : run.ended_unreported).pop_front();
            return handed_out(it, run, index);
        }
        if (run.done()) {
            // Gathering, every child gets its turn: those never forked too.
            while (it.failures == Failures::gather && it.next_unforked < run.children.size()) {
                const size_t index = it.next_unforked++;
                if (run.children[index].phase == Child::Phase::unforked) return handed_out(it, run, index);
            }
            release(it, run);
            finish(it.globals, it.plan, run, it.failures);
            return Ref();
        }
        try {
            run_until(it.globals, it.plan, run, Until::report, it.failures);
        } catch (const PythonError&) {
            stop_and_end(it, run);
        }
    }
}

PyObject* completed_next(PyObject* self) {
    CompletedObject& it = as_completed_object(self);
    return entry_point("Pcall.as_completed iterator __next__", [&] {
        Running running(it);
        if (!it.claimed || it.plan == nullptr) return Ref();
        return next_result(it, run_of_holder(it.holder));
    });
}

// Stopping early: the children still running are stopped and reaped, those
// not started yet never start; what was delivered stays for a later join.
void stop_early(CompletedObject& it, Python python) {
    if (!it.claimed) return;
    PlanRun& run = run_of_holder(it.holder);
    undo_on_error([&] { if (run.alive() > 0) stop_children(it.globals, it.plan, run, false, python); },
                  [&] { release(it, run); });
    release(it, run);
}

PyObject* completed_close(PyObject* self, PyObject*) {
    return entry_point("Pcall.as_completed iterator close", [&] {
        Running running(as_completed_object(self));
        stop_early(as_completed_object(self), Python::allowed);
        return Ref::borrow(Py_None);
    });
}

// Leaving the loop (break, or the iterator dropped): the children are stopped
// without running Python code, so that a Ctrl-C meanwhile stays pending and
// is raised where the loop was left, not lost in a finaliser.
void completed_finalize(PyObject* self) {
    Ref error = Ref::steal(compat::fetch_raised_exception());
    if (entry_point_status("Pcall.as_completed iterator finaliser",
                           [&] { stop_early(as_completed_object(self), Python::none); }) < 0)
        PyErr_WriteUnraisable(self);
    if (error) compat::restore_raised_exception(error.release());
}

int completed_traverse(PyObject* self, visitproc visit, void* arg) {
    CompletedObject& it = as_completed_object(self);
    Py_VISIT(it.plan);
    Py_VISIT(it.holder);
    Py_VISIT(it.globals);
    return 0;
}

int completed_clear(PyObject* self) {
    CompletedObject& it = as_completed_object(self);
    Py_CLEAR(it.plan);
    Py_CLEAR(it.globals);
    // The holder stays: a finaliser may still need the run.
    return 0;
}

void completed_dealloc(PyObject* self) {
    if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
    PyObject_GC_UnTrack(self);
    CompletedObject& it = as_completed_object(self);
    Py_CLEAR(it.plan);
    Py_CLEAR(it.holder);
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
    Ref holder;
    PlanRun& run = plan_run(self, holder);
    if (!run.started()) raise_error(PyExc_RuntimeError, "as_completed: the plan was not started");
    const Failures failures = failures_wanted(self, arguments[1]);
    CompletedObject* it = PyObject_GC_New(CompletedObject, &completed_type);
    if (it == nullptr) throw PythonError{};
    it->plan = nullptr;
    it->holder = nullptr;
    it->globals = nullptr;
    it->claimed = false;
    it->running = false;
    it->failures = failures;
    it->next_unforked = 0;
    Ref iterator = Ref::steal(reinterpret_cast<PyObject*>(it));
    run.claim_or_raise("as_completed");  // released when the iteration ends
    it->claimed = true;
    Py_INCREF(self);
    it->plan = self;
    it->holder = holder.release();
    Py_INCREF(function.globals);
    it->globals = function.globals;
    PyObject_GC_Track(iterator.get());
    return iterator;
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
    "still running; the results that arrived stay for a later join.\n"
    "\n"
    ":param return_exceptions: when true, a child's failure is yielded as\n"
    "(index, exception) and the loop goes on, as join(return_exceptions=True)\n"
    "fills the slots; every child is yielded once, those never started too.\n"
    "None (the default) takes the attribute return_exceptions of the plan.",
    signature({"self"}, {"return_exceptions"}),
    as_completed_body,
};

}  // namespace tandrel
