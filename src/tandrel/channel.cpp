#include "channel.h"

#include "fork_context.h"
#include "names.h"
#include "plan_run.h"
#include "python_objects/calls.h"
#include "python_objects/module.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

namespace tandrel {

using namespace python_objects;

namespace {

// Payload per datagram: 64 and 128 KiB moved 8 results of 50 MiB equally fast,
// 256 KiB more slowly. The sending end's buffer is shared by every child of
// the plan, so it is enlarged to keep several datagrams in flight.
constexpr size_t datagram_payload = 128 * 1024;
constexpr int sender_buffer = 4 * 1024 * 1024;

struct SenderObject {
    PyObject_HEAD
    int fd;
    PyObject* globals;
    PyObject* weakreflist;
};

PyTypeObject sender_type = static_type_header();

SenderObject& as_sender(PyObject* object) { return *reinterpret_cast<SenderObject*>(object); }

void sender_dealloc(PyObject* object) {
    SenderObject& sender = as_sender(object);
    if (sender.weakreflist != nullptr) PyObject_ClearWeakRefs(object);
    if (sender.fd >= 0) close(sender.fd);
    Py_CLEAR(sender.globals);
    Py_TYPE(object)->tp_free(object);
}

// Sends every datagram of one message; the GIL is released while the kernel
// waits for room.
void send_message(int fd, const char* data, std::uint64_t size, MessageKind kind) {
    FrameHeader header{static_cast<std::uint32_t>(kind), 0, size};
    std::uint64_t sent = 0;
    do {
        const size_t chunk = static_cast<size_t>(std::min<std::uint64_t>(datagram_payload, size - sent));
        iovec parts[2] = {{&header, sizeof header}, {const_cast<char*>(data + sent), chunk}};
        msghdr message{};
        message.msg_iov = parts;
        message.msg_iovlen = 2;
        ssize_t written;
        Py_BEGIN_ALLOW_THREADS
        written = sendmsg(fd, &message, MSG_NOSIGNAL);
        Py_END_ALLOW_THREADS
        if (written < 0) {
            if (errno == EINTR) {
                check_status(PyErr_CheckSignals());
                continue;  // a datagram is sent whole or not at all
            }
            if (errno == ECONNREFUSED || errno == EPIPE || errno == ENOTCONN)
                raise_error(PyExc_BrokenPipeError,
                            "the plan that started this process is gone: nobody receives its result");
            PyErr_SetFromErrno(PyExc_OSError);
            throw PythonError{};
        }
        sent += chunk;
        ++header.sequence;
    } while (sent < size);
}

// Pickles `message` as SimpleQueue.put does, with the fork context's
// pickler, and sends it.
void send_pickled(SenderObject& sender, PyObject* message, MessageKind kind) {
    if (sender.fd < 0) raise_error(PyExc_ValueError, "put on a closed result channel");
    Ref pickled = call_method(forking_pickler(sender.globals).get(), name_dumps, message);
    Py_buffer view;
    check_status(PyObject_GetBuffer(pickled.get(), &view, PyBUF_SIMPLE));
    undo_on_error(
        [&] { send_message(sender.fd, static_cast<const char*>(view.buf), static_cast<std::uint64_t>(view.len), kind); },
        [&] { PyBuffer_Release(&view); });
    PyBuffer_Release(&view);
}

PyObject* sender_put(PyObject* self, PyObject* message) {
    return entry_point("Pcall result channel put", [&] {
        send_pickled(as_sender(self), message, MessageKind::note);
        return Ref::borrow(Py_None);
    });
}

PyObject* sender_fileno(PyObject* self, PyObject*) {
    return entry_point("Pcall result channel fileno", [&] {
        SenderObject& sender = as_sender(self);
        if (sender.fd < 0) raise_error(PyExc_ValueError, "fileno of a closed result channel");
        return check(PyLong_FromLong(sender.fd));
    });
}

PyMethodDef sender_methods[] = {
    {"put", sender_put, METH_O,
     "put(message)\n--\n\n"
     "Pickles message with the fork context's pickler and sends it to the plan\n"
     "that owns this channel, which reads it and drops it: a child's result is\n"
     "the one report its ChildLabor sends. Raises BrokenPipeError when that plan\n"
     "is gone."},
    {"fileno", sender_fileno, METH_NOARGS,
     "fileno()\n--\n\nThe descriptor of the sending end (a Unix datagram socket)."},
    {nullptr, nullptr, 0, nullptr},
};

// The descriptors of the receiving ends, closed in every forked child.
PyObject* after_fork_in_child(PyObject*, PyObject*);
PyMethodDef after_fork_definition = {"_close_result_receivers", after_fork_in_child, METH_NOARGS, nullptr};

// Guards the list of open receivers: with the GIL off, plans in different
// threads open and close theirs at once. Held across fork(), so that a child
// never sees the list halfway through a change by a thread it does not have.
std::mutex open_receivers_guard;

void guard_open_receivers() {
    static const int registered = pthread_atfork([] { open_receivers_guard.lock(); },
                                                 [] { open_receivers_guard.unlock(); },
                                                 [] { open_receivers_guard.unlock(); });
    (void)registered;
}

}  // namespace

void close_receivers_in_child() {
    for (Receiver* receiver = Receiver::open_; receiver != nullptr; receiver = receiver->next_)
        receiver->forget_in_child();
}

namespace {
PyObject* after_fork_in_child(PyObject*, PyObject*) {
    close_receivers_in_child();
    forget_runs_in_child();
    Py_RETURN_NONE;
}
}  // namespace

Receiver::Receiver(int fd) noexcept : fd_(fd) {
    guard_open_receivers();
    const std::lock_guard<std::mutex> held(open_receivers_guard);
    next_ = open_;
    if (open_ != nullptr) open_->previous_ = this;
    open_ = this;
}

Receiver::~Receiver() {
    if (fd_ >= 0) close(fd_);
    const std::lock_guard<std::mutex> held(open_receivers_guard);
    if (previous_ != nullptr) previous_->next_ = next_;
    else open_ = next_;
    if (next_ != nullptr) next_->previous_ = previous_;
}

void close_channel(PyObject* sender, Receiver& receiver) noexcept {
    if (Py_TYPE(sender) == &sender_type) {
        SenderObject& object = as_sender(sender);
        if (object.fd >= 0) close(object.fd);
        object.fd = -1;
    }
    receiver.shut();
}

void Receiver::forget_in_child() noexcept {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    streams_.clear();
}

bool Receiver::peek(FrameHeader& header, long& pid, size_t& size) {
    for (;;) {
        header = FrameHeader{};
        iovec part{&header, sizeof header};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))];
        msghdr message{};
        message.msg_iov = &part;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        const ssize_t peeked = recvmsg(fd_, &message, MSG_PEEK | MSG_DONTWAIT);
        if (peeked < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) return false;
            if (errno == EINTR) continue;
            PyErr_SetFromErrno(PyExc_OSError);
            throw PythonError{};
        }
        pid = 0;
        for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
            if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_CREDENTIALS) continue;
            ucred credentials;
            std::memcpy(&credentials, CMSG_DATA(c), sizeof credentials);
            pid = credentials.pid;
        }
        size = static_cast<size_t>(peeked);
        return true;
    }
}

Receiver::Stream* Receiver::stream_for(long pid, const FrameHeader& header, std::vector<ReceivedMessage>& reports) {
    auto found = streams_.find(pid);
    if (header.sequence == 0) {
        if (found != streams_.end()) streams_.erase(found);  // cut short: the new message replaces it
        const bool kept = header.kind == static_cast<std::uint32_t>(MessageKind::report) ||
                          header.kind == static_cast<std::uint32_t>(MessageKind::batch);
        if (!kept) return nullptr;  // a note: dropped
        Stream fresh;
        fresh.kind = static_cast<MessageKind>(header.kind);
        if (header.total > static_cast<std::uint64_t>(PY_SSIZE_T_MAX))
            PyErr_Format(PyExc_MemoryError, "a message of %llu bytes announced by pid %ld",
                         static_cast<unsigned long long>(header.total), pid);
        else
            fresh.buffer = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(header.total)));
        if (!fresh.buffer) {
            // Left unread, the datagram would block the channel for ever: it
            // is thrown away with the rest of its message, and the error goes
            // to the sender's plan.
            if (!PyErr_ExceptionMatches(PyExc_Exception)) throw PythonError{};
            reports.push_back({pid, Ref(), Ref::steal(compat::fetch_raised_exception()), fresh.kind});
            return nullptr;
        }
        return &streams_.emplace(pid, std::move(fresh)).first->second;
    }
    if (found == streams_.end()) return nullptr;  // the rest of a dropped message, or garbage
    Stream& stream = found->second;
    // A datagram must follow the last one and fit the buffer its first one announced.
    if (stream.next_sequence != header.sequence ||
        header.total != static_cast<std::uint64_t>(PyBytes_GET_SIZE(stream.buffer.get()))) {
        streams_.erase(found);  // out of step: nothing of it can be trusted
        return nullptr;
    }
    return &stream;
}

void Receiver::landed(long pid, Stream& stream, std::uint64_t bytes, bool cut, std::vector<ReceivedMessage>& reports) {
    if (cut) {
        streams_.erase(pid);
        return;
    }
    stream.received += bytes;
    ++stream.next_sequence;
    if (stream.received == static_cast<std::uint64_t>(PyBytes_GET_SIZE(stream.buffer.get()))) {
        reports.push_back({pid, std::move(stream.buffer), Ref(), stream.kind});
        streams_.erase(pid);
    }
}

void Receiver::drain(std::vector<ReceivedMessage>& reports) {
    if (fd_ < 0) return;
    for (;;) {
        FrameHeader header;
        long pid;
        size_t peeked;
        if (!peek(header, pid, peeked)) return;
        Stream* stream = peeked == sizeof header && pid > 0 ? stream_for(pid, header, reports) : nullptr;
        char* destination;
        size_t room;
        if (stream != nullptr) {
            destination = PyBytes_AS_STRING(stream->buffer.get()) + stream->received;
            room = static_cast<size_t>(static_cast<std::uint64_t>(PyBytes_GET_SIZE(stream->buffer.get())) -
                                       stream->received);
        } else {  // thrown away
            scratch_.resize(datagram_payload + sizeof header);
            destination = scratch_.data();
            room = scratch_.size();
        }
        iovec parts[2] = {{&header, sizeof header}, {destination, room}};
        msghdr message{};
        message.msg_iov = parts;
        message.msg_iovlen = 2;
        const ssize_t got = recvmsg(fd_, &message, MSG_DONTWAIT);
        if (got < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
            PyErr_SetFromErrno(PyExc_OSError);
            throw PythonError{};
        }
        if (stream == nullptr) continue;
        const bool cut = (message.msg_flags & MSG_TRUNC) != 0 || static_cast<size_t>(got) < sizeof header;
        landed(pid, *stream, cut ? 0 : static_cast<std::uint64_t>(got) - sizeof header, cut, reports);
    }
}

namespace {

// FIONBIO rather than fcntl: with large-file support, glibc 2.28 and later
// bind fcntl to the newer fcntl64, which older systems lack.
void make_non_blocking(int fd) {
    int on = 1;
    if (ioctl(fd, FIONBIO, &on) < 0) {
        PyErr_SetFromErrno(PyExc_OSError);
        throw PythonError{};
    }
}

}  // namespace

Channel make_channel(PyObject* globals) {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, fds) < 0) {
        PyErr_SetFromErrno(PyExc_OSError);
        throw PythonError{};
    }
    auto object = reinterpret_cast<SenderObject*>(PyType_GenericAlloc(&sender_type, 0));
    if (object == nullptr) {
        close(fds[0]);
        close(fds[1]);
        throw PythonError{};
    }
    object->fd = fds[1];
    Py_INCREF(globals);
    object->globals = globals;
    Ref sender = Ref::steal(reinterpret_cast<PyObject*>(object));
    try {
        make_non_blocking(fds[0]);
    } catch (const PythonError&) {
        close(fds[0]);
        throw;
    }
    // The kernel names the sender of every datagram: a child cannot write
    // under a sibling's pid.
    const int on = 1;
    if (setsockopt(fds[0], SOL_SOCKET, SO_PASSCRED, &on, sizeof on) < 0) {
        PyErr_SetFromErrno(PyExc_OSError);
        close(fds[0]);
        throw PythonError{};
    }
    // A smaller buffer only means fewer datagrams in flight.
    setsockopt(fds[1], SOL_SOCKET, SO_SNDBUF, &sender_buffer, sizeof sender_buffer);
    return {std::move(sender), fds[0]};
}

bool send_report(PyObject* queue, PyObject* message) {
    if (Py_TYPE(queue) != &sender_type) return false;
    send_pickled(as_sender(queue), message, MessageKind::report);
    return true;
}

bool send_batch(PyObject* queue, PyObject* message) {
    if (Py_TYPE(queue) != &sender_type) return false;
    send_pickled(as_sender(queue), message, MessageKind::batch);
    return true;
}

void ready_channel_types(PyObject* globals) {
    if ((sender_type.tp_flags & Py_TPFLAGS_READY) == 0) {
        PyTypeObject& t = sender_type;
        t.tp_name = "vortan.async_.tandrel.ResultSender";
        t.tp_basicsize = sizeof(SenderObject);
        t.tp_weaklistoffset = offsetof(SenderObject, weakreflist);
        t.tp_flags = Py_TPFLAGS_DEFAULT;
        t.tp_doc =
            "The sending end of a plan's result channel, given to each child as its\n"
            "queue: put(message) sends one message to the plan.";
        t.tp_dealloc = sender_dealloc;
        t.tp_methods = sender_methods;
        check_status(PyType_Ready(&t));
    }
    call_after_fork_in_child(globals, check(PyCFunction_New(&after_fork_definition, nullptr)).get());
}

}  // namespace tandrel
