// Whether a child of this process has ended, as both the child's own object
// and a wait on it with an event ask.
#pragma once

#include <sys/types.h>
#include <sys/wait.h>

namespace platform::posix {

// Leaves the child unreaped: its exit status stays for ChildProcess to read
// and its id cannot be given to another process meanwhile. A process that
// is not (or no longer) a waitable child of this one counts as ended.
inline bool ProcessHasEnded(pid_t process, siginfo_t* how = nullptr) {
    siginfo_t info = {};
    if (waitid(P_PID, static_cast<id_t>(process), &info, WEXITED | WNOHANG | WNOWAIT) != 0) return true;
    if (how != nullptr) *how = info;
    return info.si_pid == process;
}

}  // namespace platform::posix
