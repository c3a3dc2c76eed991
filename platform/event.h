// Events as the relay's two threads use them. The two kinds are separate
// types so that a call site cannot confuse "releases one waiter" with "stays
// signalled".
#pragma once

#include "platform/handles.h"

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

    // The event's handle, for another process to be handed (ChildProcess's
    // list at its start).
    ObjectHandle handle() const;
    // Takes over a handle of an event that this process was handed by the
    // one that created it: both then signal and wait on the same event, and
    // Close() closes this handle only. False for 0, and the object stays
    // empty.
    //
    // POSIX: an event exists in its own process only, and its handle is a
    // pointer to its state, counted: the native tests play the other
    // process on a thread of their own, which adopts the handle value its
    // creator gives it; the state lives until the last of them closes.
    bool Adopt(ObjectHandle handle);

protected:
    EventBase() = default;
    ~EventBase();
    bool Create(bool manual_reset);
    void ResetSignal();

    void* handle_ = nullptr;
};
}  // namespace detail

// What a thread does with its messages while it waits on more than the event.
enum class WhileWaiting {
    Nothing,
    // Hands every message other threads send to its windows to them; posted
    // messages stay queued (as WaitTakingSentMessages).
    TakeSentMessages,
    // Dispatches posted messages too, as a modal loop does: for a thread
    // whose window owns another process's window while it waits.
    DispatchMessages,
};

enum class WaitEnd { Signalled, ProcessEnded, TimedOut };

// Waits until `event` is signalled or the process `process` (a
// ChildProcess's handle(); 0 for none) has ended, whichever comes first, or
// until `limit` has passed in all, however many messages arrive meanwhile
// (each one is still handled to its end). Both at once report Signalled:
// the event's news is read before the process's end is. A failed wait is
// reported as a timeout. Without a window system `messages` means nothing;
// POSIX looks at the process, which must be a child of this one, every few
// milliseconds.
WaitEnd WaitForEventOrEnd(detail::EventBase& event, ObjectHandle process, WaitLimit limit, WhileWaiting messages);

// Releases exactly one waiter per Signal() and is then unsignalled again;
// used for "go" and "request done".
class AutoResetEvent : public detail::EventBase {
public:
    AutoResetEvent() = default;
    bool Create() { return EventBase::Create(false); }  // initially unsignalled
    // Drops a signal that its waiter will never take: one given to a
    // process that has ended since. Only while nobody waits or signals.
    void Forget() { ResetSignal(); }
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
