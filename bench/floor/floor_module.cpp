// The floor as the editor sees it under Wine: an output plugin (floor.auo)
// that loads the first encoder in sidecar\ beside the editor's executable,
// as the relay does, and runs it through the floor handoff. It takes the
// relay's saved settings record (the buffer count becomes the slot count;
// the nested settings go to the encoder), so that the benchmark gives both
// the same file. A benchmark tool, not a product: it shows no messages.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "bench/floor/floor_handoff.h"
#include "platform/worker_libraries.h"
#include "plugin/output_plugin.h"

namespace {

// The relay's record: magic, buffer count, nested length, file name; the
// nested settings follow the 268-byte header.
constexpr int kHeaderBytes = 268;

HMODULE g_encoder_module = nullptr;
OutputPluginTable* g_encoder = nullptr;
int32_t g_slots = 8;

int FloorInit() {
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    if (length == 0 || length >= sizeof path) return 0;
    std::string folder(path, length);
    folder = folder.substr(0, folder.find_last_of('\\')) + "\\sidecar\\";
    WIN32_FIND_DATAA found;
    HANDLE find = FindFirstFileA((folder + "*.auo_").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE) return 0;
    FindClose(find);
    g_encoder_module = LoadLibraryA((folder + found.cFileName).c_str());
    if (g_encoder_module == nullptr) return 0;
    auto get_table = reinterpret_cast<GetOutputPluginTableFunction>(
        reinterpret_cast<void*>(GetProcAddress(g_encoder_module, "GetOutputPluginTable")));
    g_encoder = get_table != nullptr ? get_table() : nullptr;
    if (g_encoder == nullptr || (g_encoder->init != nullptr && g_encoder->init() == 0)) {
        FreeLibrary(g_encoder_module);
        g_encoder_module = nullptr;
        g_encoder = nullptr;
        return 0;
    }
    return 1;
}

int FloorExit() {
    if (g_encoder != nullptr && g_encoder->exit != nullptr) g_encoder->exit();
    if (g_encoder_module != nullptr) FreeLibrary(g_encoder_module);
    g_encoder_module = nullptr;
    g_encoder = nullptr;
    return 1;
}

int FloorOutput(OutputInfo* info) {
    if (g_encoder == nullptr) return 0;
    floor_handoff::Counters counters;
    floor_handoff::WorkerHooks hooks;
    hooks.start = platform::StartWorkerLibraries;
    hooks.stop = platform::StopWorkerLibraries;
    const int result = floor_handoff::RunExport(info, g_encoder, g_slots, hooks, &counters);
    std::printf("floor: slots=%d encoder_sleeps=%lld editor_sleeps=%lld wakes=%lld round_trips=%lld\n",
                static_cast<int>(g_slots), static_cast<long long>(counters.encoder_sleeps),
                static_cast<long long>(counters.editor_sleeps), static_cast<long long>(counters.wakes),
                static_cast<long long>(counters.round_trips));
    std::fflush(stdout);
    return result;
}

int FloorConfig(WindowHandle, ModuleHandle) { return 1; }

int FloorConfigGet(void*, int) { return 0; }

int FloorConfigSet(void* data, int size) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    if (bytes == nullptr || size < kHeaderBytes || std::memcmp(bytes, "ikm", 4) != 0) return 0;
    int32_t slots = 0;
    int32_t nested = 0;
    std::memcpy(&slots, bytes + 4, 4);
    std::memcpy(&nested, bytes + 8, 4);
    if (slots >= 1) g_slots = slots;
    if (nested > 0 && nested <= size - kHeaderBytes && g_encoder != nullptr && g_encoder->config_set != nullptr) {
        g_encoder->config_set(const_cast<uint8_t*>(bytes) + kHeaderBytes, nested);
    }
    return size;
}

// clang-format off
OutputPluginTable g_table = {
    0, "Floor (benchmark)", "All files\0*.*\0", "The benchmark's floor handoff",
    FloorInit, FloorExit, FloorOutput, FloorConfig, FloorConfigGet, FloorConfigSet, {},
};
// clang-format on

}  // namespace

extern "C" OutputPluginTable* GetOutputPluginTable() { return &g_table; }
