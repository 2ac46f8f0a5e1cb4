// The result channel of a plan: one AF_UNIX datagram socket pair. Children
// write through the sending end (the plan's `_queue`); only the plan holds the
// receiving end. The kernel keeps each datagram whole whatever the number of
// writers, so no lock is shared: a child that dies mid-message leaves only its
// own unfinished stream, which the parent throws away.
#pragma once

#include "python_objects/ref.h"

#include <cstdint>
#include <string>
#include <map>
#include <vector>

namespace tandrel {

// Readies the channel types and closes, in every forked child, the receiving
// ends that the parent holds (os.register_at_fork).
void ready_channel_types(PyObject* globals);

// One complete message as it arrived: the sender's pid and the pickled bytes,
// or the error that kept a message from being received (it was too large to
// hold here).
struct Arrival {
    long pid;
    python_objects::Ref payload;  // bytes
    python_objects::Ref error;
};

// The receiving end, as the plan's machinery sees it.
class Receiver {
public:
    explicit Receiver(int fd) noexcept;
    ~Receiver();
    Receiver(const Receiver&) = delete;
    Receiver& operator=(const Receiver&) = delete;

    int fd() const noexcept { return fd_; }
    // Reads every datagram waiting, without blocking; completed messages are
    // appended to `arrivals`.
    void drain(std::vector<Arrival>& arrivals);
    // Throws away what a sender left unfinished.
    void discard(long pid) { streams_.erase(pid); }
    // Closes the descriptor here without touching anything else: for a
    // forked child, which must not keep the parent's receiving end open.
    void forget_in_child() noexcept;
    // Closes the receiving end for good; draining then finds nothing.
    void shut() noexcept { forget_in_child(); }

private:
    struct Stream {
        python_objects::Ref buffer;  // bytes of the announced size, filled in place
        std::uint64_t received = 0;
        std::uint32_t next_sequence = 0;
    };
    int fd_;
    std::map<long, Stream> streams_;  // not unordered_map: see PlanRun::index_of_pid
    std::vector<char> scratch_;
    Receiver* previous_ = nullptr;
    Receiver* next_ = nullptr;
    static inline Receiver* open_ = nullptr;  // every receiver open in this process
    friend void close_receivers_in_child();
};

// Makes a channel: the sending object (for `_queue`) and the receiving end.
struct Channel {
    python_objects::Ref sender;
    int receiver_fd;
};
Channel make_channel(PyObject* globals);

// Closes both ends of a plan's channel once no child can send any more: the
// sending end `sender` (when it is one that make_channel made; its put then
// raises ValueError) and the receiving end.
void close_channel(PyObject* sender, Receiver& receiver) noexcept;

}  // namespace tandrel
