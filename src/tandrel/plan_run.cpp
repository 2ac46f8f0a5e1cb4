#include "plan_run.h"

#include "child_failures.h"
#include "child_labor.h"
#include "names.h"
#include "process_group.h"
#include "python_objects/calls.h"
#include "python_objects/module.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstring>
#include <utility>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tandrel {

using namespace python_objects;

namespace {

using Clock = std::chrono::steady_clock;

Clock::time_point after_seconds(double seconds) {
    return Clock::now() +
           std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(std::min(seconds, 1e9)));
}

double seconds_until(Clock::time_point deadline) {
    return std::chrono::duration<double>(deadline - Clock::now()).count();
}

// Pids of the children of dropped plans, killed and not reaped yet.
std::vector<long> orphans;

// Guards the list of open runs and the orphans: with the GIL off, plans in
// different threads open and drop their runs at once. The exit handler holds
// it while it stops every run, Python code included, so a thread dropping a
// plan meanwhile waits (detached, so that it never holds up a fork or a
// collection), and the handler's own thread passes. Held only for moments
// otherwise, so a flag and a yield serve as the lock.
class RunsGuard {
public:
    RunsGuard() noexcept {
        static const int registered = pthread_atfork(nullptr, nullptr, [] {
            // Whoever held it is not in the child.
            held_.store(false, std::memory_order_relaxed);
            owner_.store(pthread_t{}, std::memory_order_relaxed);
            depth_ = 0;
        });
        (void)registered;
        const pthread_t me = pthread_self();
        // Only the holder can find itself the owner; depth_ is then its own.
        if (pthread_equal(owner_.load(std::memory_order_relaxed), me)) {
            ++depth_;
            return;
        }
        while (held_.exchange(true, std::memory_order_acquire)) {
            if (!PyGILState_Check()) {
                sched_yield();
                continue;
            }
            Py_BEGIN_ALLOW_THREADS
            sched_yield();
            Py_END_ALLOW_THREADS
        }
        owner_.store(me, std::memory_order_relaxed);
        depth_ = 1;
    }
    ~RunsGuard() {
        if (--depth_ > 0) return;
        owner_.store(pthread_t{}, std::memory_order_relaxed);
        held_.store(false, std::memory_order_release);
    }
    RunsGuard(const RunsGuard&) = delete;
    RunsGuard& operator=(const RunsGuard&) = delete;

private:
    static inline std::atomic<bool> held_{false};
    static inline std::atomic<pthread_t> owner_{};
    static inline int depth_ = 0;  // only its holder reads or writes it
};

// The run the exit handler is stopping, and whether its plan was dropped
// meanwhile (by a signal handler, say): the run is then left to the handler,
// which must not find it gone, and deleted once the handler is done with it.
PlanRun* run_stopped_at_exit = nullptr;
bool run_stopped_at_exit_dropped = false;

// Whether `run` is left to the exit handler. Another thread waits here until
// the handler has finished, as it would to unlink the run.
bool left_to_exit_handler(PlanRun* run) {
    const RunsGuard held;
    return run == run_stopped_at_exit;
}

}  // namespace

// ---- the run and its state --------------------------------------------------------

PlanRun::PlanRun(int receiver_fd) : receiver(receiver_fd), owner_pid_(getpid()) {
    const RunsGuard held;
    next_ = open_;
    if (open_ != nullptr) open_->previous_ = this;
    open_ = this;
}

PlanRun::~PlanRun() {
    {
        const RunsGuard held;
        if (previous_ != nullptr) previous_->next_ = next_;
        else if (open_ == this) open_ = next_;
        if (next_ != nullptr) next_->previous_ = previous_;
    }
    // The holder abandoned the run already (holder_clear); what a plan
    // forked is never left running here.
    for (Child& child : children) {
        if (owned_here() && child.may_signal()) kill(static_cast<pid_t>(child.pid), SIGKILL);
        release_descriptors(child.descriptors);
    }
}

bool PlanRun::owned_here() const { return owner_pid_ == getpid(); }

bool PlanRun::reported(size_t index) const {
    Ref key = check(PyLong_FromSize_t(index));
    return check_status(PyDict_Contains(reports.get(), key.get())) > 0;
}

void PlanRun::begin(size_t running_cap) {
    cap = running_cap;
    stage_ = Stage::forking;
    if (children.empty()) stage_ = Stage::no_more_forks;
}

void PlanRun::stop_forking() {
    forking_stopped_ = true;
    if (stage_ == Stage::forking) stage_ = Stage::no_more_forks;
}

void PlanRun::add_child(Ref worker) {
    workers.push_back(std::move(worker));
    children.emplace_back();
    if (stage_ == Stage::no_more_forks && !forking_stopped_) stage_ = Stage::forking;
}

void PlanRun::end(Outcome outcome, size_t failed) {
    stop_forking();
    stage_ = Stage::ended;
    outcome_ = outcome;
    failed_child = failed;
}

void PlanRun::set_phase(size_t index, Child::Phase phase) {
    Child& child = children[index];
    const bool was_alive = child.alive();
    child.phase = phase;
    if (was_alive && !child.alive()) --alive_;
    if (!was_alive && child.alive()) ++alive_;
}

void PlanRun::forked(size_t index, const ForkedChild& forked) {
    Child& child = children[index];
    child.pid = forked.pid;
    child.sentinel = forked.sentinel;
    child.descriptors = forked.descriptors;
    if (forked.pid > 0) index_of_pid[forked.pid] = index;
    next_to_fork = index + 1;
    set_phase(index, Child::Phase::running);
    if (next_to_fork == children.size() && stage_ == Stage::forking) stage_ = Stage::no_more_forks;
}

void PlanRun::claim_or_raise(const char* what) {
    if (!claim())
        raise_format(PyExc_RuntimeError, "%s: another join or as_completed is already running on this plan", what);
}

namespace {
void share_exit_status(PlanRun& run, size_t index, const int* status);
}

// A dropped plan: its running children are killed now and reaped at once
// or, when they take a moment to die, at the next start or at exit;
// multiprocessing forgets them either way, so that it never signals or waits
// for them (their pids and descriptors are no longer theirs). No Python code
// runs: this is a deallocation.
void abandon(PlanRun& run) {
    if (!run.owned_here()) return;
    for (size_t i = 0; i < run.children.size(); ++i) {
        Child& child = run.children[i];
        if (child.phase == Child::Phase::unforked || child.phase == Child::Phase::reaped) continue;
        if (child.may_signal()) kill(static_cast<pid_t>(child.pid), SIGKILL);
        int status = 0;
        pid_t got = 0;
        if (child.pid > 0) {
            do got = waitpid(static_cast<pid_t>(child.pid), &status, WNOHANG);
            while (got < 0 && errno == EINTR);
            if (got == 0) {
                const RunsGuard held;
                orphans.push_back(child.pid);
            }
        }
        share_exit_status(run, i, got == child.pid && got > 0 ? &status : nullptr);
        release_descriptors(child.descriptors);
        run.set_phase(i, Child::Phase::reaped);
    }
}

void forget_runs_in_child() noexcept {
    const RunsGuard held;
    orphans.clear();
    ForkRecorder::forget();
}

// ---- the holder object ---------------------------------------------------------------

namespace {

struct RunHolderObject {
    PyObject_HEAD
    PlanRun* run;
};

PyTypeObject run_holder_type = static_type_header();

RunHolderObject& as_holder(PyObject* object) { return *reinterpret_cast<RunHolderObject*>(object); }

int holder_traverse(PyObject* object, visitproc visit, void* arg) {
    PlanRun* run = as_holder(object).run;
    if (run == nullptr) return 0;
    for (const Ref& worker : run->workers) Py_VISIT(worker.get());
    Py_VISIT(run->reports.get());
    for (const auto& message : run->stream) Py_VISIT(message.second.get());
    return 0;
}

// Releases what the run holds of Python objects, its children stopped first.
void release_run_objects(PlanRun* run) {
    {
        // Deallocation may come while an error propagates: it stays as it was.
        Ref pending = Ref::steal(compat::fetch_raised_exception());
        abandon(*run);  // while the workers are still known
        if (pending) compat::restore_raised_exception(pending.release());
    }
    // Moved out first: releasing them may run code that looks at the run.
    std::vector<Ref> workers = std::move(run->workers);
    run->workers.clear();
    Ref reports = std::move(run->reports);
    auto stream = std::move(run->stream);
    run->stream.clear();
}

int holder_clear(PyObject* object) {
    PlanRun* run = as_holder(object).run;
    if (run != nullptr && !left_to_exit_handler(run)) release_run_objects(run);
    return 0;
}

void holder_dealloc(PyObject* object) {
    PyObject_GC_UnTrack(object);
    PlanRun* run = as_holder(object).run;
    if (run != nullptr && left_to_exit_handler(run)) {
        run_stopped_at_exit_dropped = true;
    } else if (run != nullptr) {
        release_run_objects(run);
        delete run;  // stops its children, closes the receiving end
    }
    Py_TYPE(object)->tp_free(object);
}

}  // namespace

void ready_plan_run_type() {
    if (run_holder_type.tp_flags & Py_TPFLAGS_READY) return;
    PyTypeObject& t = run_holder_type;
    t.tp_name = "vortan.async_.tandrel.PlanRun";
    t.tp_basicsize = sizeof(RunHolderObject);
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    t.tp_doc =
        "What a plan knows of its run: the receiving end of its result channel, its\n"
        "children and their reports. Only the plan holds it; dropping the plan stops\n"
        "the children still running and closes it.";
    t.tp_traverse = holder_traverse;
    t.tp_clear = holder_clear;
    t.tp_dealloc = holder_dealloc;
    check_status(PyType_Ready(&t));
}

Ref make_run_holder(int receiver_fd) {
    RunHolderObject* object = PyObject_GC_New(RunHolderObject, &run_holder_type);
    if (object == nullptr) {
        close(receiver_fd);
        throw PythonError{};
    }
    object->run = nullptr;
    Ref holder = Ref::steal(reinterpret_cast<PyObject*>(object));
    object->run = undo_on_error([&] { return new PlanRun(receiver_fd); }, [&] { close(receiver_fd); });
    object->run->reports = check(PyDict_New());
    PyObject_GC_Track(holder.get());
    return holder;
}

PlanRun& plan_run(PyObject* plan, Ref& holder) {
    holder = get_attr(plan, name_private_run);
    if (Py_TYPE(holder.get()) != &run_holder_type)
        raise_format(PyExc_TypeError, "_run of a plan must be the run it was built with, not %.200s",
                     Py_TYPE(holder.get())->tp_name);
    return *as_holder(holder.get()).run;
}

PlanRun& run_of_holder(PyObject* holder) { return *as_holder(holder).run; }

Ref forking_pickler(PyObject* globals) {
    Ref multiprocessing = lookup_global(globals, global_multiprocessing);
    Ref reducer = get_attr(multiprocessing.get(), name_reducer);
    return get_attr(reducer.get(), name_forking_pickler);
}

// ---- the steps -------------------------------------------------------------------------

namespace {

// Whether the child has exited (or is gone altogether), without collecting
// its exit status: that is the reaping step's.
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

struct PollSet {
    std::vector<pollfd> fds;     // the channel first, then one sentinel per polled child
    std::vector<size_t> polled;  // child indexes, in the order of their sentinels
    bool closing = false;
};

ForkedChild learn_from_worker(PyObject* worker);

// The pid and sentinel of children whose worker forked them some other way
// than ChildPopen. Without them nothing can be waited for: such a child counts
// as ended, and the error propagates.
void learn_children(PlanRun& run, Python python) {
    for (size_t i = 0; i < run.children.size(); ++i) {
        Child& child = run.children[i];
        if (!child.alive() || child.pid > 0) continue;
        if (python == Python::none) {
            run.set_phase(i, Child::Phase::reaped);
            continue;
        }
        try {
            const ForkedChild learnt = learn_from_worker(run.workers[i].get());
            child.pid = learnt.pid;
            child.sentinel = learnt.sentinel;
            run.index_of_pid[learnt.pid] = i;
            // Its group is made here, a moment late: the plan's fork makes it in the child.
            if (run.process_group) make_group_leader(learnt.pid);
        } catch (const PythonError&) {
            run.set_phase(i, Child::Phase::reaped);
            throw;
        }
    }
}

PollSet build_poll_set(const PlanRun& run) {
    PollSet set;
    set.fds.push_back({run.receiver.fd(), POLLIN, 0});
    for (size_t i = 0; i < run.children.size(); ++i) {
        const Child& child = run.children[i];
        if (child.phase == Child::Phase::running && child.sentinel >= 0) {
            set.fds.push_back({child.sentinel, POLLIN, 0});
            set.polled.push_back(i);
        } else if (child.alive()) {
            set.closing = true;  // looked at by pid, now and then
        }
    }
    return set;
}

enum class Wait { event, quiet, interrupted };

// Waits for an event; `quiet` when the wait ended without one (a look at
// every child is then due). With Python allowed an interrupted wait runs the
// signal handlers, whose exception propagates; without, the signal stays
// pending for Python and the wait says it was interrupted.
Wait wait_for_events(PlanRun& run, PollSet& set, double seconds, Python python) {
    // A closing child's exit is normally a matter of moments; one that closed
    // its sentinel itself and runs on is looked at less and less often.
    if (python == Python::allowed && !run.unrebuilt.empty()) seconds = 0;  // reports to rebuild already
    if (set.closing) {
        seconds = std::min(seconds, run.closing_wait);
        run.closing_wait = std::min(run.closing_wait * 2, 0.25);
    } else {
        run.closing_wait = 0.002;
    }
    const int milliseconds = seconds <= 0 ? 0 : static_cast<int>(std::ceil(std::min(seconds, 1e6) * 1000));
    // A signal that came before the wait would not interrupt it.
    if (python == Python::allowed) check_status(PyErr_CheckSignals());
    int ready;
    Py_BEGIN_ALLOW_THREADS
    ready = poll(set.fds.data(), set.fds.size(), milliseconds);
    Py_END_ALLOW_THREADS
    if (ready >= 0) return ready == 0 ? Wait::quiet : Wait::event;
    if (errno == EINTR) {
        if (python == Python::allowed) check_status(PyErr_CheckSignals());
        return Wait::interrupted;
    }
    if (python == Python::allowed) {
        PyErr_SetFromErrno(PyExc_OSError);
        throw PythonError{};
    }
    // While stopping, a wait that fails (too many descriptors for the limit,
    // say) must not keep the children from being looked at.
    return Wait::quiet;
}

// Notes the children that ended. A sentinel may also be held by a grandchild:
// a look at every child after a quiet wait catches those all the same.
void see_ended(PlanRun& run, const PollSet& set, bool quiet) {
    for (size_t k = 0; k < set.polled.size(); ++k) {
        const size_t i = set.polled[k];
        const bool signalled = set.fds[k + 1].revents != 0;
        if (!signalled && !quiet) continue;
        if (has_exited(run.children[i].pid)) run.set_phase(i, Child::Phase::exited);
        else if (signalled) run.set_phase(i, Child::Phase::closing);  // sentinel closed early
    }
    for (size_t i = 0; i < run.children.size(); ++i) {
        if (run.children[i].phase == Child::Phase::closing && has_exited(run.children[i].pid))
            run.set_phase(i, Child::Phase::exited);
    }
}

// The stored failure of a report that cannot be rebuilt: it names the child
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

// A child's exception, raised again in the parent later, says which child it
// came from. Only reports as ChildLabor sends them are looked at; a note that
// cannot be added is left off, and the report stays as it came.
void note_if_failure(PyObject* report, size_t index, long pid) {
    if (!PyTuple_CheckExact(report) || PyTuple_GET_SIZE(report) != 3 || PyTuple_GET_ITEM(report, 1) != Py_False)
        return;
    try {
        note_child(PyTuple_GET_ITEM(report, 2), static_cast<Py_ssize_t>(index), pid);
    } catch (const PythonError&) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
        PyErr_Clear();
    }
}

// Rebuilds the reports received, in order: the first report of each child
// counts. A report leaves `unrebuilt` only once it is stored: an interrupt
// while one is rebuilt loses nothing, the next step takes it up again.
void rebuild_reports(PyObject* globals, PlanRun& run) {
    std::vector<ReceivedMessage>& unrebuilt = run.unrebuilt;
    if (unrebuilt.empty()) return;
    size_t taken = 0;
    undo_on_error([&] {
        Ref loads = get_attr(forking_pickler(globals).get(), name_loads);
        for (; taken < unrebuilt.size(); ++taken) {
            auto found = run.index_of_pid.find(unrebuilt[taken].pid);
            if (found == run.index_of_pid.end()) continue;  // not a child of this run
            const size_t index = found->second;
            if (!run.streamed && (unrebuilt[taken].kind != MessageKind::report || run.reported(index))) continue;
            const Ref payload = unrebuilt[taken].payload, error = unrebuilt[taken].error;
            Ref report;
            try {
                if (error) {
                    compat::restore_raised_exception(Ref(error).release());
                    throw PythonError{};
                }
                report = call(loads.get(), payload.get());
            } catch (const PythonError&) {
                if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
                report = unrebuildable(index);
            }
            if (run.streamed) {
                run.stream.emplace_back(index, std::move(report));
            } else {
                note_if_failure(report.get(), index, unrebuilt[taken].pid);
                Ref key = check(PyLong_FromSize_t(index));
                check_status(PyDict_SetItem(run.reports.get(), key.get(), report.get()));
                run.undelivered.push_back(index);
            }
            unrebuilt[taken].payload = Ref();  // a large result's bytes go as soon as it is rebuilt
        }
    }, [&] { unrebuilt.erase(unrebuilt.begin(), unrebuilt.begin() + static_cast<std::ptrdiff_t>(taken)); });
    unrebuilt.clear();
}

bool awaits_rebuilding(const PlanRun& run, long pid) {
    return std::any_of(run.unrebuilt.begin(), run.unrebuilt.end(),
                       [&](const ReceivedMessage& m) { return m.pid == pid; });
}

// What Process.join does once the child has ended: multiprocessing's set of
// active children lets go of the worker (and of the channel it holds).
void forget_in_multiprocessing(PyObject* worker) {
    Ref module = Ref::steal(PyImport_GetModule(name_multiprocessing_process));
    Ref active = module ? Ref::steal(PyObject_GetAttr(module.get(), name_private_children)) : Ref();
    if (active && PySet_Check(active.get())) PySet_Discard(active.get(), worker);
    PyErr_Clear();
}

// Tells the worker's Popen the exit status the plan collected, so that
// multiprocessing forgets the child; or, when someone else collected it (the
// Popen itself, through multiprocessing's own clean-up), learns it from there.
// Plain attribute access on a Popen runs no Python code; an error would be
// the layer's own and is not worth a reap.
void share_exit_status(PlanRun& run, size_t index, const int* status) {
    Child& child = run.children[index];
    if (status != nullptr)
        child.exit_code = WIFSIGNALED(*status) ? -WTERMSIG(*status) : WEXITSTATUS(*status);
    if (child.descriptors.get() == nullptr || index >= run.workers.size()) return;  // not a ChildPopen fork
    forget_in_multiprocessing(run.workers[index].get());
    Ref popen = Ref::steal(PyObject_GetAttr(run.workers[index].get(), name_popen));
    if (!popen || popen.get() == Py_None) {
        PyErr_Clear();
        return;
    }
    if (child.exit_code) {
        Ref returncode = Ref::steal(PyLong_FromLong(*child.exit_code));
        if (!returncode || PyObject_SetAttr(popen.get(), name_returncode, returncode.get()) < 0) PyErr_Clear();
        return;
    }
    Ref returncode = Ref::steal(PyObject_GetAttr(popen.get(), name_returncode));
    if (returncode && PyLong_Check(returncode.get())) child.exit_code = PyLong_AsLong(returncode.get());
    PyErr_Clear();
}

// Collects the exit status of every child seen ended and releases its
// descriptors; no Python code runs, so no interrupt can fall in between.
// The status goes to the worker's Popen as well, so that multiprocessing
// forgets the child.
void reap_exited(PlanRun& run) {
    for (size_t i = 0; i < run.children.size(); ++i) {
        Child& child = run.children[i];
        if (child.phase != Child::Phase::exited) continue;
        int status = 0;
        pid_t got;
        do got = waitpid(static_cast<pid_t>(child.pid), &status, WNOHANG);
        while (got < 0 && errno == EINTR);
        if (got == 0) continue;  // not waitable yet: the next step looks again
        run.receiver.discard(child.pid);  // what it left unfinished
        share_exit_status(run, i, got == child.pid ? &status : nullptr);
        release_descriptors(child.descriptors);
        run.set_phase(i, Child::Phase::reaped);
        if (run.streamed) run.stream_ended.push_back(i);
        else if (!run.reported(i) && !awaits_rebuilding(run, child.pid)) run.ended_unreported.push_back(i);
    }
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

// The pid and sentinel of a worker whose Process forked it some other way.
ForkedChild learn_from_worker(PyObject* worker) {
    ForkedChild child;
    child.pid = PyLong_AsLong(get_attr(worker, name_pid).get());
    if (child.pid == -1 && PyErr_Occurred()) throw PythonError{};
    const long sentinel = PyLong_AsLong(get_attr(worker, name_sentinel).get());
    if (sentinel == -1 && PyErr_Occurred()) throw PythonError{};
    child.sentinel = static_cast<int>(sentinel);
    return child;
}

bool deadline_passed(PyObject* globals, PyObject* deadline) {
    Ref time = lookup_global(globals, global_time);
    Ref now = call_method(time.get(), name_time);
    return check_status(PyObject_RichCompareBool(now.get(), deadline, Py_GT)) > 0;
}

void signal_alive(PlanRun& run, int signal_number) {
    for (size_t i = 0; i < run.children.size(); ++i) signal_child(run, i, signal_number);
}

// Too many open files while forking: the error stays, but says how many
// children the plan has and what caps them (a note from 3.11 on, the message
// before). Failing to say so leaves the error as it was.
void explain_descriptor_shortage(const PlanRun& run, PyObject* failure) {
    if (!PyErr_GivenExceptionMatches(failure, PyExc_OSError)) return;
    try {
        const long number = PyLong_AsLong(get_attr(failure, name_errno).get());
        if (number != EMFILE && number != ENFILE) {
            PyErr_Clear();
            return;
        }
        Ref text = check(PyUnicode_FromFormat(
            "the plan has %zd child processes, each holding descriptors while it runs; "
            "start(max_running=K) caps how many run at once",
            static_cast<Py_ssize_t>(run.children.size())));
        PyObject* add_note = nullptr;
        if (check_status(compat::get_optional_attr(failure, name_add_note, &add_note)) > 0) {
            call(Ref::steal(add_note).get(), text.get());
            return;
        }
        Ref reason = get_attr(failure, name_strerror);
        set_attr(failure, name_strerror, check(PyUnicode_FromFormat("%S (%U)", reason.get(), text.get())).get());
    } catch (const PythonError&) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
        PyErr_Clear();
    }
}

}  // namespace

void signal_child(PlanRun& run, size_t index, int signal_number) {
    Child& child = run.children[index];
    if (!child.may_signal()) return;
    if (run.process_group) signal_group(child.pid, signal_number);
    else kill(static_cast<pid_t>(child.pid), signal_number);
    child.stopped = signal_number == SIGKILL ? Child::Stopped::killed : Child::Stopped::terminated;
}

double enforce_call_limits(PlanRun& run) {
    double next = 1e9;
    if (run.call_timeout <= 0) return next;
    const auto limit = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(run.call_timeout));
    auto seconds_to = [](Clock::time_point when, Clock::time_point now) {
        return std::chrono::duration<double>(when - now).count();
    };
    for (size_t i = 0; i < run.children.size(); ++i) {
        Child& child = run.children[i];
        if (!child.may_signal()) continue;
        const Clock::time_point now = Clock::now();
        if (child.stopped_at == Child::Limit::none) {
            const Clock::time_point due = child.forked_at + limit;
            if (now < due) {
                next = std::min(next, seconds_to(due, now));
                continue;
            }
            signal_child(run, i, SIGTERM);
            child.stopped_at = Child::Limit::call_timeout;
            child.kill_due = after_seconds(run.grace_period);
            next = std::min(next, run.grace_period);
        } else if (child.stopped_at == Child::Limit::call_timeout && child.stopped == Child::Stopped::terminated) {
            if (now < child.kill_due) {
                next = std::min(next, seconds_to(child.kill_due, now));
                continue;
            }
            signal_child(run, i, SIGKILL);
        }
    }
    return next;
}

void fork_children(PyObject* globals, PlanRun& run, bool even_none, PyObject* deadline) {
    if (!run.may_fork() && !even_none) return;
    if (deadline != nullptr && run.may_fork() && deadline_passed(globals, deadline)) {
        run.stop_forking();  // those left "were never started"
        return;
    }
    Ref managed_handlers = lookup_global(globals, global_managed_handlers);
    Ref tasklog = get_attr(managed_handlers.get(), name_tasklog);
    Ref context = call_method(tasklog.get(), name_consolidate);
    Ref exit = lookup_special(context.get(), name_exit);
    call(lookup_special(context.get(), name_enter).get());
    try {
        while (run.may_fork()) {
            if (deadline != nullptr && deadline_passed(globals, deadline)) {
                run.stop_forking();
                break;
            }
            const size_t index = run.next_to_fork;
            PyObject* worker = run.workers[index].get();
            ForkRecorder recorder(run.process_group);
            const Clock::time_point forking_at = Clock::now();  // a call's limit counts from here
            try {
                call_method(worker, name_start);
            } catch (const PythonError&) {
                // Forked before the error: the child is the plan's all the same.
                if (recorder.record().pid > 0) {
                    run.forked(index, recorder.record());
                    run.children[index].forked_at = forking_at;
                }
                throw;
            }
            // A worker forked some other way is learnt at the next step.
            run.forked(index, recorder.record());
            run.children[index].forked_at = forking_at;
        }
    } catch (const PythonError&) {
        run.stop_forking();
        Ref failure = Ref::steal(compat::fetch_raised_exception());
        explain_descriptor_shortage(run, failure.get());
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

void look_at_children(PlanRun& run) {
    for (size_t i = 0; i < run.children.size(); ++i) {
        const Child& child = run.children[i];
        if (child.alive() && child.pid > 0 && has_exited(child.pid)) run.set_phase(i, Child::Phase::exited);
    }
    // What they sent is read before they are reaped, as in a step.
    try {
        run.receiver.drain(run.unrebuilt);
    } catch (const PythonError&) {
        clean_up_and_reraise([&] { reap_exited(run); });
    }
    reap_exited(run);
}

bool step(PyObject* globals, PlanRun& run, double seconds, Python python, PyObject* deadline) {
    learn_children(run, python);
    PollSet set = build_poll_set(run);
    const Wait waited = wait_for_events(run, set, seconds, python);
    // Which children ended, before the drain: whatever they sent is then
    // already in the channel.
    see_ended(run, set, waited == Wait::quiet);
    // The children that ended are reaped even when reading or rebuilding
    // fails: a step that raises every time must not keep them counted alive.
    try {
        run.receiver.drain(run.unrebuilt);
        if (python == Python::allowed) rebuild_reports(globals, run);
    } catch (const PythonError&) {
        clean_up_and_reraise([&] { reap_exited(run); });
    }
    reap_exited(run);
    if (python == Python::allowed) fork_children(globals, run, false, deadline);
    return waited != Wait::interrupted;
}

namespace {

double read_grace_period(PyObject* plan, double fallback) {
    if (plan == nullptr) return fallback;
    const double grace = PyFloat_AsDouble(get_attr(plan, name_grace_period).get());
    if (grace == -1.0 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw PythonError{};
        PyErr_Clear();  // a grace period that is not a number: the default
        return fallback;
    }
    return grace > 0 ? grace : 0;
}

}  // namespace

void stop_children(PyObject* globals, PyObject* plan, PlanRun& run, bool terminated, Python python) {
    run.stop_forking();
    learn_children(run, Python::none);  // a child the plan cannot name cannot be stopped either
    if (!terminated) signal_alive(run, SIGTERM);
    // The first exception raised while stopping (a Ctrl-C, most often) ends
    // the grace period; it is raised once every child is reaped.
    Ref error;
    auto keep_error = [&] {
        Ref raised = Ref::steal(compat::fetch_raised_exception());
        if (!error) error = std::move(raised);
    };
    double grace = run.grace_period;
    if (python == Python::allowed) {
        try {
            grace = read_grace_period(plan, grace);
        } catch (const PythonError&) {
            keep_error();
            grace = 0;
        }
    }
    const Clock::time_point deadline = after_seconds(grace);
    while (run.alive() > 0 && !error) {
        const double left = seconds_until(deadline);
        if (left <= 0) break;
        try {
            // A signal for Python (a Ctrl-C) ends the grace period as an
            // exception would; without Python it stays pending.
            if (!step(globals, run, std::min(left, 0.25), python) && python == Python::none) break;
        } catch (const PythonError&) {
            keep_error();
        }
    }
    if (run.alive() > 0) signal_alive(run, SIGKILL);
    while (run.alive() > 0) {
        try {
            step(globals, run, 0.25, Python::none);
        } catch (const PythonError&) {
            keep_error();
        }
    }
    if (run.outcome() == PlanRun::Outcome::none) run.end(PlanRun::Outcome::stopped);
    if (error) {
        compat::restore_raised_exception(error.release());
        throw PythonError{};
    }
}

void stop_and_rethrow(PyObject* globals, PyObject* plan, PlanRun& run) {
    clean_up_and_reraise([&] { stop_children(globals, plan, run, false); });
}

void reap_orphans(bool wait) {
    const RunsGuard held;
    std::vector<long> left;
    for (long pid : orphans) {
        int status;
        pid_t got;
        do got = waitpid(static_cast<pid_t>(pid), &status, wait ? 0 : WNOHANG);
        while (got < 0 && errno == EINTR);
        if (got == 0) left.push_back(pid);
    }
    orphans = std::move(left);
}

void stop_runs_at_exit(PyObject* globals) {
    // Every run is stopped whatever happens to one of them; the first error
    // (a Ctrl-C during the wait) is raised at the end.
    Ref error;
    const RunsGuard held;
    for (PlanRun* run = PlanRun::open_; run != nullptr;) {
        if (run->stopped_at_exit_ || !run->owned_here() || run->alive() == 0) {
            run = run->next_;
            continue;
        }
        run->stopped_at_exit_ = true;
        run_stopped_at_exit = run;
        run->stop_forking();
        try {
            // Reading the channel on: a child blocked sending to a plan nobody
            // joins must not hold up the wait.
            while (run->alive() > 0 && !error && !run_stopped_at_exit_dropped) {
                const double left = run->exit_deadline ? seconds_until(*run->exit_deadline) : 0.25;
                if (left <= 0) break;
                step(globals, *run, std::min(left, 0.25), Python::none);
                check_status(PyErr_CheckSignals());
            }
        } catch (const PythonError&) {
            error = Ref::steal(compat::fetch_raised_exception());
        }
        try {
            // A plan dropped meanwhile has its children killed below, as a dropped plan does.
            if (!run_stopped_at_exit_dropped)
                stop_children(globals, nullptr, *run, false, error ? Python::none : Python::allowed);
        } catch (const PythonError&) {
            Ref raised = Ref::steal(compat::fetch_raised_exception());
            if (!error) error = std::move(raised);
        }
        run_stopped_at_exit = nullptr;
        if (!std::exchange(run_stopped_at_exit_dropped, false)) {
            run = run->next_;
            continue;
        }
        // Its last references may drop other runs: start again from the first.
        abandon(*run);
        delete run;
        run = PlanRun::open_;
    }
    reap_orphans(true);
    if (error) {
        compat::restore_raised_exception(error.release());
        throw PythonError{};
    }
}

}  // namespace tandrel
