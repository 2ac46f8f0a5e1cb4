// What a plan knows about its running children, and the one step that moves
// a run on: wait for an event, drain the result channel, note the children
// that ended, fork the next ones up to the cap. `join`, `as_completed` and the
// stop routine are loops over that step.
#pragma once

#include "channel.h"

#include <chrono>
#include <list>
#include <map>
#include <vector>

namespace tandrel {

using Clock = std::chrono::steady_clock;

struct ChildState {
    enum class Phase : unsigned char {
        waiting,   // not forked (yet)
        running,
        closing,   // its sentinel said so, but the process has not exited yet
        ended,
    };
    Phase phase = Phase::waiting;
    bool known = false;  // pid and sentinel read from the worker
    long pid = 0;
    int sentinel = -1;
    // Why the plan stopped the child, if it did: a child that never reported
    // is then answered with a TimeoutError rather than ChildProcessError.
    enum class StoppedBy : unsigned char { nothing, call_timeout, plan_timeout };
    StoppedBy stopped_by = StoppedBy::nothing;
    Clock::time_point forked_at{};  // taken just before its fork
    Clock::time_point kill_due{};   // once terminated at its call_timeout
};

struct PlanRun {
    explicit PlanRun(int receiver_fd) : receiver(receiver_fd) {}

    Receiver receiver;
    std::vector<python_objects::Ref> workers;  // snapshot of _processes taken by start
    std::vector<ChildState> children;
    // Node-based containers on purpose: with GCC 11 and later, the bucket
    // arrays of unordered_map and the block maps of deque need a libstdc++
    // newer than the wheels may assume (GLIBCXX_3.4.29).
    std::map<long, size_t> index_of_pid;
    python_objects::Ref messages;  // dict: child index -> message as received
    std::vector<Arrival> received; // read off the channel, not rebuilt yet
    std::list<size_t> arrivals;   // child indexes in arrival order, not yet handed out
    std::list<size_t> silent;     // children that ended without reporting, not yet handed out
    // A streamed run (Pcall.map) hears from each child many times: every
    // message is kept, in arrival order, for the run's owner to take, and
    // every child that ends goes to `silent`, reported or not.
    bool streamed = false;
    std::vector<std::pair<size_t, python_objects::Ref>> stream;
    // How the last join or as_completed ended, for repr.
    enum class Outcome : unsigned char { open, finished, failed, timed_out, stopped };
    Outcome outcome = Outcome::open;
    size_t failed_child = 0;
    bool started = false;
    bool forking_over = false;  // stopped, or a fork failed: nothing more is forked
    bool busy = false;          // a join or as_completed is running
    size_t cap = 0;             // children alive at once; 0: no cap
    bool process_group = false; // each child leads its own process group
    double call_timeout = 0;    // seconds each child may run from its fork; 0: no limit
    python_objects::Ref call_timeout_given;  // the limit as given, for messages
    size_t next_to_fork = 0;
    size_t alive = 0;  // running or closing
    double closing_wait = 0.002;  // grows while a child stays closing

    bool done() const {
        return alive == 0 && received.empty() && (forking_over || next_to_fork == children.size());
    }
    bool reported(size_t index) const;
};

// The `_inbox` object of a plan, which owns its PlanRun.
void ready_plan_run_type();
python_objects::Ref make_inbox(int receiver_fd);
// The PlanRun of `plan`, read from its `_inbox`.
PlanRun& plan_run(PyObject* plan, python_objects::Ref& holder);
// The PlanRun of an object known to be an inbox.
PlanRun& plan_run_of_inbox(PyObject* inbox);

enum class Signals { raise, defer };

// Forks waiting children in index order, inside one log context, while fewer
// than the cap are alive (all of them without a cap). The context is entered
// only when there is something to fork, unless `even_none` (start's case).
void fork_children(PyObject* globals, PlanRun& run, bool even_none);

// One step of a run: waits up to `seconds` for a message or the end of a
// child, then drains the channel, notes the children that ended and forks
// waiting ones. With Signals::defer, an interrupted wait just ends the step.
void pump(PyObject* globals, PyObject* plan, PlanRun& run, double seconds, Signals signals);

// Ends the run: SIGTERM to every running child (unless `terminated`), then up
// to `grace_period` seconds for them to end, SIGKILL to the rest, and every
// child reaped. Never forks again; never raises.
void stop_children(PyObject* globals, PyObject* plan, PlanRun& run, bool terminated);

// Sends SIGTERM (`name_terminate`) or SIGKILL (`name_kill`) to one running
// child: to its process group when the plan's children lead one, else
// through its Process.
void signal_child(PlanRun& run, size_t index, PyObject* method);

// Stops the children that outlived call_timeout: SIGTERM at the limit,
// SIGKILL once the grace period has passed too. Returns the seconds until the
// next such step is due (a large number when none is).
double enforce_call_limits(PyObject* plan, PlanRun& run);

// The plan's grace_period in seconds (negative counts as 0).
double grace_period_of(PyObject* plan);

// Runs `stop_children` while an exception propagates, and lets it propagate.
[[noreturn]] void stop_and_rethrow(PyObject* globals, PyObject* plan, PlanRun& run);

// Marks the run as busy for the span of a scope: one join or as_completed at
// a time.
class BusyRun {
public:
    BusyRun(PlanRun& run, const char* what);
    ~BusyRun() { run_.busy = false; }
    BusyRun(const BusyRun&) = delete;
    BusyRun& operator=(const BusyRun&) = delete;

private:
    PlanRun& run_;
};

}  // namespace tandrel
