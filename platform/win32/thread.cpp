#include "platform/thread.h"

#include <windows.h>
#include <process.h>

#include "platform/win32/sent_messages.h"

namespace platform {

namespace {
// The thread's handle is the whole state.
HANDLE HandleOf(void* state) { return static_cast<HANDLE>(state); }

// Of a thread that has ended: its exit code, and the handle closed.
uint32_t CloseEnded(void** state, uint32_t* id) {
    HANDLE handle = HandleOf(*state);
    DWORD code = 0;
    if (!GetExitCodeThread(handle, &code)) code = 0;
    CloseHandle(handle);
    *state = nullptr;
    *id = 0;
    return code;
}
}  // namespace

Thread::~Thread() {
    if (Started()) Join();
}

bool Thread::Start(ThreadEntry entry, void* argument) {
    if (Started()) return false;
    unsigned id = 0;
    uintptr_t handle = _beginthreadex(nullptr, 0, entry, argument, 0, &id);
    if (handle == 0) return false;
    state_ = reinterpret_cast<void*>(handle);
    id_ = id;
    return true;
}

bool Thread::SetPriority(int priority) { return Started() && SetThreadPriority(HandleOf(state_), priority) != 0; }

int Thread::Priority() const {
    if (!Started()) return kPriorityReadFailed;
    return GetThreadPriority(HandleOf(state_));
}

bool Thread::HasEnded() { return !Started() || WaitForSingleObject(HandleOf(state_), 0) == WAIT_OBJECT_0; }

uint32_t Thread::Join() {
    if (!Started()) return 0;
    WaitForSingleObject(HandleOf(state_), INFINITE);
    return CloseEnded(&state_, &id_);
}

uint32_t Thread::JoinTakingSentMessages() {
    if (!Started()) return 0;
    win32::WaitTakingSentMessages(HandleOf(state_), INFINITE);
    return CloseEnded(&state_, &id_);
}

int CurrentThreadPriority() { return GetThreadPriority(GetCurrentThread()); }

uint32_t CurrentThreadId() { return GetCurrentThreadId(); }

void EndCurrentThread(unsigned code) {
    _endthreadex(code);
    // _endthreadex does not return; this keeps the compiler's promise.
    ExitThread(code);
}

}  // namespace platform
