// A sub-plugin of the test suites. One source, built into several modules
// whose behaviour is chosen by compile-time switches (one module per line of
// CMakeLists.txt):
//
// Table and life cycle
//   SUBPLUGIN_NAME="..."      display name (default "Test Encoder")
//   SUBPLUGIN_NULL_NAME       the table has no name
//   SUBPLUGIN_NULL_TABLE      GetOutputPluginTable returns null
//   SUBPLUGIN_NO_EXPORT       no GetOutputPluginTable at all
//   SUBPLUGIN_INIT_FAILS      init returns 0
//   SUBPLUGIN_NULL_INIT       the table has no init
// Output
//   SUBPLUGIN_NO_OUTPUT       the table has no output
//   SUBPLUGIN_OUTPUT=name     output is `int name(OutputInfo*)` from another source of the module
// Configuration and settings
//   SUBPLUGIN_WITH_CONFIG     config, which changes the settings as the user would in its dialog
//   SUBPLUGIN_WITH_SETTINGS   config_get and config_set over settings derived from the module's file name
//   SUBPLUGIN_SET_ONLY        config_set without config_get
//   SUBPLUGIN_NEGATIVE_SIZE   (with settings) config_get answers a negative size, and fills nothing
//   SUBPLUGIN_OVERSIZED_FILL  (with settings) config_get's fill writes and reports more than it announced
//
// Every call, and the module's start-up ("load"), is recorded with the
// current directory, so tests see where and in which order the relay drives
// the module.
#include "tests/subplugins/test_subplugin.h"

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

#if defined(SUBPLUGIN_NEGATIVE_SIZE) || defined(SUBPLUGIN_OVERSIZED_FILL)
#ifndef SUBPLUGIN_WITH_SETTINGS
#error "the settings variants need SUBPLUGIN_WITH_SETTINGS"
#endif
#endif

namespace test_subplugin {

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
}  // namespace

const char* ModuleName() {
    if (g_module_name[0] == '\0') FindOwnName();
    return g_module_name;
}

void Record(const char* function, int argument, int result, const void* bytes, int byte_count, int32_t detail) {
    char directory[1024] = {};
#if defined(_WIN32)
    GetCurrentDirectoryA(sizeof directory, directory);
    uint32_t thread_id = GetCurrentThreadId();
    int priority = GetThreadPriority(GetCurrentThread());
#else
    auto record = reinterpret_cast<OffloaderTestRecordFunction>(dlsym(RTLD_DEFAULT, OFFLOADER_TEST_RECORD_EXPORT));
    if (record == nullptr) return;
    if (getcwd(directory, sizeof directory) == nullptr) directory[0] = '\0';
    uint32_t thread_id = static_cast<uint32_t>(gettid());
    int priority = 0;
#endif
    SubPluginCall call = {ModuleName(), function,  argument,  result,   bytes,
                          byte_count,   directory, thread_id, priority, detail};
#if defined(_WIN32)
    DeliverCall(call);
#else
    record(&call);
#endif
}

}  // namespace test_subplugin

using test_subplugin::Record;

#if defined(SUBPLUGIN_OUTPUT) && !defined(SUBPLUGIN_NO_OUTPUT)
int SUBPLUGIN_OUTPUT(OutputInfo* info);
#endif

namespace {

// The module's start-up code: it runs inside the loader, before the relay
// sees the module's table.
struct StartUpRecorder {
    StartUpRecorder() { Record("load", 0, 0); }
} g_start_up_recorder;

// --- Life cycle -----------------------------------------------------------

#if !defined(SUBPLUGIN_NULL_INIT)
int Init() {
#if defined(SUBPLUGIN_INIT_FAILS)
    Record("init", 0, 0);
    return 0;
#else
    Record("init", 0, 1);
    return 1;
#endif
}
#define SUBPLUGIN_INIT_FUNCTION Init
#else
#define SUBPLUGIN_INIT_FUNCTION nullptr
#endif

int Exit() {
    Record("exit", 0, 1);
    return 1;
}

// --- Output ---------------------------------------------------------------

#if defined(SUBPLUGIN_NO_OUTPUT)
#define SUBPLUGIN_OUTPUT_FUNCTION nullptr
#elif defined(SUBPLUGIN_OUTPUT)
#define SUBPLUGIN_OUTPUT_FUNCTION ::SUBPLUGIN_OUTPUT
#else
int Output(OutputInfo*) {
    Record("output", 0, 1);
    return 1;
}
#define SUBPLUGIN_OUTPUT_FUNCTION Output
#endif

// --- Settings -------------------------------------------------------------

#if defined(SUBPLUGIN_WITH_SETTINGS) || defined(SUBPLUGIN_SET_ONLY) || defined(SUBPLUGIN_WITH_CONFIG)
// The settings start as "settings of <file name>", a NUL, a change counter
// and a binary tail seeded by the name, so that every module's bytes (and
// their length) are its own. config_set replaces them wholesale.
constexpr int kSettingsCapacity = 4096;
unsigned char g_settings[kSettingsCapacity];
int g_settings_length = -1;  // not yet derived
int g_change_counter_at = 0;

void DeriveSettings() {
    if (g_settings_length >= 0) return;
    const char* name = test_subplugin::ModuleName();
    int length = std::snprintf(reinterpret_cast<char*>(g_settings), 512, "settings of %s", name);
    g_settings[length++] = '\0';
    g_change_counter_at = length;
    g_settings[length++] = 0;
    unsigned seed = 2166136261u;
    for (const char* p = name; *p; ++p) seed = (seed ^ static_cast<unsigned char>(*p)) * 16777619u;
    for (int i = 0; i < 48; ++i) g_settings[length++] = static_cast<unsigned char>((seed >> (i % 4 * 8)) ^ (i * 37));
    g_settings_length = length;
}
#endif

#if defined(SUBPLUGIN_WITH_CONFIG)
int Config(WindowHandle, ModuleHandle) {
    DeriveSettings();
    if (g_settings_length > g_change_counter_at) ++g_settings[g_change_counter_at];
    Record("config", 0, 1, g_settings, g_settings_length);
    return 1;
}
#define SUBPLUGIN_CONFIG_FUNCTION Config
#else
#define SUBPLUGIN_CONFIG_FUNCTION nullptr
#endif

#if defined(SUBPLUGIN_WITH_SETTINGS)
#if defined(SUBPLUGIN_NEGATIVE_SIZE)
constexpr int kNegativeSize = -2000;
#endif
#if defined(SUBPLUGIN_OVERSIZED_FILL)
// Past what it was offered, but within the slack a size query leaves.
constexpr int kOversize = 100;
#endif

// detail: 0 for the size query (no data), 1 for a fill.
int ConfigGet(void* data, int size) {
    DeriveSettings();
#if defined(SUBPLUGIN_NEGATIVE_SIZE)
    Record("config_get", size, kNegativeSize, nullptr, 0, data != nullptr);
    return kNegativeSize;
#else
    if (data == nullptr) {
        Record("config_get", size, g_settings_length, nullptr, 0, 0);
        return g_settings_length;
    }
#if defined(SUBPLUGIN_OVERSIZED_FILL)
    int written = g_settings_length + kOversize;
    std::memcpy(data, g_settings, static_cast<size_t>(g_settings_length));
    std::memset(static_cast<unsigned char*>(data) + g_settings_length, 0xEE, kOversize);
#else
    int written = size < g_settings_length ? (size < 0 ? 0 : size) : g_settings_length;
    std::memcpy(data, g_settings, static_cast<size_t>(written));
#endif
    Record("config_get", size, written, data, written, 1);
    return written;
#endif
}
#define SUBPLUGIN_CONFIG_GET_FUNCTION ConfigGet
#else
#define SUBPLUGIN_CONFIG_GET_FUNCTION nullptr
#endif

#if defined(SUBPLUGIN_WITH_SETTINGS) || defined(SUBPLUGIN_SET_ONLY)
int ConfigSet(void* data, int size) {
    DeriveSettings();
    int taken = size < 0 || data == nullptr ? 0 : (size > kSettingsCapacity ? kSettingsCapacity : size);
    // Recorded before it is taken over, so that a block that overlaps the
    // settings is still seen as it was handed in.
    Record("config_set", size, taken, data, taken);
    if (taken > 0) std::memmove(g_settings, data, static_cast<size_t>(taken));
    g_settings_length = taken;
    return taken;
}
#define SUBPLUGIN_CONFIG_SET_FUNCTION ConfigSet
#else
#define SUBPLUGIN_CONFIG_SET_FUNCTION nullptr
#endif

// --- Table ----------------------------------------------------------------

#if defined(SUBPLUGIN_NULL_NAME)
#define SUBPLUGIN_TABLE_NAME nullptr
#define SUBPLUGIN_INFORMATION "A test sub-plugin without a name"
#else
#define SUBPLUGIN_TABLE_NAME SUBPLUGIN_NAME
#define SUBPLUGIN_INFORMATION SUBPLUGIN_NAME " information"
#endif

[[maybe_unused]] OutputPluginTable g_table = {
    0,
    SUBPLUGIN_TABLE_NAME,
    "All files\0*.*\0",
    SUBPLUGIN_INFORMATION,
    SUBPLUGIN_INIT_FUNCTION,
    Exit,
    SUBPLUGIN_OUTPUT_FUNCTION,
    SUBPLUGIN_CONFIG_FUNCTION,
    SUBPLUGIN_CONFIG_GET_FUNCTION,
    SUBPLUGIN_CONFIG_SET_FUNCTION,
    {},
};

}  // namespace

#if !defined(SUBPLUGIN_NO_EXPORT)
TEST_EXPORT OutputPluginTable* GetOutputPluginTable() {
    Record("GetOutputPluginTable", 0, 0);
#if defined(SUBPLUGIN_NULL_TABLE)
    return nullptr;
#else
    return &g_table;
#endif
}
#endif
