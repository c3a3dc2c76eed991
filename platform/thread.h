// Threads started through the runtime library, so that the C runtime's
// per-thread state exists for whatever the sub-plugin calls on them.
#pragma once

#include <cstdint>

#if defined(_WIN32)
#define THREAD_ENTRY_CALL __stdcall
#else
#define THREAD_ENTRY_CALL
#endif

namespace platform {

using ThreadEntry = unsigned(THREAD_ENTRY_CALL*)(void* argument);

// A priority is a number read from one thread and given to another; a larger
// one gets more of the processor. Windows' own levels there, the nice value
// negated on Linux (whose threads each have one).
// The value a failed priority read reports (THREAD_PRIORITY_ERROR_RETURN).
constexpr int kPriorityReadFailed = 0x7FFFFFFF;

class Thread {
public:
    Thread() = default;
    ~Thread();  // joins a thread that was never joined: a handle must not leak
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    // Starts running at once. False leaves the object without a thread.
    bool Start(ThreadEntry entry, void* argument);
    bool Started() const { return state_ != nullptr; }
    uint32_t Id() const { return id_; }

    // False, and the priority unchanged, when the system refuses it (or the
    // thread has ended, where that can be told).
    bool SetPriority(int priority);
    int Priority() const;

    // Polls without waiting: true once the thread has ended, however it ended.
    bool HasEnded();

    // Waits without a time limit, releases the thread and returns its exit code.
    uint32_t Join();
    // Join, for a thread that owns windows: meanwhile every message another
    // thread sends to it is handed to its window procedure, so that the
    // ending thread (a DLL's thread-detach code, the system destroying its
    // windows) may send to this one without both waiting for ever. Posted
    // messages stay queued. Without a window system this is Join.
    uint32_t JoinTakingSentMessages();

private:
    void* state_ = nullptr;  // the port's record of a started thread
    uint32_t id_ = 0;
};

// The calling thread's priority; kPriorityReadFailed when it cannot be read.
int CurrentThreadPriority();
uint32_t CurrentThreadId();

// Ends the calling thread with this exit code through the runtime library;
// objects on the caller's stack are not destroyed.
[[noreturn]] void EndCurrentThread(unsigned code);

}  // namespace platform
