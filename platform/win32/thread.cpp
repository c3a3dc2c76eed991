#include "platform/thread.h"

#include <windows.h>
#include <process.h>

namespace platform {

Thread::~Thread() {
    if (started_) Join();
}

bool Thread::Start(ThreadEntry entry, void* argument) {
    if (started_) return false;
    unsigned id = 0;
    uintptr_t handle = _beginthreadex(nullptr, 0, entry, argument, 0, &id);
    if (handle == 0) return false;
    handle_ = reinterpret_cast<void*>(handle);
    id_ = id;
    started_ = true;
    return true;
}

bool Thread::SetPriority(int priority) {
    return started_ && SetThreadPriority(static_cast<HANDLE>(handle_), priority) != 0;
}

int Thread::Priority() const {
    if (!started_) return kPriorityReadFailed;
    return GetThreadPriority(static_cast<HANDLE>(handle_));
}

bool Thread::HasEnded() {
    return !started_ || WaitForSingleObject(static_cast<HANDLE>(handle_), 0) == WAIT_OBJECT_0;
}

uint32_t Thread::Join() {
    if (!started_) return 0;
    HANDLE handle = static_cast<HANDLE>(handle_);
    WaitForSingleObject(handle, INFINITE);
    DWORD code = 0;
    if (!GetExitCodeThread(handle, &code)) code = 0;
    CloseHandle(handle);
    handle_ = nullptr;
    id_ = 0;
    started_ = false;
    return code;
}

int CurrentThreadPriority() {
    return GetThreadPriority(GetCurrentThread());
}

uint32_t CurrentThreadId() {
    return GetCurrentThreadId();
}

void EndCurrentThread(unsigned code) {
    _endthreadex(code);
    // _endthreadex does not return; this keeps the compiler's promise.
    ExitThread(code);
}

}  // namespace platform
