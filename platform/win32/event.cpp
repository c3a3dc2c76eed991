#include "platform/event.h"

#include <windows.h>

#include "platform/win32/sent_messages.h"

namespace platform {

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

namespace detail {

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

ObjectHandle EventBase::handle() const { return reinterpret_cast<ObjectHandle>(handle_); }

bool EventBase::Adopt(ObjectHandle handle) {
    Close();
    handle_ = reinterpret_cast<void*>(handle);
    return handle_ != nullptr;
}

}  // namespace detail

WaitEnd WaitForEventOrEnd(detail::EventBase& event, ObjectHandle process, WaitLimit limit, WhileWaiting messages) {
    // The event first: a wait that finds both signalled names the first.
    const HANDLE objects[2] = {reinterpret_cast<HANDLE>(event.handle()), reinterpret_cast<HANDLE>(process)};
    const DWORD count = process != 0 ? 2 : 1;
    const DWORD milliseconds = Milliseconds(limit);
    // Under Wine every wait is a request to its server: one call each.
    DWORD woken = WAIT_FAILED;
    switch (messages) {
        case WhileWaiting::Nothing:
            woken = WaitForMultipleObjects(count, objects, FALSE, milliseconds);
            break;
        case WhileWaiting::TakeSentMessages:
            woken = win32::WaitTakingMessages(objects, count, milliseconds, false);
            break;
        case WhileWaiting::DispatchMessages:
            woken = win32::WaitTakingMessages(objects, count, milliseconds, true);
            break;
    }
    if (woken == WAIT_OBJECT_0) return WaitEnd::Signalled;
    if (count == 2 && woken == WAIT_OBJECT_0 + 1) return WaitEnd::ProcessEnded;
    return WaitEnd::TimedOut;
}

}  // namespace platform
