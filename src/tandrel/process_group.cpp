#include "process_group.h"

#include <atomic>
#include <cerrno>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

namespace tandrel {

namespace {

// Set only around a plan's fork, by the thread that forks; only that thread
// exists in the child, so a fork made meanwhile by another thread is told
// apart by the thread. Atomics: free-threaded builds fork without a GIL.
std::atomic<bool> group_wanted{false};
std::atomic<pthread_t> forking_thread{};
std::atomic<bool> handler_installed{false};

void in_child_after_fork() {
    if (!group_wanted.load(std::memory_order_relaxed)) return;
    if (!pthread_equal(forking_thread.load(std::memory_order_relaxed), pthread_self())) return;
    group_wanted.store(false, std::memory_order_relaxed);  // the child's own forks are its own business
    setpgid(0, 0);
}

}  // namespace

void install_group_fork_handler() {
    if (handler_installed.exchange(true)) return;
    pthread_atfork(nullptr, nullptr, in_child_after_fork);
}

ForkIntoOwnGroup::ForkIntoOwnGroup(bool wanted) : wanted_(wanted) {
    if (!wanted_) return;
    forking_thread.store(pthread_self(), std::memory_order_relaxed);
    group_wanted.store(true, std::memory_order_seq_cst);
}

ForkIntoOwnGroup::~ForkIntoOwnGroup() {
    if (wanted_) group_wanted.store(false, std::memory_order_seq_cst);
}

void make_group_leader(long pid) noexcept { setpgid(static_cast<pid_t>(pid), static_cast<pid_t>(pid)); }

bool signal_group(long pid, int signal) noexcept {
    if (pid <= 0) return false;
    if (kill(-static_cast<pid_t>(pid), signal) == 0) return true;
    if (errno != ESRCH) return false;
    return kill(static_cast<pid_t>(pid), signal) == 0;
}

}  // namespace tandrel
