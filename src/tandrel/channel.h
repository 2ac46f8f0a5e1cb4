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
// ends that the parent holds, and forgets its runs (os.register_at_fork).
void ready_channel_types(PyObject* globals);

// In a forked child: the runs of the parent's plans are not its own.
void forget_runs_in_child() noexcept;

// What a message is: the report ChildLabor.run sends once per child, or
// anything else put on the channel, which the plan reads and drops.
// A map's children also send batches of results, as many as they like.
enum class MessageKind : std::uint32_t { note = 0, report = 1, batch = 2 };

// One complete report as it arrived: the sender's pid (as the kernel gave
// it) and the pickled bytes, or the error that kept it from being received
// (it was too large to hold here).
struct ReceivedMessage {
    long pid;
    python_objects::Ref payload;  // bytes
    python_objects::Ref error;
    MessageKind kind = MessageKind::report;
};


// Sends `message` on a plan's channel (`_queue`) as its sender's report.
// False when `queue` is not a plan's channel.
bool send_report(PyObject* queue, PyObject* message);
// Sends `message` on a map's channel as a batch of results; false when
// `queue` is not a plan's channel.
bool send_batch(PyObject* queue, PyObject* message);

// Every datagram starts with this header. A message is the bytes of one
// pickle, cut into datagrams numbered from 0; `total` says when it is whole.
// The sender is not in it: the kernel says who sent each datagram.
struct FrameHeader {
    std::uint32_t kind;
    std::uint32_t sequence;
    std::uint64_t total;
};
static_assert(sizeof(FrameHeader) == 16, "the header has no padding");

// The receiving end, as the plan's machinery sees it.
class Receiver {
public:
    explicit Receiver(int fd) noexcept;
    ~Receiver();
    Receiver(const Receiver&) = delete;
    Receiver& operator=(const Receiver&) = delete;

    int fd() const noexcept { return fd_; }
    // Reads every datagram waiting, without blocking; completed reports are
    // appended to `reports`.
    void drain(std::vector<ReceivedMessage>& reports);
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
        MessageKind kind = MessageKind::note;
    };
    // The next datagram's header, sender and size (up to the header's),
    // left in the socket; false when none waits.
    bool peek(FrameHeader& header, long& pid, size_t& size);
    // Where the datagram announced by `header` goes: the stream it continues
    // or starts, or nullptr when it is to be thrown away. A datagram numbered
    // 0 starts a new message, dropping what the sender left unfinished.
    Stream* stream_for(long pid, const FrameHeader& header, std::vector<ReceivedMessage>& reports);
    // Accounts for `bytes` of payload read into `stream`; a whole report
    // moves to `reports`.
    void landed(long pid, Stream& stream, std::uint64_t bytes, bool cut, std::vector<ReceivedMessage>& reports);
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
