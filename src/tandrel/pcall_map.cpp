// Pcall.map and Pcall.imap. The items are read once and cut into contiguous
// shares; each share runs in one forked child (a ChildLabor whose target is
// the share), which inherits the items and the function and sends only the
// results back. The children are a plan's run: the same channel, the same
// step, the same limits and the same stop routine.
#include "pcall_map.h"

#include "child_failures.h"
#include "map_share.h"
#include "names.h"
#include "pcall_lifecycle.h"
#include "plan_run.h"
#include "python_objects/calls.h"
#include "python_objects/module.h"

#include <algorithm>
#include <chrono>
#include <limits>
#include <memory>
#include <optional>
#include <sched.h>
#include <unistd.h>

namespace tandrel {

using namespace python_objects;

using Clock = std::chrono::steady_clock;

namespace {

// ---- how the items are split -------------------------------------------------

// Four shares per running child, as a pool cuts its chunks: a child that
// ends its share claims the next, so a share beyond the first costs a message,
// not a fork, and a child whose items run long leaves its neighbours work to take.
constexpr size_t shares_per_child = 4;

size_t default_chunksize(size_t count, size_t running) {
    // running < count keeps the product far from overflowing.
    const size_t shares = std::max<size_t>(1, running >= count ? count : std::min(count, running * shares_per_child));
    return (count + shares - 1) / shares;
}

size_t usable_cpus() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) return static_cast<size_t>(CPU_COUNT(&set));
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? static_cast<size_t>(online) : 1;
}

// ---- arguments --------------------------------------------------------------------

// An int of at least 1, or TypeError / ValueError naming `name`.
size_t positive_int(PyObject* value, const char* name) {
    if (!PyLong_Check(value) || PyBool_Check(value))
        raise_format(PyExc_TypeError, "%s must be None or a positive int, not %.200s", name, Py_TYPE(value)->tp_name);
    const Py_ssize_t number = PyLong_AsSsize_t(value);
    if (number == -1 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw PythonError{};
        PyErr_Clear();
        int sign = 0;
        check_status(compat::long_sign(value, &sign));
        if (sign > 0) return static_cast<size_t>(PY_SSIZE_T_MAX);
    }
    if (number < 1) raise_format(PyExc_ValueError, "%s must be a positive int, not %R", name, value);
    return static_cast<size_t>(number);
}

struct MapOptions {
    Ref function;
    Ref items;  // tuple
    size_t chunksize = 0;
    size_t max_running = 0;
    double timeout = 0;  // 0: no limit
    Ref timeout_given;
    double call_timeout = 0;
    Ref call_timeout_given;
    bool gather = false;
    bool process_group = false;
    double grace_period = 1.0;
};

// Every argument checked before the iterable is read, and all of it before
// anything forks.
MapOptions read_options(PyObject* globals, const Arguments& arguments) {
    PyObject* cls = arguments[0];
    MapOptions options;
    options.function = Ref::borrow(arguments[1]);
    if (!PyCallable_Check(arguments[1]))
        raise_format(PyExc_TypeError, "function must be callable, not %.200s", Py_TYPE(arguments[1])->tp_name);
    PyObject* iterable = arguments[2];
    if (Py_TYPE(iterable)->tp_iter == nullptr && !PySequence_Check(iterable))
        raise_format(PyExc_TypeError, "iterable must be iterable, not %.200s", Py_TYPE(iterable)->tp_name);
    if (arguments[3] != Py_None) options.chunksize = positive_int(arguments[3], "chunksize");
    Ref max_running = arguments[4] == Py_None ? get_attr(cls, name_max_running) : Ref::borrow(arguments[4]);
    options.max_running = max_running.get() == Py_None ? usable_cpus() : positive_int(max_running.get(), "max_running");
    options.timeout_given = Ref::borrow(arguments[5]);
    options.timeout = limit_in_seconds(globals, arguments[5], "timeout");
    options.call_timeout_given = arguments[6] == Py_None ? get_attr(cls, name_call_timeout) : Ref::borrow(arguments[6]);
    options.call_timeout = limit_in_seconds(globals, options.call_timeout_given.get(), "call_timeout");
    options.gather = is_true(arguments[7]);
    options.process_group = is_true(get_attr(cls, name_process_group).get());
    const double grace = PyFloat_AsDouble(get_attr(cls, name_grace_period).get());
    if (grace == -1.0 && PyErr_Occurred()) throw PythonError{};
    options.grace_period = grace > 0 ? std::min(grace, 1e6) : 0;
    options.items = check(PySequence_Tuple(iterable));
    const auto count = static_cast<size_t>(PyTuple_GET_SIZE(options.items.get()));
    if (options.chunksize == 0) options.chunksize = default_chunksize(count, options.max_running);
    return options;
}

// ---- the run ----------------------------------------------------------------------

Ref item_error(PyObject* type, Ref message, size_t item, PyObject* pid, PyObject* exitcode, PyObject* cause = nullptr) {
    Ref error = with_identity(type, std::move(message), static_cast<Py_ssize_t>(item), pid, exitcode);
    if (cause != nullptr) PyException_SetCause(error.get(), Ref::borrow(cause).release());
    return error;
}

// `raise failure` for a failure stored in an item's slot.
[[noreturn]] void raise_stored(PyObject* failure) {
    if (PyExceptionInstance_Check(failure)) {
        PyException_SetTraceback(failure, Py_None);
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(failure)), failure);
    } else {
        PyErr_Format(PyExc_TypeError, "a map item failed with a %.200s, not an exception", Py_TYPE(failure)->tp_name);
    }
    throw PythonError{};
}

class MapRun {
public:
    MapRun(PyObject* globals, PyObject* cls, MapOptions options)
        : globals_(Ref::borrow(globals)), cls_(Ref::borrow(cls)), options_(std::move(options)),
          count_(static_cast<size_t>(PyTuple_GET_SIZE(options_.items.get()))), results_(count_),
          ended_(count_ == 0) {}

    size_t count() const { return count_; }

    void start() {
        reap_orphans(false);
        Channel channel = make_channel(globals_.get());
        sender_ = std::move(channel.sender);
        holder_ = make_run_holder(channel.receiver_fd);
        PlanRun& run = this->run();
        run.streamed = true;
        run.call_timeout = options_.call_timeout;
        run.call_timeout_given = options_.call_timeout_given;
        run.process_group = options_.process_group;
        run.grace_period = options_.grace_period;
        board_ = BoardRef(new ShareBoard(count_, options_.chunksize, options_.max_running));
        for (size_t share = 0; share < board_->shares(); ++share)
            shares_.push_back({board_->begin_of(share), board_->end_of(share), board_->begin_of(share)});
        for (size_t slot = board_->slots(); slot-- > 0;) free_slots_.push_back(slot);
        if (options_.timeout > 0) {
            deadline_ = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                           std::chrono::duration<double>(std::min(options_.timeout, 1e9)));
        }
        // At exit nobody is left to read the results: the children are
        // stopped at once, as a dropped imap stops them.
        run.exit_deadline = Clock::now();
        run.begin(options_.max_running);
        add_children_for_unclaimed_shares();
        fork();
    }

    // The next result in item order, or an empty Ref once every item has
    // been handed out and every child reaped. Without return_exceptions, the
    // lowest failed item is raised when the results before it are out: the
    // children stop then, and not at the first failure to arrive, so that a
    // lower item that fails later is the one raised.
    Ref next() {
        for (;;) {
            if (next_ < count_ && filled(next_)) {
                if (next_ == failure_) {
                    stop(Stop::failure);
                    ended_ = true;
                    close_if_quiet();
                    raise_stored(results_[failure_].get());
                }
                return std::move(results_[next_++]);
            }
            if (next_ == count_ && run().done()) {
                ended_ = true;
                close_if_quiet();
                return Ref();
            }
            step();
        }
    }

    // Leaving early: the children still running are stopped and reaped.
    void close() {
        if (ended_) return;
        ended_ = true;
        stop(Stop::closed);
        close_if_quiet();
    }

    // Stops the children while an exception propagates, and lets it go on;
    // one raised meanwhile (a Ctrl-C) goes on instead, the first as its context.
    [[noreturn]] void close_and_rethrow() {
        Ref error = Ref::steal(compat::fetch_raised_exception());
        try {
            close();
        } catch (const PythonError&) {
            Ref second = Ref::steal(compat::fetch_raised_exception());
            PyException_SetContext(second.get(), error.release());
            compat::restore_raised_exception(second.release());
            throw;
        }
        compat::restore_raised_exception(error.release());
        throw PythonError{};
    }

    bool ended() const { return ended_; }

    int visit(visitproc visit, void* arg) {
        for (const Ref* held : {&globals_, &cls_, &options_.function, &options_.items, &sender_, &holder_})
            Py_VISIT(held->get());
        for (const Ref& result : results_) Py_VISIT(result.get());
        return 0;
    }

private:
    struct Share {
        size_t begin, end;
        size_t next_unreported;  // results before it have arrived or failed
    };
    enum class Stop : unsigned char { none, failure, deadline, closed };
    static constexpr size_t none = std::numeric_limits<size_t>::max();

    PlanRun& run() { return run_of_holder(holder_.get()); }
    bool filled(size_t item) const { return static_cast<bool>(results_[item]); }

    std::int64_t runner_of(size_t child) const { return static_cast<std::int64_t>(child) + 1; }

    // A new child for `share` from item `first` on: a share just claimed, or
    // the rest of one whose child died.
    void add_child(size_t share, size_t first) {
        PlanRun& run = this->run();
        const size_t child = run.workers.size();
        const size_t slot = free_slots_.back();
        const ShareWork work{options_.function.get(), options_.items.get(), share, first, board_, slot,
                             runner_of(child), sender_.get(), options_.gather, options_.call_timeout > 0};
        Ref target = make_map_share(globals_.get(), work);
        Ref child_labor = lookup_global(globals_.get(), global_child_labor);
        Ref index = check(PyLong_FromSize_t(child));
        Ref positional = check(PyTuple_Pack(2, index.get(), sender_.get()));
        Ref keywords = check(PyDict_New());
        check_status(PyDict_SetItem(keywords.get(), name_target, target.get()));
        Ref worker = check(PyObject_Call(child_labor.get(), positional.get(), keywords.get()));
        ShareProgress& progress = board_->share(share);
        progress.runner.store(runner_of(child), std::memory_order_release);
        progress.begun_until.store(static_cast<std::int64_t>(first), std::memory_order_release);
        board_->slot(slot).share.store(static_cast<std::int64_t>(share), std::memory_order_release);
        board_->slot(slot).claiming.store(-1, std::memory_order_release);
        free_slots_.pop_back();
        slot_of_child_.push_back(slot);
        share_of_child_.push_back(share);
        first_of_child_.push_back(first);
        report_failure_.emplace_back();
        finished_.push_back(0);
        run.add_child(std::move(worker));
    }

    // Children for the shares nobody has claimed, while the cap allows: at
    // the start, and when a child ended with shares left (it died, or was
    // stopped at a limit, with nothing of its own left to run). Past a
    // failure nothing is added: every share before it is claimed already,
    // since claims always take the lowest unclaimed share.
    void add_children_for_unclaimed_shares() {
        PlanRun& run = this->run();
        while (stop_ == Stop::none && failure_ == none && !free_slots_.empty() &&
               run.alive() + (run.children.size() - run.next_to_fork) < options_.max_running) {
            const std::optional<size_t> share = board_->claim(runner_of(run.workers.size()), nullptr);
            if (!share) return;
            add_child(*share, board_->begin_of(*share));
        }
    }

    // The share a child runs now (or ran last): the one it was given, or the
    // last it claimed. A claim under way counts once the share is its runner's.
    size_t current_share(size_t child) {
        ChildSlot& slot = board_->slot(slot_of_child_[child]);
        const std::int64_t claiming = slot.claiming.load(std::memory_order_acquire);
        if (claiming >= 0 && static_cast<size_t>(claiming) < board_->shares() &&
            board_->share(static_cast<size_t>(claiming)).runner.load(std::memory_order_acquire) == runner_of(child))
            return static_cast<size_t>(claiming);
        const std::int64_t share = slot.share.load(std::memory_order_acquire);
        return share >= 0 && static_cast<size_t>(share) < board_->shares() ? static_cast<size_t>(share)
                                                                           : share_of_child_[child];
    }

    // Where the child began `share`: the item it was given for its first, the
    // share's first item for the others.
    size_t first_in(size_t child, size_t share) const {
        return share == share_of_child_[child] ? first_of_child_[child] : shares_[share].begin;
    }

    // Forks the children waiting, under the cap.
    void fork() { fork_children(globals_.get(), run(), false); }

    // A child's time limit counts from the item it began last.
    void track_item_starts() {
        PlanRun& run = this->run();
        for (size_t c = 0; c < run.children.size(); ++c) {
            Child& child = run.children[c];
            if (!child.alive() || child.stopped_at != Child::Limit::none) continue;
            const size_t share = current_share(c);
            const ShareProgress& progress = board_->share(share);
            if (progress.begun_until.load(std::memory_order_acquire) <= static_cast<std::int64_t>(first_in(c, share)))
                continue;
            const Clock::time_point begun{std::chrono::duration_cast<Clock::duration>(
                std::chrono::nanoseconds(progress.begun_at.load(std::memory_order_relaxed)))};
            child.forked_at = std::max(child.forked_at, begun);
        }
    }

    void step() {
        PlanRun& run = this->run();
        double wait = 0.25;
        if (run.call_timeout > 0) {
            track_item_starts();
            wait = std::min(wait, enforce_call_limits(run));
        }
        if (deadline_) {
            const double left = std::chrono::duration<double>(*deadline_ - Clock::now()).count();
            if (left <= 0) {
                stop(Stop::deadline);
                if (!options_.gather)
                    raise_format(PyExc_TimeoutError, "Not all items of the map finished within its timeout of %S seconds.",
                                 options_.timeout_given.get());
                return;
            }
            wait = std::min(wait, left);
        }
        tandrel::step(globals_.get(), run, wait, Python::allowed);
        take_messages();
        take_ends();
        if (stop_ == Stop::none && run.stage() == PlanRun::Stage::ended && !(next_ < count_ && filled(next_))) {
            // Stopped from outside: the exit handler ended the children, and
            // nothing is forked again to run what they left.
            stop_ = Stop::closed;
            ended_ = true;
            close_if_quiet();
            raise_error(PyExc_RuntimeError, "the map's children were stopped as the interpreter exits");
        }
        if (stop_ == Stop::none) {
            add_children_for_unclaimed_shares();
            fork();
        }
    }

    void take_messages() {
        PlanRun& run = this->run();
        auto stream = std::move(run.stream);
        run.stream.clear();
        for (auto& [child, message] : stream) {
            if (child >= share_of_child_.size()) continue;
            PyObject* m = message.get();
            if (PyList_CheckExact(m) && PyList_GET_SIZE(m) == batch_size) {
                take_batch(child, m);
            } else if (PyTuple_CheckExact(m) && PyTuple_GET_SIZE(m) == 3) {
                // ChildLabor's report: the share ran to its end, or failed
                // itself; or a batch could not be rebuilt here.
                if (PyTuple_GET_ITEM(m, 1) == Py_True) finished_[child] = 1;
                else report_failure_[child] = Ref::borrow(PyTuple_GET_ITEM(m, 2));
            }
        }
    }

    void take_batch(size_t child, PyObject* batch) {
        Ref first_object = Ref::borrow(PyList_GET_ITEM(batch, 0));
        Ref values = Ref::borrow(PyList_GET_ITEM(batch, 1));
        Ref failed = Ref::borrow(PyList_GET_ITEM(batch, 2));
        if (!PyLong_CheckExact(first_object.get()) || !PyList_CheckExact(values.get()) || !PyTuple_CheckExact(failed.get()))
            return;
        const size_t first = PyLong_AsSize_t(first_object.get());
        if (first == static_cast<size_t>(-1) && PyErr_Occurred()) {
            PyErr_Clear();
            return;
        }
        if (first >= count_) return;
        const size_t share_index = board_->share_of(first);
        if (board_->share(share_index).runner.load(std::memory_order_acquire) != runner_of(child)) return;
        Share& share = shares_[share_index];
        const auto length = static_cast<size_t>(PyList_GET_SIZE(values.get()));
        if (first < share.next_unreported || first > share.end || length > share.end - first) return;
        // Results between are those of a batch that could not be rebuilt.
        for (size_t item = share.next_unreported; item < first; ++item)
            fail(item, report_failure_[child] ? report_failure_[child] : lost_error(child, item));
        for (size_t k = 0; k < length; ++k) results_[first + k] = Ref::borrow(PyList_GET_ITEM(values.get(), k));
        for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(failed.get()); ++k) {
            const size_t position = PyLong_AsSize_t(PyTuple_GET_ITEM(failed.get(), k));
            if (position == static_cast<size_t>(-1) && PyErr_Occurred()) {
                PyErr_Clear();
                continue;
            }
            if (position >= length) continue;
            note_child(results_[first + position].get(), static_cast<Py_ssize_t>(child), run().children[child].pid);
            fail(first + position, results_[first + position]);
        }
        share.next_unreported = first + length;
    }

    void fail(size_t item, Ref failure) {
        results_[item] = std::move(failure);
        if (options_.gather || stop_ != Stop::none) return;
        failure_ = std::min(failure_, item);
        // Every share before the failure is claimed already; the rest are not needed.
        board_->close_claims();
    }

    // Children that ended, once the messages they sent have been taken.
    void take_ends() {
        PlanRun& run = this->run();
        if (!run.unrebuilt.empty()) return;
        while (!run.stream_ended.empty()) {
            const size_t child = run.stream_ended.front();
            run.stream_ended.pop_front();
            if (child < share_of_child_.size()) child_ended(child);
        }
    }

    Ref worker_attribute(size_t child, PyObject* name) { return get_attr(run().workers[child].get(), name); }

    Ref lost_error(size_t child, size_t item) {
        Ref pid = worker_attribute(child, name_pid), exitcode = worker_attribute(child, name_exitcode);
        return item_error(PyExc_ChildProcessError,
                          check(PyUnicode_FromFormat(
                              "Child process-%zu (pid %S) ended with exit code %S before sending the result of item %zu.",
                              child, pid.get(), exitcode.get(), item)),
                          item, pid.get(), exitcode.get(), report_failure_[child].get());
    }

    Ref running_error(size_t child, size_t item) {
        Ref pid = worker_attribute(child, name_pid), exitcode = worker_attribute(child, name_exitcode);
        const Child::Limit stopped_at = run().children[child].stopped_at;
        Ref message;
        PyObject* type = PyExc_TimeoutError;
        if (stopped_at == Child::Limit::call_timeout) {
            message = check(PyUnicode_FromFormat(
                "Item %zu did not finish within its call_timeout of %S seconds (child process-%zu, pid %S).", item,
                options_.call_timeout_given.get(), child, pid.get()));
        } else if (stopped_at == Child::Limit::plan_timeout) {
            message = check(PyUnicode_FromFormat(
                "Item %zu was still running in child process-%zu (pid %S) when the map's timeout of %S seconds passed.",
                item, child, pid.get(), options_.timeout_given.get()));
        } else {
            type = PyExc_ChildProcessError;
            message = check(PyUnicode_FromFormat("Child process-%zu (pid %S) ended with exit code %S while running item %zu.",
                                                 child, pid.get(), exitcode.get(), item));
        }
        return item_error(type, std::move(message), item, pid.get(), exitcode.get(), report_failure_[child].get());
    }

    // A child's account once it has ended: its shares before the last were
    // run and sent to their ends (it sends a share before claiming the next),
    // so their results missing now were lost here; its last share is settled
    // as far as the child got in it.
    void child_ended(size_t child) {
        free_slots_.push_back(slot_of_child_[child]);
        const bool filling = stop_ == Stop::none || (stop_ == Stop::deadline && options_.gather);
        if (!filling) return;
        const size_t last = current_share(child);
        for (size_t share = share_of_child_[child]; share < last; ++share) {
            if (board_->share(share).runner.load(std::memory_order_acquire) != runner_of(child)) continue;
            Share& ran = shares_[share];
            for (; ran.next_unreported < ran.end; ++ran.next_unreported)
                fail(ran.next_unreported, lost_error(child, ran.next_unreported));
        }
        settle_last_share(child, last);
    }

    // The item the child was running fails, as do those it finished without
    // sending; the items it never began go to a new child. A child that began
    // nothing of the share it was forked for fails the first of them instead,
    // so that every fork moves the map on and no item runs twice. (One that
    // died between claiming a share and beginning it had moved the map on.)
    void settle_last_share(size_t child, size_t share_index) {
        Share& share = shares_[share_index];
        size_t sent = share.next_unreported;
        if (sent >= share.end) return;
        const size_t first = first_in(child, share_index);
        const std::int64_t progress = board_->share(share_index).begun_until.load(std::memory_order_acquire);
        const size_t begun = std::clamp<size_t>(progress < 0 ? 0 : static_cast<size_t>(progress), first, share.end);
        if (begun > sent) {
            // A share that ran to its end had nothing running at the end.
            const size_t finished = finished_[child] ? begun : begun - 1;
            for (; sent < finished; ++sent) fail(sent, lost_error(child, sent));
            if (sent < begun) fail(sent, running_error(child, sent));
            sent = begun;
        } else if (sent == first && share_index == share_of_child_[child] && stop_ == Stop::none) {
            Ref pid = worker_attribute(child, name_pid), exitcode = worker_attribute(child, name_exitcode);
            fail(sent, item_error(PyExc_ChildProcessError,
                                  check(PyUnicode_FromFormat("Child process-%zu (pid %S) ended with exit code %S before "
                                                             "beginning item %zu, which was not run.",
                                                             child, pid.get(), exitcode.get(), sent)),
                                  sent, pid.get(), exitcode.get(), report_failure_[child].get()));
            ++sent;
        }
        share.next_unreported = sent;
        // Past a failure, only the items before it still matter.
        if (sent < std::min(share.end, failure_) && stop_ == Stop::none) add_child(share_index, sent);
    }

    // Ends the run: every child stopped and reaped, nothing forked again.
    // Past the deadline while gathering, the items never begun say so.
    void stop(Stop why) {
        if (stop_ != Stop::none || !holder_) return;
        stop_ = why;
        PlanRun& run = this->run();
        if (why == Stop::deadline) {
            for (Child& child : run.children) {
                if (child.alive() && child.stopped_at == Child::Limit::none) child.stopped_at = Child::Limit::plan_timeout;
            }
        }
        if (!run.done()) {
            stop_children(globals_.get(), cls_.get(), run, false);
        } else {
            run.stop_forking();
        }
        take_messages();
        take_ends();
        if (why != Stop::deadline || !options_.gather) return;
        for (size_t item = 0; item < count_; ++item) {
            if (filled(item)) continue;
            fail(item, item_error(PyExc_ChildProcessError,
                                  check(PyUnicode_FromFormat("Item %zu of the map was never started.", item)), item,
                                  Py_None, Py_None));
        }
    }

    void close_if_quiet() {
        if (!holder_) return;
        PlanRun& run = this->run();
        if (run.alive() == 0 && sender_) close_channel(sender_.get(), run.receiver);
    }

    Ref globals_, cls_;
    MapOptions options_;
    size_t count_;
    Ref sender_, holder_;
    BoardRef board_;
    std::vector<Share> shares_;
    std::vector<size_t> free_slots_;  // the board's slots that no child holds
    // Per child: its slot, and the share and item it was forked to begin with.
    std::vector<size_t> slot_of_child_, share_of_child_, first_of_child_;
    std::vector<Ref> report_failure_;
    std::vector<char> finished_;  // the child reported: its last share ran to its end, or to a failure it sent
    std::vector<Ref> results_;
    size_t next_ = 0;
    size_t failure_ = none;  // the lowest failed item, when failures are raised
    Stop stop_ = Stop::none;
    bool ended_;  // nothing more to hand out; an empty map never starts
    std::optional<Clock::time_point> deadline_;
};

// ---- map ----------------------------------------------------------------------------

Ref map_body(Function& function, Arguments& arguments) {
    MapRun run(function.globals, arguments[0], read_options(function.globals, arguments));
    if (run.count() == 0) return check(PyTuple_New(0));
    Ref results = check(PyTuple_New(static_cast<Py_ssize_t>(run.count())));
    try {
        run.start();
        for (size_t item = 0;; ++item) {
            Ref result = run.next();
            if (!result) break;
            PyTuple_SET_ITEM(results.get(), static_cast<Py_ssize_t>(item), result.release());
        }
    } catch (const PythonError&) {
        run.close_and_rethrow();
    }
    return results;
}

// ---- imap: an iterator that behaves like a generator --------------------------

struct MapIteratorObject {
    PyObject_HEAD
    MapRun* run;
    bool running;  // inside next or close: code they run may call back
};

PyTypeObject map_iterator_type = static_type_header();

MapIteratorObject& as_map_iterator(PyObject* object) { return *reinterpret_cast<MapIteratorObject*>(object); }

class Running {
public:
    explicit Running(MapIteratorObject& it) : it_(it) {
        if (it.running) raise_error(PyExc_ValueError, "generator already executing");
        it.running = true;
    }
    ~Running() { it_.running = false; }
    Running(const Running&) = delete;
    Running& operator=(const Running&) = delete;

private:
    MapIteratorObject& it_;
};

PyObject* map_iterator_next(PyObject* self) {
    MapIteratorObject& it = as_map_iterator(self);
    return entry_point("Pcall.imap iterator __next__", [&] {
        Running running(it);
        if (it.run == nullptr || it.run->ended()) return Ref();
        try {
            return it.run->next();
        } catch (const PythonError&) {
            it.run->close_and_rethrow();
        }
    });
}

PyObject* map_iterator_close(PyObject* self, PyObject*) {
    MapIteratorObject& it = as_map_iterator(self);
    return entry_point("Pcall.imap iterator close", [&] {
        Running running(it);
        if (it.run != nullptr) it.run->close();
        return Ref::borrow(Py_None);
    });
}

void map_iterator_finalize(PyObject* self) {
    Ref error = Ref::steal(compat::fetch_raised_exception());
    MapIteratorObject& it = as_map_iterator(self);
    if (entry_point_status("Pcall.imap iterator finaliser", [&] {
            if (it.run != nullptr) it.run->close();
        }) < 0)
        PyErr_WriteUnraisable(self);
    if (error) compat::restore_raised_exception(error.release());
}

int map_iterator_traverse(PyObject* self, visitproc visit, void* arg) {
    MapIteratorObject& it = as_map_iterator(self);
    return it.run != nullptr ? it.run->visit(visit, arg) : 0;
}

// Only for garbage: the finaliser has stopped the children by then.
int map_iterator_clear(PyObject* self) {
    MapIteratorObject& it = as_map_iterator(self);
    if (it.run != nullptr && it.run->ended()) delete std::exchange(it.run, nullptr);
    return 0;
}

void map_iterator_dealloc(PyObject* self) {
    if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
    PyObject_GC_UnTrack(self);
    delete std::exchange(as_map_iterator(self).run, nullptr);
    PyObject_GC_Del(self);
}

PyMethodDef map_iterator_methods[] = {
    {"close", map_iterator_close, METH_NOARGS,
     "close()\n--\n\nStops and reaps the children still running; no result comes after."},
    {nullptr, nullptr, 0, nullptr},
};

Ref imap_body(Function& function, Arguments& arguments) {
    auto run = std::make_unique<MapRun>(function.globals, arguments[0], read_options(function.globals, arguments));
    MapIteratorObject* it = PyObject_GC_New(MapIteratorObject, &map_iterator_type);
    if (it == nullptr) throw PythonError{};
    it->run = nullptr;
    it->running = false;
    Ref iterator = Ref::steal(reinterpret_cast<PyObject*>(it));
    if (run->count() > 0) {
        try {
            run->start();
        } catch (const PythonError&) {
            run->close_and_rethrow();
        }
    }
    it->run = run.release();
    PyObject_GC_Track(iterator.get());
    return iterator;
}

#define MAP_PARAMETERS_DOC                                                                  \
    ":param function: called once per item, in a child process, as function(item);\n" \
    "    inherited through the fork, never pickled (closures and lambdas work).\n" \
    ":param iterable: read once, in the caller, before anything forks; its items\n" \
    "    are inherited too. Only the results are pickled.\n" \
    ":param chunksize: items per share. None (the default) makes four shares per\n" \
    "    running child. A child that ends its share claims the next one nobody\n" \
    "    has, so a share costs a message, not a fork.\n" \
    ":param max_running: children alive at once. None takes the attribute\n" \
    "    max_running of the class, and when that is None the number of CPUs this\n" \
    "    process may run on.\n" \
    ":param timeout: seconds for the whole map; None for no limit. Past it the\n" \
    "    children are stopped and TimeoutError is raised.\n" \
    ":param call_timeout: seconds for each item, counted from its start. An item\n" \
    "    past it fails with TimeoutError (its child is stopped and the rest of its\n" \
    "    share goes to a new child). None takes the attribute call_timeout.\n" \
    ":param return_exceptions: when true, a failed item's slot holds its exception\n" \
    "    and the other items go on; when false, the lowest-indexed failed item's\n" \
    "    exception is raised (the child's traceback as its __cause__) and the\n" \
    "    other children are stopped.\n" \
    "\n" \
    "A child that dies, or is stopped at an item's limit, fails the item it was\n" \
    "running (ChildProcessError, or TimeoutError) and the items it finished but\n" \
    "had not sent (ChildProcessError); the items it had not begun go to a new\n" \
    "child, so that no item runs twice and none is lost. The errors carry the\n" \
    "item as `index`, and the child's `pid` and `exitcode`."

}  // namespace

void ready_map_types() {
    ready_map_share_type();
    if (map_iterator_type.tp_flags & Py_TPFLAGS_READY) return;
    PyTypeObject& t = map_iterator_type;
    t.tp_name = "vortan.async_.tandrel.MapIterator";
    t.tp_basicsize = sizeof(MapIteratorObject);
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    t.tp_doc = "The results of a Pcall.imap, in item order.";
    t.tp_traverse = map_iterator_traverse;
    t.tp_clear = map_iterator_clear;
    t.tp_dealloc = map_iterator_dealloc;
    t.tp_finalize = map_iterator_finalize;
    t.tp_iter = PyObject_SelfIter;
    t.tp_iternext = map_iterator_next;
    t.tp_methods = map_iterator_methods;
    check_status(PyType_Ready(&t));
}

Ref map_kwdefaults() {
    Ref defaults = check(PyDict_New());
    for (PyObject* name : {static_cast<PyObject*>(name_chunksize), static_cast<PyObject*>(name_max_running),
                           static_cast<PyObject*>(name_timeout), static_cast<PyObject*>(name_call_timeout)})
        check_status(PyDict_SetItem(defaults.get(), name, Py_None));
    check_status(PyDict_SetItem(defaults.get(), name_return_exceptions, Py_False));
    return defaults;
}

constexpr Signature map_parameters =
    signature({"cls", "function", "iterable"}, {"chunksize", "max_running", "timeout", "call_timeout", "return_exceptions"});

const FunctionSpec map_spec{
    "map",
    "Pcall.map",
    "map classmethod\n"
    "\n"
    "Returns the tuple of function(item) for each item of iterable, in item\n"
    "order. The items are cut into contiguous shares; at most max_running\n"
    "forked children run them, each claiming the next share when it ends one,\n"
    "and send their results back in batches as they go.\n"
    "\n" MAP_PARAMETERS_DOC,
    map_parameters,
    map_body,
};

const FunctionSpec imap_spec{
    "imap",
    "Pcall.imap",
    "imap classmethod\n"
    "\n"
    "As map, but an iterator of the results in item order, each yielded as soon\n"
    "as it and every earlier one have arrived. Leaving it early (break, an\n"
    "exception, close(), garbage collection) stops and reaps the children still\n"
    "running.\n"
    "\n" MAP_PARAMETERS_DOC,
    map_parameters,
    imap_body,
};

}  // namespace tandrel
