// Events as the relay's two threads use them. The two kinds are separate
// types so that a call site cannot confuse "releases one waiter" with "stays
// signalled".
#pragma once

namespace platform {

// Brief: 30 ms, for a waiter that has word to pass on soon after it arrives.
enum class WaitLimit { Forever, HalfSecond, Brief };
enum class WaitResult { Signalled, TimedOut };

namespace detail {
class EventBase {
public:
    EventBase(const EventBase&) = delete;
    EventBase& operator=(const EventBase&) = delete;

    bool Valid() const { return handle_ != nullptr; }
    void Close();
    void Signal();
    // A failed wait is reported as a timeout: the caller re-checks its state.
    WaitResult Wait(WaitLimit limit);
    // Wait, for a thread that owns windows: meanwhile every message another
    // thread sends to it is handed to its window procedure, so that such a
    // sender is not blocked for as long as this thread waits. Posted
    // messages are left in the queue. The half-second limit bounds the whole
    // wait, however many messages arrive (each one is still handled to its
    // end). Without a window system this is Wait.
    WaitResult WaitTakingSentMessages(WaitLimit limit);

protected:
    EventBase() = default;
    ~EventBase();
    bool Create(bool manual_reset);
    void ResetSignal();

    void* handle_ = nullptr;
};
}  // namespace detail

// Releases exactly one waiter per Signal() and is then unsignalled again;
// used for "go" and "request done".
class AutoResetEvent : public detail::EventBase {
public:
    AutoResetEvent() = default;
    bool Create() { return EventBase::Create(false); }  // initially unsignalled
};

// Stays signalled until Reset(), so that several signals merge into one
// wake-up; used for "something to do".
class ManualResetEvent : public detail::EventBase {
public:
    ManualResetEvent() = default;
    bool Create() { return EventBase::Create(true); }  // initially unsignalled
    void Reset() { ResetSignal(); }
};

}  // namespace platform
