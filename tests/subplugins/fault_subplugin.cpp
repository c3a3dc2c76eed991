// A sub-plugin that misbehaves where the relay drives it outside an export
// (Windows only). Compile-time switches choose what happens before the test
// can give orders:
//   FAULT_START_UP_FAILS   the module's start-up (DllMain) refuses to load
//   FAULT_INIT_RESULT=n    init returns n (default 1)
//   FAULT_EXIT_RESULT=n    exit returns n (default 1)
//   FAULT_OUTPUT_STUCK     output reads frame 0 and then waits for ever, as a
//                          hung encoder does
//   FAULT_CRASHES_WHEN_IDLE config_set starts a thread of its own that waits
//                          for the test's auto-reset event kCrashNowEvent and
//                          then writes through a null pointer, while no call
//                          is in flight
//   FAULT_INIT_STUCK, FAULT_CONFIG_GET_STUCK
//                          that function waits for ever once it has recorded
//                          its call
//   FAULT_INIT_CRASHES, FAULT_CONFIG_CRASHES, FAULT_CONFIG_GET_CRASHES,
//   FAULT_OUTPUT_CRASHES   that function writes through a null pointer once
//                          it has recorded its call (the table has a config
//                          only for the second; output reads five frames
//                          first)
//   FAULT_OUTPUT_NEEDS_MB=n output takes n MB of address space in 64 MB
//                          pieces, as an encoder's buffers come, and returns
//                          1 when it got them all, 0 (and what it got, in MB,
//                          as the recorded argument) when not
// Its settings answers are ordered at run time through the exported
// FaultSetSettingsAnswers: config_get announces any size, config_set returns
// any result. Its output reads every frame and returns 1. Every call is
// recorded in the test program's call record (call_record.h).
#include <windows.h>

#include <cstring>

#include "plugin/output_plugin.h"
#include "tests/subplugins/call_record.h"
#include "tests/subplugins/fault_orders.h"

#ifndef FAULT_INIT_RESULT
#define FAULT_INIT_RESULT 1
#endif
#ifndef FAULT_EXIT_RESULT
#define FAULT_EXIT_RESULT 1
#endif

namespace {

char g_module_name[MAX_PATH];

// An access violation, whatever the optimiser knows about null pointers.
[[maybe_unused]] void Crash() {
    volatile int* volatile nowhere = nullptr;
    *nowhere = 1;
}

// An event that nobody will ever signal: no service call, no progress.
[[maybe_unused]] void Hang() { WaitForSingleObject(CreateEventA(nullptr, TRUE, FALSE, nullptr), INFINITE); }

void Record(const char* function, int argument, int result) {
    char directory[MAX_PATH] = {};
    GetCurrentDirectoryA(sizeof directory, directory);
    SubPluginCall call = {g_module_name,
                          function,
                          argument,
                          result,
                          nullptr,
                          0,
                          directory,
                          GetCurrentThreadId(),
                          GetThreadPriority(GetCurrentThread()),
                          0};
    DeliverCall(call);
}

// The bytes it keeps as its settings, and what it is ordered to answer.
unsigned char g_settings[16] = "fault settings";
int g_announced = static_cast<int>(sizeof g_settings);
int g_set_result = static_cast<int>(sizeof g_settings);

int Init() {
    Record("init", 0, FAULT_INIT_RESULT);
#if defined(FAULT_INIT_CRASHES)
    Crash();
#endif
#if defined(FAULT_INIT_STUCK)
    Hang();
#endif
    return FAULT_INIT_RESULT;
}

int Exit() {
    Record("exit", 0, FAULT_EXIT_RESULT);
    return FAULT_EXIT_RESULT;
}

#if defined(FAULT_OUTPUT_NEEDS_MB)
int TakeMemory() {
    constexpr SIZE_T kPiece = 64u << 20;
    void* pieces[FAULT_OUTPUT_NEEDS_MB / 64 + 1] = {};
    int taken = 0;
    for (void*& piece : pieces) {
        if (taken >= FAULT_OUTPUT_NEEDS_MB) break;
        piece = VirtualAlloc(nullptr, kPiece, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
        if (piece == nullptr) break;
        static_cast<volatile char*>(piece)[0] = 1;
        taken += 64;
    }
    for (void* piece : pieces) {
        if (piece != nullptr) VirtualFree(piece, 0, MEM_RELEASE);
    }
    return taken;
}
#endif

int Output(OutputInfo* info) {
#if defined(FAULT_OUTPUT_NEEDS_MB)
    info->get_video_ex(0, kFormatDefault);
    const int taken = TakeMemory();
    const int result = taken >= FAULT_OUTPUT_NEEDS_MB ? 1 : 0;
    Record("output", taken, result);
    return result;
#endif
#if defined(FAULT_OUTPUT_CRASHES)
    for (int f = 0; f < 5 && f < info->frame_count; ++f) info->get_video_ex(f, kFormatDefault);
    Record("output", info->frame_count, 0);
    Crash();
#endif
#if defined(FAULT_OUTPUT_STUCK)
    info->get_video_ex(0, kFormatDefault);
    Record("output", info->frame_count, 0);
    Hang();
#endif
    for (int f = 0; f < info->frame_count && !info->is_abort(); ++f) info->get_video_ex(f, kFormatDefault);
    Record("output", info->frame_count, 1);
    return 1;
}

// Announces whatever it was ordered to; a fill writes what it has, within
// what it is offered.
#if defined(FAULT_CONFIG_CRASHES)
int Config(WindowHandle, ModuleHandle) {
    Record("config", 0, 0);
    Crash();
    return 0;
}
#define FAULT_CONFIG Config
#else
#define FAULT_CONFIG nullptr
#endif

int ConfigGet(void* data, int size) {
#if defined(FAULT_CONFIG_GET_CRASHES)
    Record("config_get", size, 0);
    Crash();
#endif
#if defined(FAULT_CONFIG_GET_STUCK)
    Record("config_get", size, 0);
    Hang();
#endif
    if (data == nullptr) {
        Record("config_get", size, g_announced);
        return g_announced;
    }
    const int capacity = static_cast<int>(sizeof g_settings);
    const int written = size < 0 ? 0 : (size < capacity ? size : capacity);
    std::memcpy(data, g_settings, static_cast<size_t>(written));
    Record("config_get", size, written);
    return written;
}

#if defined(FAULT_CRASHES_WHEN_IDLE)
DWORD WINAPI CrashWhenTold(void*) {
    WaitForSingleObject(CreateEventA(nullptr, FALSE, FALSE, kCrashNowEvent), INFINITE);
    Crash();
    return 0;
}
#endif

int ConfigSet(void* data, int size) {
#if defined(FAULT_CRASHES_WHEN_IDLE)
    CloseHandle(CreateThread(nullptr, 0, CrashWhenTold, nullptr, 0, nullptr));
#endif
    if (data != nullptr && size > 0) {
        const size_t offered = static_cast<size_t>(size);
        const size_t taken = offered < sizeof g_settings ? offered : sizeof g_settings;
        std::memcpy(g_settings, data, taken);
    }
    Record("config_set", size, g_set_result);
    return g_set_result;
}

// clang-format off
OutputPluginTable g_table = {
    0, "Fault Encoder", "All files\0*.*\0", "Fault Encoder information", Init, Exit, Output, FAULT_CONFIG,
    ConfigGet, ConfigSet, {},
};
// clang-format on

}  // namespace

extern "C" __declspec(dllexport) OutputPluginTable* GetOutputPluginTable() {
    Record("GetOutputPluginTable", 0, 0);
    return &g_table;
}

extern "C" __declspec(dllexport) void FaultSetSettingsAnswers(int announced, int set_result) {
    g_announced = announced;
    g_set_result = set_result;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, void*) {
    if (reason != DLL_PROCESS_ATTACH) return TRUE;
    char path[MAX_PATH] = {};
    GetModuleFileNameA(module, path, sizeof path);
    const char* base = std::strrchr(path, '\\');
    lstrcpynA(g_module_name, base != nullptr ? base + 1 : path, sizeof g_module_name);
#if defined(FAULT_START_UP_FAILS)
    Record("load", 0, FALSE);
    return FALSE;
#else
    Record("load", 0, TRUE);
    return TRUE;
#endif
}
