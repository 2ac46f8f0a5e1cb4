// Children that lead their own process group, so that a signal to the group
// reaches whatever they started: subprocesses, shell commands, pools.
#pragma once

namespace tandrel {

// Registers, once per process, the fork handler that moves a child into its
// own group before it runs anything (pthread_atfork: inside fork itself).
void install_group_fork_handler();

// For the span of a scope, the next fork made by this thread gives the child
// its own process group, from its first instruction after the fork on.
class ForkIntoOwnGroup {
public:
    explicit ForkIntoOwnGroup(bool wanted);
    ~ForkIntoOwnGroup();
    ForkIntoOwnGroup(const ForkIntoOwnGroup&) = delete;
    ForkIntoOwnGroup& operator=(const ForkIntoOwnGroup&) = delete;

private:
    bool wanted_;
};

// The parent's half of the same step (the child may not have run yet when
// the parent signals it): errors mean the child has gone or did it already.
void make_group_leader(long pid) noexcept;

// Sends `signal` to the group that child `pid` leads; to the child alone
// while it has no group yet. Never raises; false when nothing was signalled.
bool signal_group(long pid, int signal) noexcept;

}  // namespace tandrel
