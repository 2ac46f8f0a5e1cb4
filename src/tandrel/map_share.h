// The shares of a Pcall.map: contiguous runs of the items, which the
// children inherit through the fork with the function, and whose results
// they send back in batches. The parent learns who runs each share and how
// far it got through memory they share, so that when a child dies or is
// stopped it knows which item was running and which were never begun.
#pragma once

#include "python_objects/ref.h"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>

namespace tandrel {

// Written by the child running the share, read by the parent.
struct ShareProgress {
    std::atomic<std::int64_t> runner;       // 1 + the index of the child it belongs to; 0: unclaimed
    std::atomic<std::int64_t> begun_until;  // every item before this index was begun
    std::atomic<std::int64_t> begun_at;     // steady-clock nanoseconds the last one was begun
};
// What the parent needs to find the share a child was running when it died.
struct ChildSlot {
    std::atomic<std::int64_t> share;     // the share it runs, its claim made
    std::atomic<std::int64_t> claiming;  // written before each claim, so that a claim never goes unseen
};
static_assert(std::atomic<std::int64_t>::is_always_lock_free, "shared with another process: nothing may lock behind it");

// The shares of a map and who runs each, in memory that every child forked
// later shares with the parent (MAP_SHARED, anonymous). A child that ends its
// share claims the lowest unclaimed one itself, so that shares beyond one per
// running child balance uneven items without a fork each. A claim is the one
// atomic write of the share's runner: the parent claims the same way for the
// children it forks, and no share is ever run by two.
class ShareBoard {
public:
    // One slot per child that can run at once: no more than `running`, and
    // no more than there are shares, since each running child holds one.
    ShareBoard(size_t items, size_t chunksize, size_t running);
    ~ShareBoard();
    ShareBoard(const ShareBoard&) = delete;
    ShareBoard& operator=(const ShareBoard&) = delete;

    size_t shares() const noexcept { return shares_; }
    size_t slots() const noexcept { return slots_; }
    size_t begin_of(size_t share) const noexcept { return share * chunksize_; }
    size_t end_of(size_t share) const noexcept { return std::min(items_, (share + 1) * chunksize_); }
    size_t share_of(size_t item) const noexcept { return item / chunksize_; }
    ShareProgress& share(size_t share) noexcept { return shares_at_[share]; }
    ChildSlot& slot(size_t slot) noexcept { return slots_at_[slot]; }

    // The lowest unclaimed share, now `runner`'s; none when all are taken.
    // A child passes its slot, which records the claim as it is made.
    std::optional<size_t> claim(std::int64_t runner, ChildSlot* slot) noexcept;
    // No share is claimed after this: the children end with the share they run.
    void close_claims() noexcept { lowest_unclaimed_->store(static_cast<std::int64_t>(shares_), std::memory_order_release); }

private:
    friend class BoardRef;
    std::atomic<size_t> owners_{0};  // BoardRefs, in this process
    size_t items_, chunksize_, shares_, slots_;
    std::atomic<std::int64_t>* lowest_unclaimed_ = nullptr;  // a hint: every share below it is claimed
    ChildSlot* slots_at_ = nullptr;
    ShareProgress* shares_at_ = nullptr;
    void* memory_ = nullptr;
    size_t bytes_ = 0;
};

// An owning handle on a board: its map holds one and each share object one,
// so that a share never outlives the memory it writes. (std::shared_ptr would
// bind a glibc symbol newer than the wheels may assume.)
class BoardRef {
public:
    BoardRef() = default;
    explicit BoardRef(ShareBoard* board) noexcept : board_(board) {
        if (board_ != nullptr) board_->owners_.fetch_add(1, std::memory_order_relaxed);
    }
    BoardRef(const BoardRef& other) noexcept : BoardRef(other.board_) {}
    BoardRef& operator=(BoardRef other) noexcept {
        std::swap(board_, other.board_);
        return *this;
    }
    ~BoardRef() {
        if (board_ != nullptr && board_->owners_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete board_;
    }
    ShareBoard* operator->() const noexcept { return board_; }
    ShareBoard& operator*() const noexcept { return *board_; }

private:
    ShareBoard* board_ = nullptr;
};

// What one child runs: function(items[i]) from `begin` to the end of `share`,
// then whatever shares it claims, each to its end.
struct ShareWork {
    PyObject* function;
    PyObject* items;  // a tuple
    size_t share;
    size_t begin;
    BoardRef board;
    size_t slot;
    std::int64_t runner;
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
