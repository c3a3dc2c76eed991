// What the simulated editor needs of the system, declared once and
// implemented per platform (win32/, posix/): the mingw runtime has neither
// std::thread nor std::mutex.
#pragma once

#include <cstddef>
#include <cstdint>

namespace editor_sim {

// Tells threads apart; stable for the life of the thread.
uint64_t CurrentThreadKey();

// Serialises service calls that several threads make at once.
class CallLock {
public:
    CallLock();
    ~CallLock();
    CallLock(const CallLock&) = delete;
    CallLock& operator=(const CallLock&) = delete;
    void Enter();
    void Leave();

private:
    void* state_;
};

size_t PageBytes();
// `usable` bytes (whole pages) followed by one page that no access may touch;
// null if the region cannot be had.
void* ReserveGuardedRegion(size_t usable);
void ReleaseGuardedRegion(void* region, size_t usable);

}  // namespace editor_sim
