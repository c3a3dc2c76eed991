#include "platform/messages.h"

#include <mutex>
#include <utility>

#include "platform/thread.h"
#include "tests/native/fakes/fakes.h"

namespace {
std::mutex g_mutex;
std::vector<fakes::RecordedMessageBox> g_boxes;
fakes::MessageQueueCalls g_queue_calls{};
}  // namespace

void platform::ShowMessageBox(const char* text, const char* caption, unsigned style) {
    std::lock_guard<std::mutex> guard(g_mutex);
    g_boxes.push_back({text, caption, style, CurrentThreadId()});
}

void platform::EnsureMessageQueue() {
    std::lock_guard<std::mutex> guard(g_mutex);
    ++g_queue_calls.queues_created;
    g_queue_calls.last_queue_thread = CurrentThreadId();
}

void platform::PumpMessages() {
    std::lock_guard<std::mutex> guard(g_mutex);
    ++g_queue_calls.pumps;
    g_queue_calls.last_pump_thread = CurrentThreadId();
}

std::vector<fakes::RecordedMessageBox> fakes::TakeMessageBoxes() {
    std::lock_guard<std::mutex> guard(g_mutex);
    return std::exchange(g_boxes, {});
}

fakes::MessageQueueCalls fakes::TakeMessageQueueCalls() {
    std::lock_guard<std::mutex> guard(g_mutex);
    return std::exchange(g_queue_calls, {});
}
