#include "channel.h"

#include "names.h"
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

// Every datagram starts with this header. A message is the bytes of one
// pickle, cut into datagrams numbered from 0; `total` says when it is whole.
struct FrameHeader {
    std::int32_t pid;
    std::uint32_t sequence;
    std::uint64_t total;
};
static_assert(sizeof(FrameHeader) == 16, "the header has no padding");

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
void send_message(int fd, const char* data, std::uint64_t size) {
    FrameHeader header{static_cast<std::int32_t>(getpid()), 0, size};
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

PyObject* sender_put(PyObject* self, PyObject* message) {
    return entry_point("Pcall result channel put", [&] {
        SenderObject& sender = as_sender(self);
        if (sender.fd < 0) raise_error(PyExc_ValueError, "put on a closed result channel");
        // Pickled as SimpleQueue.put pickles: with the fork context's pickler.
        Ref multiprocessing = lookup_global(sender.globals, global_multiprocessing);
        Ref reducer = get_attr(multiprocessing.get(), name_reducer);
        Ref pickler = get_attr(reducer.get(), name_forking_pickler);
        Ref pickled = call_method(pickler.get(), name_dumps, message);
        Py_buffer view;
        check_status(PyObject_GetBuffer(pickled.get(), &view, PyBUF_SIMPLE));
        try {
            send_message(sender.fd, static_cast<const char*>(view.buf), static_cast<std::uint64_t>(view.len));
        } catch (const abi::__forced_unwind&) {
            throw;
        } catch (...) {
            PyBuffer_Release(&view);
            throw;
        }
        PyBuffer_Release(&view);
        return Ref::borrow(Py_None);
    });
}

PyMethodDef sender_methods[] = {
    {"put", sender_put, METH_O,
     "put(message)\n--\n\n"
     "Pickles message with the fork context's pickler and sends it to the plan\n"
     "that owns this channel. Raises BrokenPipeError when that plan is gone."},
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

void Receiver::forget_in_child() noexcept {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    streams_.clear();
}

void Receiver::drain(std::vector<Arrival>& arrivals) {
    if (fd_ < 0) return;
    for (;;) {
        FrameHeader header{};
        const ssize_t peeked = recv(fd_, &header, sizeof header, MSG_PEEK | MSG_DONTWAIT);
        if (peeked < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) return;
            if (errno == EINTR) continue;
            PyErr_SetFromErrno(PyExc_OSError);
            throw PythonError{};
        }
        const long pid = header.pid;
        char* destination = nullptr;
        size_t room = 0;
        Stream* stream = nullptr;
        if (static_cast<size_t>(peeked) == sizeof header) {
            auto found = streams_.find(pid);
            if (found == streams_.end() && header.sequence == 0) {
                Stream fresh;
                if (header.total > static_cast<std::uint64_t>(PY_SSIZE_T_MAX))
                    PyErr_Format(PyExc_MemoryError, "a message of %llu bytes announced by pid %ld",
                                 static_cast<unsigned long long>(header.total), pid);
                else
                    fresh.buffer = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(header.total)));
                if (fresh.buffer) {
                    found = streams_.emplace(pid, std::move(fresh)).first;
                } else {
                    // Left unread, the datagram would block the channel for
                    // ever: it is thrown away below with the rest of its
                    // message, and the error goes to the sender's plan.
                    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw PythonError{};
                    arrivals.push_back({pid, Ref(), Ref::steal(compat::fetch_raised_exception())});
                }
            }
            // A datagram must fit the buffer its stream's first one announced.
            if (found != streams_.end() && found->second.next_sequence == header.sequence &&
                header.total == static_cast<std::uint64_t>(PyBytes_GET_SIZE(found->second.buffer.get()))) {
                stream = &found->second;
                destination = PyBytes_AS_STRING(stream->buffer.get()) + stream->received;
                room = static_cast<size_t>(header.total - stream->received);
            } else if (found != streams_.end()) {
                streams_.erase(found);  // out of step: nothing of it can be trusted
            }
        }
        if (stream == nullptr) {  // the rest of a discarded stream, or garbage
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
        if ((message.msg_flags & MSG_TRUNC) != 0 || static_cast<size_t>(got) < sizeof header) {
            streams_.erase(pid);
            continue;
        }
        stream->received += static_cast<std::uint64_t>(got) - sizeof header;
        ++stream->next_sequence;
        if (stream->received == header.total) {
            arrivals.push_back({pid, std::move(stream->buffer)});
            streams_.erase(pid);
        }
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
    // A smaller buffer only means fewer datagrams in flight.
    setsockopt(fds[1], SOL_SOCKET, SO_SNDBUF, &sender_buffer, sizeof sender_buffer);
    return {std::move(sender), fds[0]};
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
    Ref os = lookup_global(globals, global_os);
    Ref hook = check(PyCFunction_New(&after_fork_definition, nullptr));
    Ref register_at_fork = get_attr(os.get(), name_register_at_fork);
    Ref no_arguments = check(PyTuple_New(0));
    Ref keywords = check(PyDict_New());
    check_status(PyDict_SetItem(keywords.get(), name_after_in_child, hook.get()));
    check(PyObject_Call(register_at_fork.get(), no_arguments.get(), keywords.get()));
}

}  // namespace tandrel
