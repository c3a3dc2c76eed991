// A sub-plugin of the test suites. One source, built into several modules
// whose behaviour is chosen by compile-time switches.
#include <cstdio>
#include <cstring>

#include "plugin/output_plugin.h"
#include "tests/subplugins/call_record.h"

#if defined(_WIN32)
#include <windows.h>
#define TEST_EXPORT extern "C" __declspec(dllexport)
#else
#include <dlfcn.h>
#include <pthread.h>
#include <unistd.h>
#define TEST_EXPORT extern "C" __attribute__((visibility("default")))
#endif

#ifndef SUBPLUGIN_NAME
#define SUBPLUGIN_NAME "Test Encoder"
#endif

namespace {

char g_module_name[260];

void FindOwnName() {
    char path[1024] = {};
#if defined(_WIN32)
    HMODULE self = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCSTR>(&FindOwnName), &self);
    GetModuleFileNameA(self, path, sizeof path);
#else
    Dl_info info;
    if (dladdr(reinterpret_cast<void*>(&FindOwnName), &info) != 0 && info.dli_fname) {
        std::strncpy(path, info.dli_fname, sizeof path - 1);
    }
#endif
    const char* base = path;
    for (const char* p = path; *p; ++p) {
        if (*p == '\\' || *p == '/') base = p + 1;
    }
    std::snprintf(g_module_name, sizeof g_module_name, "%s", base);
}

void Record(const char* function, int argument, int result, const void* bytes = nullptr, int byte_count = 0,
            int32_t detail = 0) {
    OffloaderTestRecordFunction record = nullptr;
    char directory[1024] = {};
#if defined(_WIN32)
    record = reinterpret_cast<OffloaderTestRecordFunction>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA(nullptr), OFFLOADER_TEST_RECORD_EXPORT)));
    GetCurrentDirectoryA(sizeof directory, directory);
    uint32_t thread_id = GetCurrentThreadId();
    int priority = GetThreadPriority(GetCurrentThread());
#else
    record = reinterpret_cast<OffloaderTestRecordFunction>(dlsym(RTLD_DEFAULT, OFFLOADER_TEST_RECORD_EXPORT));
    if (getcwd(directory, sizeof directory) == nullptr) directory[0] = '\0';
    uint32_t thread_id = static_cast<uint32_t>(gettid());
    int priority = 0;
#endif
    if (record == nullptr) return;
    if (g_module_name[0] == '\0') FindOwnName();
    SubPluginCall call = {g_module_name, function, argument, result, bytes, byte_count,
                          directory,     thread_id, priority, detail};
    record(&call);
}

int Init() {
    Record("init", 0, 1);
    return 1;
}

int Exit() {
    Record("exit", 0, 1);
    return 1;
}

int Output(OutputInfo*) {
    Record("output", 0, 1);
    return 1;
}

OutputPluginTable g_table = {
    0, SUBPLUGIN_NAME, "All files\0*.*\0", SUBPLUGIN_NAME " information", Init, Exit, Output,
    nullptr, nullptr, nullptr, {},
};

}  // namespace

TEST_EXPORT OutputPluginTable* GetOutputPluginTable() {
    Record("GetOutputPluginTable", 0, 0);
    return &g_table;
}
