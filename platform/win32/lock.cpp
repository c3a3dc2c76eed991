// A critical section, as the relay has always been tested and measured with,
// and the holder's thread id beside it: a critical section lets its holder
// in again, which the lock's contract forbids.
#include "platform/lock.h"

#include <windows.h>

#include <new>

namespace platform {

namespace {
// EXCEPTION_POSSIBLE_DEADLOCK, whose STATUS_ value only ntstatus.h spells out.
constexpr DWORD kPossibleDeadlock = 0xC0000194;

struct LockState {
    CRITICAL_SECTION section;
    // Written by the holder only, and read only by a thread that has just
    // entered: it is its own id there only if that thread already held it.
    DWORD holder = 0;
};
LockState* StateOf(void* state) { return static_cast<LockState*>(state); }
}  // namespace

Lock::~Lock() { TearDown(); }

bool Lock::SetUp() {
    if (state_ != nullptr) return true;
    auto* state = new (std::nothrow) LockState;
    if (state == nullptr) return false;
    InitializeCriticalSection(&state->section);
    state_ = state;
    return true;
}

void Lock::TearDown() {
    if (state_ == nullptr) return;
    DeleteCriticalSection(&StateOf(state_)->section);
    delete StateOf(state_);
    state_ = nullptr;
}

void Lock::Enter() {
    LockState* state = StateOf(state_);
    EnterCriticalSection(&state->section);
    const DWORD self = GetCurrentThreadId();
    if (state->holder == self) RaiseException(kPossibleDeadlock, EXCEPTION_NONCONTINUABLE, 0, nullptr);
    state->holder = self;
}

void Lock::Leave() {
    LockState* state = StateOf(state_);
    state->holder = 0;
    LeaveCriticalSection(&state->section);
}

}  // namespace platform
