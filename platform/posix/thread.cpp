#include "platform/thread.h"

#include <pthread.h>

#include <cstdint>

#include "platform/posix/test_hooks.h"

namespace platform {

static_assert(sizeof(pthread_t) <= sizeof(unsigned long), "pthread_t is kept in an unsigned long");

namespace {
thread_local int t_priority = 0;
// Ids as Windows gives them: one sequence for every thread, so that a
// Thread's Id() is what CurrentThreadId() answers on that thread.
uint32_t g_next_id = 1;
thread_local uint32_t t_id = 0;
uint32_t NewThreadId() { return __atomic_fetch_add(&g_next_id, 1, __ATOMIC_RELAXED); }
}  // namespace

Thread::~Thread() {
    if (started_) Join();
}

void* Thread::Trampoline(void* self) {
    auto* thread = static_cast<Thread*>(self);
    t_id = thread->id_;
    unsigned code = thread->entry_(thread->argument_);
    return reinterpret_cast<void*>(static_cast<uintptr_t>(code));
}

bool Thread::Start(ThreadEntry entry, void* argument) {
    if (started_) return false;
    entry_ = entry;
    argument_ = argument;
    joined_ = false;
    exit_code_ = 0;
    priority_ = 0;
    id_ = NewThreadId();  // before the thread starts, which reads it
    pthread_t thread;
    if (pthread_create(&thread, nullptr, &Thread::Trampoline, this) != 0) {
        id_ = 0;
        return false;
    }
    posix_thread_ = static_cast<unsigned long>(thread);
    started_ = true;
    return true;
}

bool Thread::SetPriority(int priority) {
    if (!started_) return false;
    priority_ = priority;
    return true;
}

int Thread::Priority() const {
    return started_ ? priority_ : kPriorityReadFailed;
}

bool Thread::HasEnded() {
    if (!started_ || joined_) return true;
    void* result = nullptr;
    if (pthread_tryjoin_np(static_cast<pthread_t>(posix_thread_), &result) != 0) return false;
    joined_ = true;
    exit_code_ = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(result));
    return true;
}

uint32_t Thread::Join() {
    if (!started_) return 0;
    if (!joined_) {
        void* result = nullptr;
        pthread_join(static_cast<pthread_t>(posix_thread_), &result);
        exit_code_ = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(result));
    }
    started_ = false;
    joined_ = false;
    id_ = 0;
    return exit_code_;
}

int CurrentThreadPriority() {
    return t_priority;
}

uint32_t CurrentThreadId() {
    if (t_id == 0) t_id = NewThreadId();
    return t_id;
}

void EndCurrentThread(unsigned code) {
    pthread_exit(reinterpret_cast<void*>(static_cast<uintptr_t>(code)));
}

void test_hooks::SetCurrentThreadPriority(int priority) {
    t_priority = priority;
}

}  // namespace platform
