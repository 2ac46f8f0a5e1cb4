// Children that lead their own process group, so that a signal to the group
// reaches whatever they started: subprocesses, shell commands, pools. The
// child makes itself leader right after the fork (ChildPopen._launch).
#pragma once

namespace tandrel {

// The parent's half of making child `pid` a group leader (the child may not
// have run yet when the parent signals it): errors mean the child has gone or
// did it already, and are ignored.
void make_group_leader(long pid) noexcept;

// Sends `signal` to the group that child `pid` leads; to the child alone
// while it has no group yet. Never raises; false when nothing was signalled.
bool signal_group(long pid, int signal) noexcept;

}  // namespace tandrel
