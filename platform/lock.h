// Mutual exclusion that may be held across a blocking wait on an event.
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
