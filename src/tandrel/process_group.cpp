#include "process_group.h"

#include <cerrno>
#include <signal.h>
#include <unistd.h>

namespace tandrel {

void make_group_leader(long pid) noexcept { setpgid(static_cast<pid_t>(pid), static_cast<pid_t>(pid)); }

bool signal_group(long pid, int signal) noexcept {
    if (pid <= 0) return false;
    if (kill(-static_cast<pid_t>(pid), signal) == 0) return true;
    if (errno != ESRCH) return false;
    return kill(static_cast<pid_t>(pid), signal) == 0;
}

}  // namespace tandrel
