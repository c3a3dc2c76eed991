// Mutual exclusion between threads; it may be held across a blocking wait on
// an event.
//
// Not recursive: a thread that holds the lock must not enter it again. Both
// ports check this and end the process at the second entry, so that such a
// bug stops where it is made: a recursive lock would let the thread in and
// break the exclusion the holder relies on, a plain one would leave it
// hanging with no trace. Windows raises EXCEPTION_POSSIBLE_DEADLOCK (what it
// raises for a critical section that waits too long); POSIX aborts.
#pragma once

namespace platform {

class Lock {
public:
    Lock() = default;
    ~Lock();
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

    bool SetUp();
    void TearDown();
    bool IsSetUp() const { return state_ != nullptr; }
    void Enter();
    void Leave();

private:
    void* state_ = nullptr;
};

class LockGuard {
public:
    explicit LockGuard(Lock& lock) : lock_(lock) { lock_.Enter(); }
    ~LockGuard() { lock_.Leave(); }
    LockGuard(const LockGuard&) = delete;
    LockGuard& operator=(const LockGuard&) = delete;

private:
    Lock& lock_;
};

}  // namespace platform
