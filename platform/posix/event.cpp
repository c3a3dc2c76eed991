#include "platform/event.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>

namespace platform::detail {

namespace {
struct EventState {
    std::mutex mutex;
    std::condition_variable changed;
    bool signalled = false;
    bool manual_reset = false;
};
EventState* StateOf(void* handle) { return static_cast<EventState*>(handle); }
}  // namespace

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
    delete StateOf(handle_);
    handle_ = nullptr;
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
    EventState* state = StateOf(handle_);
    std::unique_lock<std::mutex> guard(state->mutex);
    // The predicate covers both a signal given before the wait began and a
    // wake-up with no signal behind it.
    auto signalled = [state] { return state->signalled; };
    if (limit == WaitLimit::Forever) {
        state->changed.wait(guard, signalled);
    } else if (!state->changed.wait_for(guard, std::chrono::milliseconds(limit == WaitLimit::Brief ? 30 : 500),
                                        signalled)) {
        return WaitResult::TimedOut;
    }
    if (!state->manual_reset) state->signalled = false;
    return WaitResult::Signalled;
}

WaitResult EventBase::WaitTakingSentMessages(WaitLimit limit) { return Wait(limit); }

}  // namespace platform::detail
