// The part of the context that the subsystems themselves rely on at run time:
// the module-wide pointer through which the substitute service functions find
// it, and the idle values every export starts from. Opening and closing the
// context scan and unload the sub-plugins and free the slots, so they sit
// above the registry and the relay, in entry/context_lifecycle.cpp.
#include "plugin/relay_context.h"

namespace {
RelayContext* g_module_context = nullptr;
}  // namespace

RelayContext* ModuleContext() { return g_module_context; }
void SetModuleContext(RelayContext* context) { g_module_context = context; }

void RelayActivity::Reset() {
    video_hits.store(0, std::memory_order_relaxed);
    flag_hits.store(0, std::memory_order_relaxed);
    requests_posted.store(0, std::memory_order_relaxed);
    requests_answered.store(0, std::memory_order_relaxed);
    last_command.store(0, std::memory_order_relaxed);
    last_frame.store(-1, std::memory_order_relaxed);
}

void RelayContext::ResetExportState() {
    // The buffers stay: they are freed when an export ends or is prepared,
    // and the format that names the slots is reset with the video ring.
    Renew(channel->video_ring);
    Renew(channel->flag_ring);
    Renew(channel->mailbox);
    Renew(channel->notes);
    Renew(channel->handoff);
    channel->activity.Reset();
    serving = ServingActivity{};
    channel->aborted.store(0, std::memory_order_relaxed);
}

void RelayContext::ShareExport(ExportChannel* shared, std::atomic<int32_t>* ring_words, int32_t ring_word_count,
                               ServingLink* serving, WorkerLink* worker) {
    channel = shared != nullptr ? shared : &own_channel;
    const bool linked = shared != nullptr;
    shared_ring_words = linked ? ring_words : nullptr;
    shared_ring_word_count = linked && ring_words != nullptr ? ring_word_count : 0;
    serving_link = linked ? serving : nullptr;
    worker_link = linked ? worker : nullptr;
}

bool RelayContext::OpenWorkerSide(platform::ObjectHandle done, platform::ObjectHandle wake) {
    return request_lock.SetUp() && done_event.Adopt(done) && wake_event.Adopt(wake);
}

void RelayContext::ForgetHandoffSignals() {
    done_event.Forget();
    wake_event.Forget();
}
