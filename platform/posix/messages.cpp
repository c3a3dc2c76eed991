#include "platform/messages.h"

#include <mutex>
#include <utility>

#include "platform/posix/test_hooks.h"
#include "platform/thread.h"

namespace platform {

namespace {
std::mutex g_mutex;
std::vector<test_hooks::RecordedMessageBox> g_boxes;
test_hooks::MessageQueueCalls g_queue_calls{};
}  // namespace

// There is no window system here: a message box is recorded for the tests and
// "closed" at once, and the message queue calls are counted.
void ShowMessageBox(const char* text, const char* caption, unsigned style) {
    std::lock_guard<std::mutex> guard(g_mutex);
    g_boxes.push_back({text, caption, style, CurrentThreadId()});
}

void EnsureMessageQueue() {
    std::lock_guard<std::mutex> guard(g_mutex);
    ++g_queue_calls.queues_created;
    g_queue_calls.last_queue_thread = CurrentThreadId();
}

void PumpMessages() {
    std::lock_guard<std::mutex> guard(g_mutex);
    ++g_queue_calls.pumps;
    g_queue_calls.last_pump_thread = CurrentThreadId();
}

std::vector<test_hooks::RecordedMessageBox> test_hooks::TakeMessageBoxes() {
    std::lock_guard<std::mutex> guard(g_mutex);
    return std::exchange(g_boxes, {});
}

test_hooks::MessageQueueCalls test_hooks::TakeMessageQueueCalls() {
    std::lock_guard<std::mutex> guard(g_mutex);
    return std::exchange(g_queue_calls, {});
}

}  // namespace platform
