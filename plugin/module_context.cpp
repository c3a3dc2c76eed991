// The part of the context that the subsystems themselves rely on at run time:
// the module-wide pointer through which the substitute service functions find
// it, and the idle values every export starts from. Opening and closing the
// context scan and unload the sub-plugins and free the slots, so they sit
// above the registry and the relay, in relay_context.cpp.
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
    activity.Reset();
    serving = ServingActivity{};
    last_flag_frame.store(0, std::memory_order_relaxed);
    last_video_frame.store(0, std::memory_order_relaxed);
    serving_wait.store(static_cast<uint8_t>(ServingWait::None), std::memory_order_relaxed);
    read_ahead_lead = 0;
    brief_waits_left = 0;
    command.store(static_cast<int32_t>(RelayCommand::Idle), std::memory_order_relaxed);
    current_format.store(kNoFormat, std::memory_order_relaxed);
    req_video_format = kNoFormat;
    req_video_frame = -1;
    req_flag_frame = -1;
    req_audio_start = 0;
    req_audio_length = 0;
    req_audio_read = nullptr;
    audio_result = nullptr;
    flag_result = 0;
    video_result = nullptr;
    refused_video_frame = -1;
    aborted.store(0, std::memory_order_relaxed);
    preview_pending.store(0, std::memory_order_relaxed);
    abort_check_pending.store(0, std::memory_order_relaxed);
    progress_position.store(kNoProgress, std::memory_order_relaxed);
    progress_total.store(kNoProgress, std::memory_order_relaxed);
    shown_position = kNoProgress;
    shown_total = kNoProgress;
}
