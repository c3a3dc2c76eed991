// How a test sub-plugin tells the test program what it was called with. The
// record lives in the test program (which exports OffloaderTestRecord), so
// it survives the sub-plugin's unloading; a sub-plugin loaded by any other
// program finds no such export and records nothing.
#pragma once

#include <cstdint>

struct SubPluginCall {
    const char* module;    // the sub-plugin's own file name, without a folder
    const char* function;  // "load", "init", "exit", "output", "config", "config_get", "config_set", ...
    int argument;          // the size argument, where the function has one
    int result;            // what the function returned
    const void* bytes;     // data handed in (config_set) or written (config_get)
    int byte_count;
    const char* directory;  // current directory at the time of the call
    uint32_t thread_id;
    int thread_priority;
    int32_t detail;  // function-specific: e.g. OleInitialize's result inside output
};

using OffloaderTestRecordFunction = void (*)(const SubPluginCall* call);
#define OFFLOADER_TEST_RECORD_EXPORT "OffloaderTestRecord"
