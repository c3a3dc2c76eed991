// An error-checking mutex: it refuses a second lock by its holder (EDEADLK)
// instead of leaving the thread blocked on itself.
#include "platform/lock.h"

#include <pthread.h>

#include <cstdio>
#include <cstdlib>
#include <new>

namespace platform {

namespace {
pthread_mutex_t* MutexOf(void* state) { return static_cast<pthread_mutex_t*>(state); }
}  // namespace

Lock::~Lock() { TearDown(); }

bool Lock::SetUp() {
    if (state_ != nullptr) return true;
    auto* mutex = new (std::nothrow) pthread_mutex_t;
    if (mutex == nullptr) return false;
    pthread_mutexattr_t attributes;
    bool ready = pthread_mutexattr_init(&attributes) == 0;
    if (ready) {
        ready = pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_ERRORCHECK) == 0 &&
                pthread_mutex_init(mutex, &attributes) == 0;
        pthread_mutexattr_destroy(&attributes);
    }
    if (!ready) {
        delete mutex;
        return false;
    }
    state_ = mutex;
    return true;
}

void Lock::TearDown() {
    if (state_ == nullptr) return;
    pthread_mutex_destroy(MutexOf(state_));
    delete MutexOf(state_);
    state_ = nullptr;
}

void Lock::Enter() {
    if (pthread_mutex_lock(MutexOf(state_)) != 0) {
        std::fputs("platform::Lock entered again by the thread that holds it\n", stderr);
        std::abort();
    }
}

void Lock::Leave() { pthread_mutex_unlock(MutexOf(state_)); }

}  // namespace platform
