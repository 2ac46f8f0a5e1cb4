// What a plan knows about its children, and the steps that move a run on:
// build the poll set, wait, see which children ended, collect their messages,
// reap them, fork the next ones up to the cap. `join`, `as_completed` and the
// stop routine are loops over those steps.
//
// Every record of a step is made after the step has happened, from what the
// plan itself saw (fork, waitid, waitpid), never from multiprocessing: with
// SIGCHLD ignored or a user's reaping handler its `returncode` stays None.
#pragma once

#include "channel.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <list>
#include <map>
#include <optional>
#include <vector>

namespace tandrel {

// What the plan's fork learned the moment fork() returned, before any Python
// code could raise: the child's pid, the read end of its sentinel pipe and the
// object that owns both pipe ends (see ChildPopen).
struct ForkedChild {
    long pid = 0;
    int sentinel = -1;
    python_objects::Ref descriptors;
    // Asked of the fork rather than learned: the child makes itself the
    // leader of a new process group as its first step after the fork.
    bool own_group = false;
};

// Where the fork of the current thread records its child, for the span of a
// scope (nested plans in a child each get their own).
class ForkRecorder {
public:
    explicit ForkRecorder(bool own_group = false) noexcept : previous_(current_) {
        record_.own_group = own_group;
        current_ = &record_;
    }
    ~ForkRecorder() { current_ = previous_; }
    ForkRecorder(const ForkRecorder&) = delete;
    ForkRecorder& operator=(const ForkRecorder&) = delete;
    const ForkedChild& record() const noexcept { return record_; }

    // The record to fill, or nullptr when the fork is not the plan's.
    static ForkedChild* current() noexcept { return current_; }
    // In a forked child: its parent's records are not its own.
    static void forget() noexcept { current_ = nullptr; }

private:
    ForkedChild record_;
    ForkedChild* previous_;
    static inline thread_local ForkedChild* current_ = nullptr;
};

struct Child {
    enum class Phase : unsigned char {
        unforked,
        running,
        closing,  // its sentinel closed, but the process has not exited yet
        exited,   // seen ended (waitid, or ECHILD when someone else reaped it)
        reaped,   // exit status collected where it could be, descriptors released
    };
    // Whether the plan itself signalled it (room for the limits a plan may set).
    enum class Stopped : unsigned char { no, terminated, killed };

    Phase phase = Phase::unforked;
    Stopped stopped = Stopped::no;
    long pid = 0;
    int sentinel = -1;
    python_objects::Ref descriptors;  // owns the sentinel; nullptr for a worker forked elsewhere
    std::optional<long> exit_code;    // as Process.exitcode gives it; unknown when someone else reaped it
    // The time limit at which the plan stopped it, if one did: a child that
    // never reported is then answered with TimeoutError, not ChildProcessError.
    enum class Limit : unsigned char { none, call_timeout, plan_timeout };
    Limit stopped_at = Limit::none;
    std::chrono::steady_clock::time_point forked_at{};  // taken just before its fork
    std::chrono::steady_clock::time_point kill_due{};   // once terminated at its call_timeout

    bool alive() const { return phase == Phase::running || phase == Phase::closing; }
    // Once seen ended, its pid may belong to another process: never signalled again.
    bool may_signal() const { return alive() && pid > 0; }
};

class PlanRun {
public:
    enum class Stage : unsigned char {
        not_started,
        forking,        // children left to fork, under the cap
        no_more_forks,  // all forked, or forking stopped (failure, deadline, stop)
        ended,          // join or as_completed finished, or the run was stopped
    };
    // How the run ended, for repr.
    enum class Outcome : unsigned char { none, finished, failed, timed_out, stopped };

    explicit PlanRun(int receiver_fd);
    ~PlanRun();
    PlanRun(const PlanRun&) = delete;
    PlanRun& operator=(const PlanRun&) = delete;

    Receiver receiver;
    std::vector<python_objects::Ref> workers;  // snapshot of _processes taken by start
    std::vector<Child> children;
    // Node-based containers on purpose: with GCC 11 and later, the bucket
    // arrays of unordered_map and the block maps of deque need a libstdc++
    // newer than the wheels may assume (GLIBCXX_3.4.29).
    std::map<long, size_t> index_of_pid;
    python_objects::Ref reports;            // dict: child index -> report as rebuilt
    std::vector<ReceivedMessage> unrebuilt;  // read off the channel, not rebuilt yet
    std::list<size_t> undelivered;           // indexes with a report not yet handed out
    std::list<size_t> ended_unreported;      // indexes that ended without a report, not yet handed out
    // A streamed run (Pcall.map) hears from each child many times: every
    // report and batch is kept, in arrival order, for the run's owner to
    // take, and every child reaped goes to `stream_ended`, reported or not.
    bool streamed = false;
    std::vector<std::pair<size_t, python_objects::Ref>> stream;
    std::list<size_t> stream_ended;
    size_t cap = 0;                          // children alive at once; 0: no cap
    size_t next_to_fork = 0;
    double grace_period = 1.0;  // as read at start, for stops that cannot run Python code
    bool process_group = false;  // each child leads its own process group: signals go to the group
    double call_timeout = 0;     // seconds each child may run from its fork; 0: no limit
    python_objects::Ref call_timeout_given;  // the limit as given, for messages
    // starttime + timeout on the steady clock, for the exit handler.
    std::optional<std::chrono::steady_clock::time_point> exit_deadline;
    double closing_wait = 0.002;  // grows while a child stays closing
    size_t failed_child = 0;

    Stage stage() const { return stage_; }
    Outcome outcome() const { return outcome_; }
    size_t alive() const { return alive_; }
    bool started() const { return stage_ != Stage::not_started; }
    bool may_fork() const {
        return stage_ == Stage::forking && next_to_fork < children.size() && (cap == 0 || alive_ < cap);
    }
    // Every child ended and reaped, every report rebuilt: nothing more will come.
    bool done() const {
        return alive_ == 0 && unrebuilt.empty() && stage_ != Stage::forking &&
               std::none_of(children.begin(), children.end(),
                            [](const Child& child) { return child.phase == Child::Phase::exited; });
    }
    bool reported(size_t index) const;

    // Stage changes, each in one place.
    void begin(size_t cap);
    void stop_forking();
    void end(Outcome outcome, size_t failed_child = 0);

    // The one place a child's phase changes; it keeps the count of the living.
    void set_phase(size_t index, Child::Phase phase);
    void forked(size_t index, const ForkedChild& child);
    // A child added to a streamed run that is under way; the next step forks
    // it, unless forking was stopped.
    void add_child(python_objects::Ref worker);

    // One join or as_completed at a time, also with the GIL off.
    bool claim() noexcept {
        bool expected = false;
        return claimed_.compare_exchange_strong(expected, true, std::memory_order_acq_rel);
    }
    void release_claim() noexcept { claimed_.store(false, std::memory_order_release); }
    // claim(), or RuntimeError naming `what` when another has the run.
    void claim_or_raise(const char* what);

    // In a forked child: the run is its parent's, and nothing of it may be acted on.
    bool owned_here() const;

private:
    Stage stage_ = Stage::not_started;
    bool forking_stopped_ = false;  // by stop_forking, not because every child was forked
    Outcome outcome_ = Outcome::none;
    size_t alive_ = 0;
    long owner_pid_;
    std::atomic<bool> claimed_{false};
    PlanRun* previous_ = nullptr;  // every run of this process, for the exit handler
    PlanRun* next_ = nullptr;
    static inline PlanRun* open_ = nullptr;
    bool stopped_at_exit_ = false;  // the exit handler has been through it
    friend void stop_runs_at_exit(PyObject* globals);
};

// Holds the claim of a run for the span of a scope, or raises RuntimeError
// naming `what` when another join or as_completed has it.
class RunClaim {
public:
    RunClaim(PlanRun& run, const char* what) : run_(run) { run.claim_or_raise(what); }
    ~RunClaim() { run_.release_claim(); }
    RunClaim(const RunClaim&) = delete;
    RunClaim& operator=(const RunClaim&) = delete;

private:
    PlanRun& run_;
};

// The `_run` object of a plan, which owns its PlanRun.
void ready_plan_run_type();
python_objects::Ref make_run_holder(int receiver_fd);
// The PlanRun of `plan`, read from its `_run`.
PlanRun& plan_run(PyObject* plan, python_objects::Ref& holder);
// The PlanRun of an object known to be a run holder.
PlanRun& run_of_holder(PyObject* holder);

// Whether a step may run Python code: a step that must not (inside a
// finaliser, or finishing a stop) leaves signals pending, forks nothing and
// only reads the channel, leaving rebuilding to a later step.
enum class Python { allowed, none };

// Forks waiting children in index order, inside one log context, while fewer
// than the cap are alive (all of them without a cap). The context is entered
// only when there is something to fork, unless `even_none` (start's case).
// With a `deadline` (a time.time() value), nothing is forked once it has passed.
void fork_children(PyObject* globals, PlanRun& run, bool even_none, PyObject* deadline = nullptr);

// Notes the children that have ended by now and reaps them, without waiting
// and without running Python code.
void look_at_children(PlanRun& run);

// One step of a run: waits up to `seconds` for a message or the end of a
// child, collects, reaps and (with Python allowed) forks. False when the wait
// was interrupted by a signal left pending (Python::none).
bool step(PyObject* globals, PlanRun& run, double seconds, Python python, PyObject* deadline = nullptr);

// Ends the run: SIGTERM to every running child (unless `terminated`), then up
// to the grace period for them to end, SIGKILL to the rest, every child
// reaped. Never forks again. An exception raised meanwhile (a Ctrl-C) cuts
// the grace period short and is raised once every child is reaped; with
// Python::none, nothing is raised and pending signals stay pending.
void stop_children(PyObject* globals, PyObject* plan, PlanRun& run, bool terminated, Python python = Python::allowed);

// Sends `signal_number` to one child the plan may signal: to its process
// group when the plan's children lead one.
void signal_child(PlanRun& run, size_t index, int signal_number);

// Stops the children that outlived call_timeout: SIGTERM at the limit,
// SIGKILL once the grace period has passed too. No Python code runs. Returns
// the seconds until the next such step is due (a large number when none is).
double enforce_call_limits(PlanRun& run);

// Runs `stop_children` while an exception propagates, and lets it propagate.
[[noreturn]] void stop_and_rethrow(PyObject* globals, PyObject* plan, PlanRun& run);

// The exit handler: every plan started and not joined waits for its children
// until its deadline, then stops them; dropped plans' children are reaped.
void stop_runs_at_exit(PyObject* globals);
// Stops a dropped plan's children without running Python code (see the cpp).
void abandon(PlanRun& run);
// Reaps the children of dropped plans that have ended by now.
void reap_orphans(bool wait);

// The fork context's ForkingPickler, through the module global.
python_objects::Ref forking_pickler(PyObject* globals);

}  // namespace tandrel
