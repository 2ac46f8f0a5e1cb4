// One child's share of a Pcall.map: a contiguous run of the items, which the
// child inherits through the fork with the function, and whose results it
// sends back in batches. The parent learns how far the child got through
// memory the two share, so that when the child dies or is stopped it knows
// which item was running and which were never begun.
#pragma once

#include "python_objects/ref.h"

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace tandrel {

// Written by the child before it begins each item, read by the parent.
struct ShareProgress {
    std::atomic<std::int64_t> begun_until;  // every item before this index was begun
    std::atomic<std::int64_t> begun_at;     // steady-clock nanoseconds the last one was begun
};
static_assert(std::atomic<std::int64_t>::is_always_lock_free, "shared with another process: nothing may lock behind it");

// One ShareProgress per share, in memory that every child forked later shares
// with the parent (MAP_SHARED, anonymous).
class SharedProgress {
public:
    explicit SharedProgress(size_t count);
    ~SharedProgress();
    SharedProgress(const SharedProgress&) = delete;
    SharedProgress& operator=(const SharedProgress&) = delete;
    ShareProgress& operator[](size_t share) noexcept { return slots_[share]; }

private:
    ShareProgress* slots_ = nullptr;
    size_t bytes_ = 0;
};

// What one child runs: function(items[i]) for i in [begin, end).
struct ShareWork {
    PyObject* function;
    PyObject* items;  // a tuple
    size_t begin;
    size_t end;
    ShareProgress* progress;
    PyObject* queue;  // the sending end of the map's channel
    bool gather;      // a failed item's slot holds its exception and the share goes on
    bool each_item;   // every result is sent before the next item is begun
};

// Messages a share sends: a list [first item, results, failed positions]
// (a tuple of indexes into results whose entry is a wrapped exception).
constexpr Py_ssize_t batch_size = 3;

void ready_map_share_type();
// The callable a share's ChildLabor runs as its target.
python_objects::Ref make_map_share(PyObject* globals, const ShareWork& work);

}  // namespace tandrel
