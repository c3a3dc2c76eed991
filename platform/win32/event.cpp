#include "platform/event.h"

#include <windows.h>

#include "platform/win32/sent_messages.h"

namespace platform::detail {

namespace {
DWORD Milliseconds(WaitLimit limit) {
    switch (limit) {
        case WaitLimit::HalfSecond: return 500;
        case WaitLimit::Brief: return 30;
        case WaitLimit::Forever: break;
    }
    return INFINITE;
}
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
    return WaitForSingleObject(static_cast<HANDLE>(handle_), Milliseconds(limit)) == WAIT_OBJECT_0
               ? WaitResult::Signalled
               : WaitResult::TimedOut;
}

WaitResult EventBase::WaitTakingSentMessages(WaitLimit limit) {
    return win32::WaitTakingSentMessages(static_cast<HANDLE>(handle_), Milliseconds(limit)) ? WaitResult::Signalled
                                                                                            : WaitResult::TimedOut;
}

}  // namespace platform::detail
