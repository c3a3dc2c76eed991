// The POSIX port's record of a started thread, shared by thread.cpp and
// thread_priority.cpp (which the native tests replace with a fake).
#pragma once

#include <pthread.h>
#include <sys/types.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "platform/thread.h"

namespace platform::posix {

struct ThreadState {
    ThreadEntry entry = nullptr;
    void* argument = nullptr;
    uint32_t id = 0;
    pthread_t thread{};
    bool joined = false;
    uint32_t exit_code = 0;

    // The kernel's number for the thread, which its priority is set through.
    // Valid only while `running`: once the thread has ended the kernel may
    // give the number to another thread, of any process. A priority call
    // holds `mutex` for as long as it uses the number, and the thread clears
    // `running` under the same mutex on its way out.
    std::mutex mutex;
    std::condition_variable known;
    pid_t kernel_id = 0;
    bool running = false;
};

inline ThreadState* StateOf(void* state) { return static_cast<ThreadState*>(state); }

}  // namespace platform::posix
