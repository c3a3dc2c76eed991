// Linux gives every thread a nice value of its own (POSIX would have one per
// process), settable through the thread's kernel number. A new thread starts
// with its creator's. Lowering a thread's priority is always allowed; raising
// it above what the process's limit allows (RLIMIT_NICE, CAP_SYS_NICE) is
// refused, and SetPriority then answers false.
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>

#include "platform/posix/thread_state.h"
#include "platform/thread.h"

namespace platform {

namespace {
int ReadPriority(pid_t kernel_id) {
    errno = 0;
    const int nice = getpriority(PRIO_PROCESS, static_cast<id_t>(kernel_id));
    // -1 is also a nice value: only errno tells a failure.
    if (nice == -1 && errno != 0) return kPriorityReadFailed;
    return -nice;
}
}  // namespace

bool Thread::SetPriority(int priority) {
    posix::ThreadState* state = posix::StateOf(state_);
    if (state == nullptr || priority == kPriorityReadFailed) return false;
    std::lock_guard<std::mutex> guard(state->mutex);
    if (!state->running) return false;
    return setpriority(PRIO_PROCESS, static_cast<id_t>(state->kernel_id), -priority) == 0;
}

int Thread::Priority() const {
    posix::ThreadState* state = posix::StateOf(state_);
    if (state == nullptr) return kPriorityReadFailed;
    std::lock_guard<std::mutex> guard(state->mutex);
    if (!state->running) return kPriorityReadFailed;
    return ReadPriority(state->kernel_id);
}

int CurrentThreadPriority() { return ReadPriority(gettid()); }

}  // namespace platform
