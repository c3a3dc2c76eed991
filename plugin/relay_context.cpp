#include "plugin/relay_context.h"

#include "registry/sub_plugin_registry.h"

namespace {
RelayContext* g_module_context = nullptr;
}  // namespace

RelayContext* ModuleContext() { return g_module_context; }
void SetModuleContext(RelayContext* context) { g_module_context = context; }

RelayContext::RelayContext() {
    ResetExportState();
}

RelayContext::~RelayContext() {
    Close();
}

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
    last_flag_frame.store(0, std::memory_order_relaxed);
    last_video_frame.store(0, std::memory_order_relaxed);
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
    aborted.store(0, std::memory_order_relaxed);
    preview_pending.store(0, std::memory_order_relaxed);
    abort_check_pending.store(0, std::memory_order_relaxed);
    progress_position.store(kNoProgress, std::memory_order_relaxed);
    progress_total.store(kNoProgress, std::memory_order_relaxed);
    shown_position = kNoProgress;
    shown_total = kNoProgress;
}

bool RelayContext::Open() {
    if (!request_lock.SetUp()) return false;
    if (!done_event.Create()) return false;
    if (!wake_event.Create()) return false;
    ScanSubPlugins(plugins);
    selected = plugins.empty() ? nullptr : plugins.front().table;
    return true;
}

void RelayContext::Close() {
    request_lock.TearDown();
    done_event.Close();
    wake_event.Close();
    UnloadSubPlugins(plugins);
    selected = nullptr;
    settings_cache.Free();
    ReleaseExportBuffers();
}
