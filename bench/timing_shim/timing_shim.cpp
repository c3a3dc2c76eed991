// The timing shim: an output plugin for the benchmark (timed.auo, loaded by
// the editor itself, or timed.auo_ in sidecar\ behind the relay) that runs
// another output plugin, the inner encoder, and times its frame requests.
// Every table function goes to the inner encoder unchanged; the record it is
// handed is the caller's, with get_video and get_video_ex timed on the
// performance counter and get_flag and get_audio counted. It is never
// shipped: measuring is the benchmark's business, not the encoders'.
//
// It is told what to do through the environment, which Wine hands on to
// the Windows process:
//   OFFLOADER_TIMED_ENCODER  the inner encoder's module (without it the
//                            shim is no output plugin)
//   OFFLOADER_TIMING_STATS   where each export's statistics go (flagged_frames=,
//                            audio_samples=, then bench/timing's summary and
//                            every request); unset, nothing is written
#include <windows.h>

#include <cstdio>
#include <string>

#include "bench/timing/request_timing.h"
#include "plugin/output_plugin.h"

namespace {

HMODULE g_inner_module = nullptr;
OutputPluginTable* g_inner = nullptr;
OutputPluginTable g_table = {};

// The export in progress: the caller's record and what its requests took.
OutputInfo* g_caller = nullptr;
request_timing::RequestLog g_requests;
int32_t g_flagged_frames = 0;
int64_t g_audio_samples = 0;

std::string Environment(const char* name) {
    char value[MAX_PATH * 2];
    const DWORD length = GetEnvironmentVariableA(name, value, sizeof value);
    return length > 0 && length < sizeof value ? std::string(value, length) : std::string();
}

int64_t Ticks() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

void* TimedGetVideo(int frame) {
    const int64_t start = Ticks();
    void* pixels = g_caller->get_video(frame);
    g_requests.Add(frame, start, Ticks());
    return pixels;
}

void* TimedGetVideoEx(int frame, uint32_t format) {
    const int64_t start = Ticks();
    void* pixels = g_caller->get_video_ex(frame, format);
    g_requests.Add(frame, start, Ticks());
    return pixels;
}

int CountedGetFlag(int frame) {
    const int flag = g_caller->get_flag(frame);
    if (flag != 0) ++g_flagged_frames;
    return flag;
}

void* CountedGetAudio(int start, int length, int* read) {
    void* samples = g_caller->get_audio(start, length, read);
    if (samples != nullptr && read != nullptr && *read > 0) g_audio_samples += *read;
    return samples;
}

void WriteStatistics(const std::string& path) {
    // Binary: the benchmark's scripts read the lines as Unix text.
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return;
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    std::fprintf(file, "flagged_frames=%d\naudio_samples=%lld\n", static_cast<int>(g_flagged_frames),
                 static_cast<long long>(g_audio_samples));
    g_requests.Write(file, frequency.QuadPart);
    std::fclose(file);
}

int ShimInit() { return g_inner->init(); }
int ShimExit() { return g_inner->exit(); }

int ShimOutput(OutputInfo* info) {
    if (info == nullptr) return g_inner->output(info);
    // Room for every frame twice over: an encoder that asks again is still timed.
    g_requests.Reserve(info->frame_count > 0 ? info->frame_count * 2 : 1);
    g_flagged_frames = 0;
    g_audio_samples = 0;
    g_caller = info;
    OutputInfo timed = *info;
    timed.get_video = TimedGetVideo;
    timed.get_video_ex = TimedGetVideoEx;
    timed.get_flag = CountedGetFlag;
    timed.get_audio = CountedGetAudio;
    const int result = g_inner->output(&timed);
    const std::string statistics = Environment("OFFLOADER_TIMING_STATS");
    if (!statistics.empty()) WriteStatistics(statistics);
    return result;
}

// The inner encoder's dialog lives in its own module, whatever the caller names.
int ShimConfig(WindowHandle parent, ModuleHandle) { return g_inner->config(parent, g_inner_module); }
int ShimConfigGet(void* data, int size) { return g_inner->config_get(data, size); }
int ShimConfigSet(void* data, int size) { return g_inner->config_set(data, size); }

// The inner encoder stays loaded for the life of the process: the strings of
// its table, which the caller may keep, are its own.
bool LoadInner() {
    const std::string path = Environment("OFFLOADER_TIMED_ENCODER");
    if (path.empty()) return false;
    g_inner_module = LoadLibraryA(path.c_str());
    if (g_inner_module == nullptr) return false;
    auto get_table = reinterpret_cast<GetOutputPluginTableFunction>(
        reinterpret_cast<void*>(GetProcAddress(g_inner_module, "GetOutputPluginTable")));
    g_inner = get_table != nullptr ? get_table() : nullptr;
    if (g_inner == nullptr) return false;
    // The same functions present as the inner encoder's, so that the caller
    // sees the encoder it would see without the shim.
    g_table = *g_inner;
    if (g_inner->init != nullptr) g_table.init = ShimInit;
    if (g_inner->exit != nullptr) g_table.exit = ShimExit;
    if (g_inner->output != nullptr) g_table.output = ShimOutput;
    if (g_inner->config != nullptr) g_table.config = ShimConfig;
    if (g_inner->config_get != nullptr) g_table.config_get = ShimConfigGet;
    if (g_inner->config_set != nullptr) g_table.config_set = ShimConfigSet;
    return true;
}

}  // namespace

extern "C" OutputPluginTable* GetOutputPluginTable() {
    static const bool loaded = LoadInner();
    return loaded ? &g_table : nullptr;
}
