#include "platform/event.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>

#include "platform/posix/process_end.h"

namespace platform {

namespace {
struct EventState {
    std::mutex mutex;
    std::condition_variable changed;
    bool signalled = false;
    bool manual_reset = false;
    // One per EventBase that holds the state: its creator and each adopter.
    std::atomic<int> holders{1};
};
EventState* StateOf(void* handle) { return static_cast<EventState*>(handle); }

constexpr long kForever = -1;

long Milliseconds(WaitLimit limit) {
    switch (limit) {
        case WaitLimit::HalfSecond: return 500;
        case WaitLimit::Brief: return 30;
        case WaitLimit::Forever: break;
    }
    return kForever;
}

// True when the event was signalled within `milliseconds` (kForever: no
// limit); an auto-reset event is unsignalled again by the wait that saw it.
bool Take(EventState* state, long milliseconds) {
    std::unique_lock<std::mutex> guard(state->mutex);
    // The predicate covers both a signal given before the wait began and a
    // wake-up with no signal behind it.
    auto signalled = [state] { return state->signalled; };
    if (milliseconds == kForever) {
        state->changed.wait(guard, signalled);
    } else if (milliseconds == 0) {
        // A timed wait whose deadline has passed already is no cheap poll.
        if (!signalled()) return false;
    } else if (!state->changed.wait_for(guard, std::chrono::milliseconds(milliseconds), signalled)) {
        return false;
    }
    if (!state->manual_reset) state->signalled = false;
    return true;
}
}  // namespace

namespace detail {

EventBase::~EventBase() { Close(); }

bool EventBase::Create(bool manual_reset) {
    Close();
    auto* state = new (std::nothrow) EventState;
    if (state == nullptr) return false;
    state->manual_reset = manual_reset;
    handle_ = state;
    return true;
}

void EventBase::Close() {
    EventState* state = StateOf(handle_);
    handle_ = nullptr;
    if (state != nullptr && state->holders.fetch_sub(1, std::memory_order_acq_rel) == 1) delete state;
}

void EventBase::Signal() {
    EventState* state = StateOf(handle_);
    {
        std::lock_guard<std::mutex> guard(state->mutex);
        state->signalled = true;
    }
    // An auto-reset event releases one waiter; the others keep waiting for
    // their own signal, so waking one is enough.
    if (state->manual_reset) {
        state->changed.notify_all();
    } else {
        state->changed.notify_one();
    }
}

void EventBase::ResetSignal() {
    EventState* state = StateOf(handle_);
    std::lock_guard<std::mutex> guard(state->mutex);
    state->signalled = false;
}

WaitResult EventBase::Wait(WaitLimit limit) {
    return Take(StateOf(handle_), Milliseconds(limit)) ? WaitResult::Signalled : WaitResult::TimedOut;
}

WaitResult EventBase::WaitTakingSentMessages(WaitLimit limit) { return Wait(limit); }

ObjectHandle EventBase::handle() const { return reinterpret_cast<ObjectHandle>(handle_); }

bool EventBase::Adopt(ObjectHandle handle) {
    Close();
    EventState* state = StateOf(reinterpret_cast<void*>(handle));
    if (state == nullptr) return false;
    // The giver still holds it: the state cannot go away meanwhile.
    state->holders.fetch_add(1, std::memory_order_relaxed);
    handle_ = state;
    return true;
}

}  // namespace detail

WaitEnd WaitForEventOrEnd(detail::EventBase& event, ObjectHandle process, WaitLimit limit, WhileWaiting) {
    EventState* state = StateOf(reinterpret_cast<void*>(event.handle()));
    const long limit_ms = Milliseconds(limit);
    if (process == 0) return Take(state, limit_ms) ? WaitEnd::Signalled : WaitEnd::TimedOut;
    // Nothing wakes a condition variable when a process ends: look at the
    // process between slices of the wait on the event.
    constexpr long kSlice = 10;
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        long slice = kSlice;
        if (limit_ms != kForever) {
            const long elapsed = static_cast<long>(
                std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
                    .count());
            slice = elapsed >= limit_ms ? 0 : std::min(kSlice, limit_ms - elapsed);
        }
        if (Take(state, slice)) return WaitEnd::Signalled;
        if (posix::ProcessHasEnded(static_cast<pid_t>(process))) {
            // A signal given just before the end is news the waiter must get.
            return Take(state, 0) ? WaitEnd::Signalled : WaitEnd::ProcessEnded;
        }
        if (slice == 0) return WaitEnd::TimedOut;  // that was the last look
    }
}

}  // namespace platform
