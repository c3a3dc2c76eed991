#include "platform/thread.h"

#include <pthread.h>

#include <cstdint>

#include "platform/posix/test_hooks.h"

namespace platform {

static_assert(sizeof(pthread_t) <= sizeof(unsigned long), "pthread_t is kept in an unsigned long");

namespace {
thread_local int t_priority = 0;
}  // namespace

Thread::~Thread() {
    if (started_) Join();
}

void* Thread::Trampoline(void* self) {
    auto* thread = static_cast<Thread*>(self);
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
    pthread_t thread;
    if (pthread_create(&thread, nullptr, &Thread::Trampoline, this) != 0) return false;
    posix_thread_ = static_cast<unsigned long>(thread);
    static uint32_t next_id = 1000;
    id_ = __atomic_add_fetch(&next_id, 1, __ATOMIC_RELAXED);
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
    static uint32_t next_id = 1;
    thread_local uint32_t id = __atomic_fetch_add(&next_id, 1, __ATOMIC_RELAXED);
    return id;
}

void EndCurrentThread(unsigned code) {
    pthread_exit(reinterpret_cast<void*>(static_cast<uintptr_t>(code)));
}

void test_hooks::SetCurrentThreadPriority(int priority) {
    t_priority = priority;
}

}  // namespace platform
