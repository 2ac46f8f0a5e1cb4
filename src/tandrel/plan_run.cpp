#include "plan_run.h"

#include "names.h"
#include "python_objects/calls.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <poll.h>
#include <sys/wait.h>

namespace tandrel {

using namespace python_objects;

namespace {

struct InboxObject {
    PyObject_HEAD
    PlanRun* run;
};

PyTypeObject inbox_type = static_type_header();

InboxObject& as_inbox(PyObject* object) { return *reinterpret_cast<InboxObject*>(object); }

int inbox_traverse(PyObject* object, visitproc visit, void* arg) {
    PlanRun* run = as_inbox(object).run;
    if (run == nullptr) return 0;
    for (const Ref& worker : run->workers) Py_VISIT(worker.get());
    Py_VISIT(run->messages.get());
    return 0;
}

int inbox_clear(PyObject* object) {
    PlanRun* run = as_inbox(object).run;
    if (run == nullptr) return 0;
    // Moved out first: releasing them may run code that looks at the run.
    std::vector<Ref> workers = std::move(run->workers);
    run->workers.clear();
    Ref messages = std::move(run->messages);
    return 0;
}

void inbox_dealloc(PyObject* object) {
    PyObject_GC_UnTrack(object);
    inbox_clear(object);
    delete as_inbox(object).run;  // closes the receiving end
    Py_TYPE(object)->tp_free(object);
}

using Clock = std::chrono::steady_clock;

double seconds_until(Clock::time_point deadline) {
    return std::chrono::duration<double>(deadline - Clock::now()).count();
}

// Whether the child has exited (or is gone altogether), without collecting
// its exit status: that is left to the standard Process.
bool has_exited(long pid) {
    for (;;) {
        siginfo_t info;
        std::memset(&info, 0, sizeof info);
        if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0) return info.si_pid != 0;
        if (errno == EINTR) continue;
        // ECHILD: already collected by someone, or by the kernel itself when
        // SIGCHLD is ignored. Either way it has ended.
        return true;
    }
}

void learn_child(PlanRun& run, size_t index) {
    ChildState& child = run.children[index];
    if (child.known) return;
    try {
        PyObject* worker = run.workers[index].get();
        const long pid = PyLong_AsLong(get_attr(worker, name_pid).get());
        if (pid == -1 && PyErr_Occurred()) throw PythonError{};
        const long sentinel = PyLong_AsLong(get_attr(worker, name_sentinel).get());
        if (sentinel == -1 && PyErr_Occurred()) throw PythonError{};
        child.pid = pid;
        child.sentinel = static_cast<int>(sentinel);
        child.known = true;
        run.index_of_pid[pid] = index;
    } catch (const PythonError&) {
        // Nothing can be waited for without them: the child counts as ended.
        child.phase = ChildState::Phase::ended;
        --run.alive;
        throw;
    }
}

// Collects the exit status through the standard Process (join with no wait)
// and lets go of its descriptors, which a long capped run would pile up.
void reap(PlanRun& run, size_t index) {
    ChildState& child = run.children[index];
    child.phase = ChildState::Phase::ended;
    --run.alive;
    PyObject* worker = run.workers[index].get();
    Ref no_wait = check(PyLong_FromLong(0));
    call_method(worker, name_join, no_wait.get());
    if (get_attr(worker, name_exitcode).get() == Py_None) return;  // status unknown: leave it be
    Ref popen = get_attr(worker, name_popen);
    if (popen.get() != Py_None) call_method(popen.get(), name_close);
}

// The stored failure of a message that cannot be rebuilt: it names the child
// and carries the unpickling error as its cause.
Ref unrebuildable(size_t index) {
    Ref error = Ref::steal(compat::fetch_raised_exception());
    Ref reason = Ref::steal(PyObject_Str(error.get()));
    if (!reason) {
        PyErr_Clear();
        reason = check(PyUnicode_FromString("<unprintable error>"));
    }
    Ref failure = check(PyObject_CallFunction(
        PyExc_RuntimeError, "N",
        check(PyUnicode_FromFormat("The result of child process-%zd could not be rebuilt in the parent (%s: %U).",
                                   static_cast<Py_ssize_t>(index), Py_TYPE(error.get())->tp_name, reason.get()))
            .release()));
    PyException_SetCause(failure.get(), error.release());
    Ref key = check(PyLong_FromSize_t(index));
    return check(PyTuple_Pack(3, key.get(), Py_False, failure.get()));
}

// Rebuilds the messages received, in order. An arrival leaves `received`
// only once its message is stored: an interrupt while one is rebuilt loses
// nothing, the next step takes it up again.
void take_arrivals(PyObject* globals, PlanRun& run) {
    std::vector<Arrival>& arrivals = run.received;
    if (arrivals.empty()) return;
    size_t taken = 0;
    try {
        Ref multiprocessing = lookup_global(globals, global_multiprocessing);
        Ref reducer = get_attr(multiprocessing.get(), name_reducer);
        Ref pickler = get_attr(reducer.get(), name_forking_pickler);
        Ref loads = get_attr(pickler.get(), name_loads);
        for (; taken < arrivals.size(); ++taken) {
            auto found = run.index_of_pid.find(arrivals[taken].pid);
            if (found == run.index_of_pid.end()) continue;  // not a child of this run
            const size_t index = found->second;
            const Ref payload = arrivals[taken].payload, error = arrivals[taken].error;
            Ref message;
            try {
                if (error) {
                    compat::restore_raised_exception(Ref(error).release());
                    throw PythonError{};
                }
                message = call(loads.get(), payload.get());
            } catch (const PythonError&) {
                if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
                message = unrebuildable(index);
            }
            Ref key = check(PyLong_FromSize_t(index));
            check_status(PyDict_SetItem(run.messages.get(), key.get(), message.get()));
            run.arrivals.push_back(index);
            arrivals[taken].payload = Ref();  // a large result's bytes go as soon as it is rebuilt
        }
    } catch (const abi::__forced_unwind&) {
        throw;
    } catch (...) {
        arrivals.erase(arrivals.begin(), arrivals.begin() + static_cast<std::ptrdiff_t>(taken));
        throw;
    }
    arrivals.clear();
}

bool awaits_rebuilding(const PlanRun& run, long pid) {
    return std::any_of(run.received.begin(), run.received.end(), [&](const Arrival& a) { return a.pid == pid; });
}

// `with context:` as the statement does it, looking the methods up on the type.
Ref lookup_special(PyObject* object, PyObject* name) {
    // Held: binding may run code that changes the type.
    Ref descriptor = Ref::steal(compat::type_lookup_ref(Py_TYPE(object), name));
    if (!descriptor) {
        if (!PyErr_Occurred()) PyErr_SetObject(PyExc_AttributeError, name);
        throw PythonError{};
    }
    descrgetfunc bind = Py_TYPE(descriptor.get())->tp_descr_get;
    if (bind == nullptr) return descriptor;
    return check(bind(descriptor.get(), object, reinterpret_cast<PyObject*>(Py_TYPE(object))));
}

bool may_fork(const PlanRun& run) {
    return !run.forking_over && run.next_to_fork < run.children.size() && (run.cap == 0 || run.alive < run.cap);
}

}  // namespace

bool PlanRun::reported(size_t index) const {
    Ref key = check(PyLong_FromSize_t(index));
    return check_status(PyDict_Contains(messages.get(), key.get())) > 0;
}

void ready_plan_run_type() {
    if (inbox_type.tp_flags & Py_TPFLAGS_READY) return;
    PyTypeObject& t = inbox_type;
    t.tp_name = "vortan.async_.tandrel.Inbox";
    t.tp_basicsize = sizeof(InboxObject);
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    t.tp_doc =
        "The receiving end of a plan's result channel, and what the plan knows of\n"
        "its children. Only the plan holds it; dropping the plan closes it.";
    t.tp_traverse = inbox_traverse;
    t.tp_clear = inbox_clear;
    t.tp_dealloc = inbox_dealloc;
    check_status(PyType_Ready(&t));
}

Ref make_inbox(int receiver_fd) {
    InboxObject* object = PyObject_GC_New(InboxObject, &inbox_type);
    if (object == nullptr) {
        close(receiver_fd);
        throw PythonError{};
    }
    object->run = nullptr;
    Ref inbox = Ref::steal(reinterpret_cast<PyObject*>(object));
    try {
        object->run = new PlanRun(receiver_fd);
    } catch (const abi::__forced_unwind&) {
        throw;
    } catch (...) {
        close(receiver_fd);
        throw;
    }
    object->run->messages = check(PyDict_New());
    PyObject_GC_Track(inbox.get());
    return inbox;
}

PlanRun& plan_run(PyObject* plan, Ref& holder) {
    holder = get_attr(plan, name_private_inbox);
    if (Py_TYPE(holder.get()) != &inbox_type)
        raise_format(PyExc_TypeError, "_inbox of a plan must be the inbox it was built with, not %.200s",
                     Py_TYPE(holder.get())->tp_name);
    return *as_inbox(holder.get()).run;
}

PlanRun& plan_run_of_inbox(PyObject* inbox) { return *as_inbox(inbox).run; }

BusyRun::BusyRun(PlanRun& run, const char* what) : run_(run) {
    if (run.busy)
        raise_format(PyExc_RuntimeError, "%s: another join or as_completed is already running on this plan", what);
    run.busy = true;
}

void fork_children(PyObject* globals, PlanRun& run, bool even_none) {
    if (!may_fork(run) && !even_none) return;
    Ref managed_handlers = lookup_global(globals, global_managed_handlers);
    Ref tasklog = get_attr(managed_handlers.get(), name_tasklog);
    Ref context = call_method(tasklog.get(), name_consolidate);
    Ref exit = lookup_special(context.get(), name_exit);
    call(lookup_special(context.get(), name_enter).get());
    try {
        while (may_fork(run)) {
            run.started = true;
            const size_t index = run.next_to_fork;
            call_method(run.workers[index].get(), name_start);
            run.children[index].phase = ChildState::Phase::running;
            ++run.alive;
            ++run.next_to_fork;
        }
    } catch (const PythonError&) {
        run.forking_over = true;
        Ref failure = Ref::steal(compat::fetch_raised_exception());
        bool suppress;
        {
            HandlingException handling(failure.get());
            Ref traceback = Ref::steal(PyException_GetTraceback(failure.get()));
            Ref answer = call(exit.get(), reinterpret_cast<PyObject*>(Py_TYPE(failure.get())), failure.get(),
                              traceback ? traceback.get() : Py_None);
            suppress = is_true(answer.get());
        }
        if (suppress) return;
        compat::restore_raised_exception(failure.release());
        throw;
    }
    call(exit.get(), Py_None, Py_None, Py_None);
}

void pump(PyObject* globals, PyObject* plan, PlanRun& run, double seconds, Signals signals) {
    using Phase = ChildState::Phase;
    std::vector<pollfd> fds;
    std::vector<size_t> polled;
    fds.push_back({run.receiver.fd(), POLLIN, 0});
    bool closing = false;
    for (size_t i = 0; i < run.children.size(); ++i) {
        ChildState& child = run.children[i];
        if (child.phase == Phase::running) {
            learn_child(run, i);
            fds.push_back({child.sentinel, POLLIN, 0});
            polled.push_back(i);
        } else if (child.phase == Phase::closing) {
            closing = true;
        }
    }
    // A closing child's exit is normally a matter of moments; one that closed
    // its sentinel itself and runs on is looked at less and less often.
    if (!run.received.empty()) seconds = 0;  // messages to rebuild already
    if (closing) {
        seconds = std::min(seconds, run.closing_wait);
        run.closing_wait = std::min(run.closing_wait * 2, 0.25);
    } else {
        run.closing_wait = 0.002;
    }
    const int milliseconds = seconds <= 0 ? 0 : static_cast<int>(std::ceil(seconds * 1000));
    int ready;
    Py_BEGIN_ALLOW_THREADS
    ready = poll(fds.data(), fds.size(), milliseconds);
    Py_END_ALLOW_THREADS
    bool timed_out = ready == 0;
    if (ready < 0) {
        const bool interrupted = errno == EINTR;
        if (!interrupted && signals == Signals::raise) {
            PyErr_SetFromErrno(PyExc_OSError);
            throw PythonError{};
        }
        if (interrupted && signals == Signals::raise) check_status(PyErr_CheckSignals());
        // While stopping, a wait that fails (too many descriptors for the
        // limit, say) must not keep the children from being looked at.
        timed_out = !interrupted;
    }

    // Which children ended, before the drain: whatever they sent is then
    // already in the channel.
    std::vector<size_t> ended;
    for (size_t k = 0; k < polled.size(); ++k) {
        const size_t i = polled[k];
        ChildState& child = run.children[i];
        // A sentinel may also be held by a grandchild: a periodic look at
        // every child catches those that ended all the same.
        if (fds[k + 1].revents == 0 && !timed_out) continue;
        if (has_exited(child.pid)) ended.push_back(i);
        else if (fds[k + 1].revents != 0) child.phase = Phase::closing;  // sentinel closed early
    }
    for (size_t i = 0; i < run.children.size(); ++i) {
        if (run.children[i].phase == Phase::closing && has_exited(run.children[i].pid)) ended.push_back(i);
    }

    // The children that ended are reaped even when reading or rebuilding
    // fails: a step that raises every time must not keep them counted alive.
    Ref failure;
    try {
        run.receiver.drain(run.received);
        take_arrivals(globals, run);
    } catch (const PythonError&) {
        failure = Ref::steal(compat::fetch_raised_exception());
    }
    for (size_t i : ended) {
        if (run.children[i].phase == Phase::ended) continue;  // counted once, whatever ran meanwhile
        run.receiver.discard(run.children[i].pid);  // what a dead child left unfinished
        reap(run, i);
        if (!run.reported(i) && !awaits_rebuilding(run, run.children[i].pid)) run.silent.push_back(i);
    }
    if (failure) {
        compat::restore_raised_exception(failure.release());
        throw PythonError{};
    }
    fork_children(globals, run, false);
    (void)plan;
}

void stop_children(PyObject* globals, PyObject* plan, PlanRun& run, bool terminated) {
    using Phase = ChildState::Phase;
    run.forking_over = true;
    if (run.outcome == PlanRun::Outcome::open) run.outcome = PlanRun::Outcome::stopped;
    auto each_alive = [&](PyObject* method) {
        for (size_t i = 0; i < run.children.size(); ++i) {
            const Phase phase = run.children[i].phase;
            if (phase != Phase::running && phase != Phase::closing) continue;
            try {
                call_method(run.workers[i].get(), method);
            } catch (const PythonError&) {
                PyErr_Clear();
            }
        }
    };
    auto settle = [&](double seconds) {
        try {
            pump(globals, plan, run, seconds, Signals::defer);
        } catch (const PythonError&) {
            PyErr_Clear();
        }
    };
    if (!terminated) each_alive(name_terminate);

    double grace = 1.0;
    try {
        grace = PyFloat_AsDouble(get_attr(plan, name_grace_period).get());
        if (grace == -1.0 && PyErr_Occurred()) throw PythonError{};
    } catch (const PythonError&) {
        PyErr_Clear();
        grace = 1.0;
    }
    if (!(grace > 0)) grace = 0;
    const Clock::time_point deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                          std::chrono::duration<double>(std::min(grace, 1e6)));
    while (run.alive > 0) {
        const double left = seconds_until(deadline);
        if (left <= 0) break;
        settle(std::min(left, 0.25));
    }
    if (run.alive > 0) each_alive(name_kill);
    while (run.alive > 0) settle(0.25);
}

void stop_and_rethrow(PyObject* globals, PyObject* plan, PlanRun& run) {
    Ref error = Ref::steal(compat::fetch_raised_exception());
    stop_children(globals, plan, run, false);
    compat::restore_raised_exception(error.release());
    throw PythonError{};
}

}  // namespace tandrel
