#include "platform/thread.h"

#include <pthread.h>
#include <unistd.h>

#include <cstdint>
#include <new>

#include "platform/posix/thread_state.h"

namespace platform {

using posix::StateOf;
using posix::ThreadState;

namespace {
// Ids as Windows gives them: one sequence for every thread, so that a
// Thread's Id() is what CurrentThreadId() answers on that thread.
uint32_t g_next_id = 1;
thread_local uint32_t t_id = 0;
uint32_t NewThreadId() { return __atomic_fetch_add(&g_next_id, 1, __ATOMIC_RELAXED); }

// Clears `running` however the thread ends, by returning or through
// EndCurrentThread: thread-local objects are destroyed on both ways out.
struct EndOfThread {
    ThreadState* state = nullptr;
    ~EndOfThread() {
        if (state == nullptr) return;
        std::lock_guard<std::mutex> guard(state->mutex);
        state->running = false;
    }
};
thread_local EndOfThread t_end;

void* Trampoline(void* raw) {
    auto* state = static_cast<ThreadState*>(raw);
    t_id = state->id;
    {
        std::lock_guard<std::mutex> guard(state->mutex);
        state->kernel_id = gettid();
        state->running = true;
    }
    state->known.notify_one();
    t_end.state = state;
    unsigned code = state->entry(state->argument);
    return reinterpret_cast<void*>(static_cast<uintptr_t>(code));
}
}  // namespace

Thread::~Thread() {
    if (Started()) Join();
}

bool Thread::Start(ThreadEntry entry, void* argument) {
    if (Started()) return false;
    auto* state = new (std::nothrow) ThreadState;
    if (state == nullptr) return false;
    state->entry = entry;
    state->argument = argument;
    state->id = NewThreadId();
    // Both before the thread starts, which may look at itself at once.
    state_ = state;
    id_ = state->id;
    if (pthread_create(&state->thread, nullptr, &Trampoline, state) != 0) {
        state_ = nullptr;
        id_ = 0;
        delete state;
        return false;
    }
    // Returns once the thread's kernel number is known, so that its priority
    // can be set right away, as on Windows.
    std::unique_lock<std::mutex> lock(state->mutex);
    state->known.wait(lock, [state] { return state->kernel_id != 0; });
    return true;
}

bool Thread::HasEnded() {
    ThreadState* state = StateOf(state_);
    if (state == nullptr || state->joined) return true;
    void* result = nullptr;
    if (pthread_tryjoin_np(state->thread, &result) != 0) return false;
    state->joined = true;
    state->exit_code = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(result));
    return true;
}

uint32_t Thread::Join() {
    ThreadState* state = StateOf(state_);
    if (state == nullptr) return 0;
    if (!state->joined) {
        void* result = nullptr;
        pthread_join(state->thread, &result);
        state->exit_code = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(result));
    }
    const uint32_t code = state->exit_code;
    delete state;
    state_ = nullptr;
    id_ = 0;
    return code;
}

uint32_t Thread::JoinTakingSentMessages() { return Join(); }

uint32_t CurrentThreadId() {
    if (t_id == 0) t_id = NewThreadId();
    return t_id;
}

void EndCurrentThread(unsigned code) { pthread_exit(reinterpret_cast<void*>(static_cast<uintptr_t>(code))); }

}  // namespace platform
