#include "platform/event.h"

#include <windows.h>

namespace platform::detail {

namespace {
constexpr DWORD kHalfSecond = 500;
}  // namespace

EventBase::~EventBase() { Close(); }

bool EventBase::Create(bool manual_reset) {
    Close();
    handle_ = CreateEventA(nullptr, manual_reset ? TRUE : FALSE, FALSE, nullptr);
    return handle_ != nullptr;
}

void EventBase::Close() {
    if (handle_ != nullptr) {
        CloseHandle(static_cast<HANDLE>(handle_));
        handle_ = nullptr;
    }
}

void EventBase::Signal() { SetEvent(static_cast<HANDLE>(handle_)); }

void EventBase::ResetSignal() { ResetEvent(static_cast<HANDLE>(handle_)); }

WaitResult EventBase::Wait(WaitLimit limit) {
    DWORD ms = limit == WaitLimit::Forever ? INFINITE : kHalfSecond;
    return WaitForSingleObject(static_cast<HANDLE>(handle_), ms) == WAIT_OBJECT_0 ? WaitResult::Signalled
                                                                                  : WaitResult::TimedOut;
}

WaitResult EventBase::WaitTakingSentMessages(WaitLimit limit) {
    HANDLE handle = static_cast<HANDLE>(handle_);
    const DWORD start = GetTickCount();
    for (;;) {
        DWORD ms = INFINITE;
        if (limit == WaitLimit::HalfSecond) {
            const DWORD elapsed = GetTickCount() - start;
            // Sent messages kept this thread busy up to the limit: one last
            // look at the event, and no more messages.
            if (elapsed >= kHalfSecond) {
                return WaitForSingleObject(handle, 0) == WAIT_OBJECT_0 ? WaitResult::Signalled : WaitResult::TimedOut;
            }
            ms = kHalfSecond - elapsed;
        }
        // With MWMO_INPUTAVAILABLE a message sent before the wait began wakes
        // it as well; without, only one that arrives during it would. The
        // event comes first when both are there.
        const DWORD woken = MsgWaitForMultipleObjectsEx(1, &handle, ms, QS_SENDMESSAGE, MWMO_INPUTAVAILABLE);
        if (woken == WAIT_OBJECT_0) return WaitResult::Signalled;
        if (woken != WAIT_OBJECT_0 + 1) return WaitResult::TimedOut;
        // Sent messages go to their window procedures inside this call and
        // are never returned; PM_QS_SENDMESSAGE looks at nothing else, and
        // PM_NOREMOVE would leave anything it did find where it is.
        MSG message;
        PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
}

}  // namespace platform::detail
