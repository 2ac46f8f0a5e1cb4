#include "map_share.h"

#include "channel.h"
#include "names.h"
#include "plan_run.h"
#include "python_objects/calls.h"

#include <atomic>
#include <chrono>
#include <new>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

namespace tandrel {

using namespace python_objects;

ShareBoard::ShareBoard(size_t items, size_t chunksize, size_t running)
    : items_(items), chunksize_(chunksize), shares_(items == 0 ? 0 : (items - 1) / chunksize + 1),
      slots_(std::min(running, shares_)) {
    const size_t header = sizeof(ShareProgress);  // holds the hint, keeps the arrays aligned
    bytes_ = header + sizeof(ChildSlot) * slots_ + sizeof(ShareProgress) * shares_;
    memory_ = mmap(nullptr, bytes_, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (memory_ == MAP_FAILED) {
        memory_ = nullptr;
        PyErr_SetFromErrno(PyExc_OSError);
        throw PythonError{};
    }
    auto* bytes = static_cast<unsigned char*>(memory_);
    lowest_unclaimed_ = new (bytes) std::atomic<std::int64_t>(0);
    slots_at_ = reinterpret_cast<ChildSlot*>(bytes + header);
    for (size_t i = 0; i < slots_; ++i) {
        ChildSlot* slot = new (&slots_at_[i]) ChildSlot;
        slot->share.store(-1, std::memory_order_relaxed);
        slot->claiming.store(-1, std::memory_order_relaxed);
    }
    shares_at_ = reinterpret_cast<ShareProgress*>(bytes + header + sizeof(ChildSlot) * slots_);
    for (size_t i = 0; i < shares_; ++i) {
        ShareProgress* share = new (&shares_at_[i]) ShareProgress;
        share->runner.store(0, std::memory_order_relaxed);
        share->begun_until.store(static_cast<std::int64_t>(begin_of(i)), std::memory_order_relaxed);
        share->begun_at.store(0, std::memory_order_relaxed);
    }
}

ShareBoard::~ShareBoard() {
    if (memory_ != nullptr) munmap(memory_, bytes_);
}

std::optional<size_t> ShareBoard::claim(std::int64_t runner, ChildSlot* slot) noexcept {
    for (auto share = static_cast<size_t>(lowest_unclaimed_->load(std::memory_order_acquire)); share < shares_; ++share) {
        std::atomic<std::int64_t>& owner = shares_at_[share].runner;
        if (owner.load(std::memory_order_acquire) != 0) continue;
        if (slot != nullptr) slot->claiming.store(static_cast<std::int64_t>(share), std::memory_order_release);
        std::int64_t unclaimed = 0;
        if (!owner.compare_exchange_strong(unclaimed, runner, std::memory_order_acq_rel)) continue;
        if (slot != nullptr) slot->share.store(static_cast<std::int64_t>(share), std::memory_order_release);
        auto hint = lowest_unclaimed_->load(std::memory_order_relaxed);
        const auto past = static_cast<std::int64_t>(share + 1);
        while (hint < past && !lowest_unclaimed_->compare_exchange_weak(hint, past, std::memory_order_acq_rel)) {
        }
        return share;
    }
    return std::nullopt;
}

namespace {

// Results go back when this many are waiting or this long has passed since the
// last batch, whichever comes first: a large share never holds everything
// until its end, and a progress count moves several times a second.
constexpr Py_ssize_t batch_items = 1024;
constexpr auto batch_interval = std::chrono::milliseconds(50);

struct ShareObject {
    PyObject_HEAD
    PyObject* globals;
    ShareWork work;  // owns function, items and queue; constructed in place
    long made_in;    // the pid of the map's process, where a share never runs
};

PyTypeObject share_type = static_type_header();

ShareObject& as_share(PyObject* object) { return *reinterpret_cast<ShareObject*>(object); }

// function(argument), or an empty Ref with the error set.
Ref call_one(PyObject* function, PyObject* argument) {
    PyObject* argv[2] = {nullptr, argument};
    return Ref::steal(compat::vectorcall(function, argv + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// How many forks this process is from the first: a share notices when the
// function it runs forked and came back in the new process, which is no
// child of the map and must not run the map's items. Counted from the first
// share made, before the map forks anything.
std::atomic<unsigned long> forks_descended{0};

unsigned long fork_generation() {
    static const int counting = pthread_atfork(nullptr, nullptr, [] {
        forks_descended.fetch_add(1, std::memory_order_relaxed);
    });
    (void)counting;
    return forks_descended.load(std::memory_order_relaxed);
}

// The fork generation in which a share is running, if one is: one process
// runs one share, however its function finds another (from any thread).
std::atomic<unsigned long> generation_running_a_share{~0UL};

[[noreturn]] void raise_forked_in_item() {
    raise_error(PyExc_RuntimeError,
                "a map item's function forked and returned in the new process, which runs none of the map's items");
}

std::int64_t steady_nanoseconds() {
    using namespace std::chrono;
    return duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count();
}

// The failure being raised, logged as the plan logs a failed target and
// wrapped so that its traceback travels with it.
Ref wrapped_failure(PyObject* globals, PyObject* function, size_t item) {
    Ref failure = Ref::steal(compat::fetch_raised_exception());
    HandlingException handling(failure.get());
    Ref logger = lookup_global(globals, global_logger);
    Ref name = Ref::steal(PyObject_Repr(function));
    if (!name) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw PythonError{};
        PyErr_Clear();
        name = check(PyUnicode_FromString("<unprintable function>"));
    }
    Ref text = check(PyUnicode_FromFormat("Caught error while mapping %U over item %zu in a child process:\n\n",
                                          name.get(), item));
    call_method(logger.get(), name_exception, text.get());
    Ref wrapper_class = lookup_global(globals, global_exception_with_traceback);
    return call(wrapper_class.get(), failure.get());
}

class Batch {
public:
    Batch(PyObject* globals, const ShareWork& work) : globals_(globals), work_(work) { reset(work.begin); }

    // Results of another share follow: the batch starts again at `first`.
    void restart(size_t first) { reset(first); }

    void add(Ref value, bool failed) {
        if (failed) {
            Ref position = check(PyLong_FromSsize_t(PyList_GET_SIZE(values_.get())));
            check_status(PyList_Append(failed_.get(), position.get()));
        }
        check_status(PyList_Append(values_.get(), value.get()));
    }
    bool due() const {
        return work_.each_item || PyList_GET_SIZE(values_.get()) >= batch_items ||
               std::chrono::steady_clock::now() - last_sent_ >= batch_interval;
    }
    bool has_failure() const { return PyList_GET_SIZE(failed_.get()) > 0; }

    // Sends the batch; a result that does not pickle fails in its own slot.
    // True when the batch held a failure.
    bool send(size_t next) {
        if (PyList_GET_SIZE(values_.get()) == 0) return false;
        try {
            put(message().get());
        } catch (const PythonError&) {
            if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
            PyErr_Clear();
            isolate_unpicklable();
            put(message().get());
        }
        const bool failed = has_failure();
        reset(next);
        return failed;
    }

private:
    void put(PyObject* batch) {
        if (!send_batch(work_.queue, batch)) call_method(work_.queue, name_put, batch);
    }
    Ref message() {
        Ref first = check(PyLong_FromSize_t(first_));
        Ref failed = check(PyList_AsTuple(failed_.get()));
        Ref batch = check(PyList_New(batch_size));
        PyList_SET_ITEM(batch.get(), 0, first.release());
        PyList_SET_ITEM(batch.get(), 1, Ref(values_).release());
        PyList_SET_ITEM(batch.get(), 2, failed.release());
        return batch;
    }
    void isolate_unpicklable() {
        Ref dumps = get_attr(forking_pickler(globals_).get(), name_dumps);
        Ref values = std::move(values_);
        Ref failed = std::move(failed_);
        values_ = check(PyList_New(0));
        failed_ = check(PyList_New(0));
        for (Py_ssize_t k = 0; k < PyList_GET_SIZE(values.get()); ++k) {
            Ref value = Ref::borrow(PyList_GET_ITEM(values.get(), k));
            Ref position = check(PyLong_FromSsize_t(k));
            bool was_failed = check_status(PySequence_Contains(failed.get(), position.get())) > 0;
            if (!call_one(dumps.get(), value.get())) {
                if (!PyErr_ExceptionMatches(PyExc_Exception)) throw PythonError{};
                value = wrapped_failure(globals_, work_.function, first_ + static_cast<size_t>(k));
                was_failed = true;
            }
            add(std::move(value), was_failed);
        }
    }
    void reset(size_t first) {
        first_ = first;
        values_ = check(PyList_New(0));
        failed_ = check(PyList_New(0));
        last_sent_ = std::chrono::steady_clock::now();
    }

    PyObject* globals_;
    const ShareWork& work_;
    size_t first_ = 0;
    Ref values_, failed_;
    std::chrono::steady_clock::time_point last_sent_;
};

// In the child: runs its share item after item, then the shares it claims,
// each sent to its end before the next is claimed (the parent settles a dead
// child's account from its last share alone). Without gather, the first
// failure ends the child once it is sent.
void run_share(PyObject* globals, const ShareWork& work) {
    ShareBoard& board = *work.board;
    if (!PyTuple_CheckExact(work.items) || board.end_of(board.shares() - 1) != static_cast<size_t>(PyTuple_GET_SIZE(work.items)))
        raise_error(PyExc_SystemError, "a map share's items are not the map's");
    size_t share = work.share;
    size_t begin = work.begin;
    const unsigned long generation = fork_generation();
    Batch batch(globals, work);
    for (;;) {
        ShareProgress& progress = board.share(share);
        const size_t end = board.end_of(share);
        for (size_t i = begin; i < end; ++i) {
            progress.begun_at.store(steady_nanoseconds(), std::memory_order_relaxed);
            progress.begun_until.store(static_cast<std::int64_t>(i + 1), std::memory_order_release);
            Ref item = Ref::borrow(PyTuple_GET_ITEM(work.items, static_cast<Py_ssize_t>(i)));
            Ref result = call_one(work.function, item.get());
            if (forks_descended.load(std::memory_order_relaxed) != generation) raise_forked_in_item();
            const bool failed = !result;
            if (failed) {
                // SystemExit, KeyboardInterrupt & co. end the child, as in a plan.
                if (!PyErr_ExceptionMatches(PyExc_Exception)) throw PythonError{};
                result = wrapped_failure(globals, work.function, i);
            }
            batch.add(std::move(result), failed);
            if ((failed && !work.gather) || batch.due() || i + 1 == end) {
                if (batch.send(i + 1) && !work.gather) return;
            }
        }
        const std::optional<size_t> next = board.claim(work.runner, &board.slot(work.slot));
        if (!next) return;
        share = *next;
        begin = board.begin_of(share);
        batch.restart(begin);
    }
}

PyObject* share_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    return entry_point("Pcall.map share", [&] {
        if (PyTuple_GET_SIZE(args) != 0 || (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0))
            raise_error(PyExc_TypeError, "a map share takes no arguments");
        ShareObject& share = as_share(self);
        if (share.work.function == nullptr) raise_error(PyExc_ValueError, "a cleared map share cannot run");
        // Run by its map's own process, it would take shares from the children.
        if (static_cast<long>(getpid()) == share.made_in)
            raise_error(PyExc_RuntimeError, "a map share runs only in a child that its map forked");
        const unsigned long generation = fork_generation();
        if (generation_running_a_share.exchange(generation, std::memory_order_relaxed) == generation)
            raise_error(PyExc_RuntimeError, "this process runs a map share already");
        Ref keep = Ref::borrow(self);
        run_share(share.globals, share.work);
        return Ref::borrow(Py_None);
    });
}

PyObject* share_repr(PyObject* self) noexcept {
    const ShareWork& work = as_share(self).work;
    return PyUnicode_FromFormat("<shares of a map, from item %zu>", work.begin);
}

int share_traverse(PyObject* self, visitproc visit, void* arg) {
    ShareObject& share = as_share(self);
    Py_VISIT(share.globals);
    Py_VISIT(share.work.function);
    Py_VISIT(share.work.items);
    Py_VISIT(share.work.queue);
    return 0;
}

int share_clear(PyObject* self) {
    ShareObject& share = as_share(self);
    Py_CLEAR(share.globals);
    Py_CLEAR(share.work.function);
    Py_CLEAR(share.work.items);
    Py_CLEAR(share.work.queue);
    return 0;
}

void share_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    share_clear(self);
    as_share(self).work.~ShareWork();
    PyObject_GC_Del(self);
}

}  // namespace

void ready_map_share_type() {
    if (share_type.tp_flags & Py_TPFLAGS_READY) return;
    PyTypeObject& t = share_type;
    t.tp_name = "vortan.async_.tandrel.MapShare";
    t.tp_basicsize = sizeof(ShareObject);
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    t.tp_doc = "One child's share of the items of a Pcall.map; calling it runs the share.";
    t.tp_call = share_call;
    t.tp_repr = share_repr;
    t.tp_traverse = share_traverse;
    t.tp_clear = share_clear;
    t.tp_dealloc = share_dealloc;
    check_status(PyType_Ready(&t));
}

Ref make_map_share(PyObject* globals, const ShareWork& work) {
    ShareObject* share = PyObject_GC_New(ShareObject, &share_type);
    if (share == nullptr) throw PythonError{};
    share->globals = Ref::borrow(globals).release();
    new (&share->work) ShareWork(work);
    share->made_in = static_cast<long>(getpid());
    fork_generation();  // counting from now, before the map forks
    Py_INCREF(work.function);
    Py_INCREF(work.items);
    Py_INCREF(work.queue);
    PyObject_GC_Track(reinterpret_cast<PyObject*>(share));
    return Ref::steal(reinterpret_cast<PyObject*>(share));
}

}  // namespace tandrel
