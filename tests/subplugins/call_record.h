// How a test sub-plugin tells the test program what it was called with. The
// record lives in the test program (which exports OffloaderTestRecord), so
// it survives the sub-plugin's unloading; a sub-plugin loaded by any other
// program finds no such export and, on Windows, appends its calls to the
// file that the test program names in OFFLOADER_TEST_CALL_RECORD (inherited
// by the isolated module's helper, where the encoders run), or records
// nothing.
#pragma once

#include <cstdint>

#if defined(_WIN32)
#include <windows.h>

#include <string>
#endif

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
#define OFFLOADER_TEST_RECORD_FILE_VARIABLE "OFFLOADER_TEST_CALL_RECORD"

#if defined(_WIN32)
namespace call_record_file {

// One call in the file: its length (uint32, the length field excluded), then
// module, function, argument, result, bytes, directory, thread id, thread
// priority and detail; each text as its length (uint32) and its bytes, each
// number 4 bytes, little-endian. tests/common/call_log.cpp reads it back.
inline void PutNumber(std::string& out, uint32_t value) { out.append(reinterpret_cast<const char*>(&value), 4); }
inline void PutText(std::string& out, const char* text, size_t length) {
    PutNumber(out, static_cast<uint32_t>(length));
    if (length > 0) out.append(text, length);
}
inline void PutText(std::string& out, const char* text) { PutText(out, text, text != nullptr ? lstrlenA(text) : 0); }

// One WriteFile per call on a handle that appends: the calls of several
// threads land whole and in the order they were written.
inline void Append(const SubPluginCall& call) {
    char path[MAX_PATH];
    const DWORD length = GetEnvironmentVariableA(OFFLOADER_TEST_RECORD_FILE_VARIABLE, path, sizeof path);
    if (length == 0 || length >= sizeof path) return;
    std::string body;
    PutText(body, call.module);
    PutText(body, call.function);
    PutNumber(body, static_cast<uint32_t>(call.argument));
    PutNumber(body, static_cast<uint32_t>(call.result));
    PutText(body, static_cast<const char*>(call.bytes),
            call.bytes != nullptr && call.byte_count > 0 ? static_cast<size_t>(call.byte_count) : 0);
    PutText(body, call.directory);
    PutNumber(body, call.thread_id);
    PutNumber(body, static_cast<uint32_t>(call.thread_priority));
    PutNumber(body, static_cast<uint32_t>(call.detail));
    std::string record;
    PutNumber(record, static_cast<uint32_t>(body.size()));
    record += body;
    HANDLE file = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(file, record.data(), static_cast<DWORD>(record.size()), &written, nullptr);
    CloseHandle(file);
}

}  // namespace call_record_file

// Into the program's record, or the file when the program keeps none.
inline void DeliverCall(const SubPluginCall& call) {
    auto record = reinterpret_cast<OffloaderTestRecordFunction>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA(nullptr), OFFLOADER_TEST_RECORD_EXPORT)));
    if (record != nullptr) {
        record(&call);
    } else {
        call_record_file::Append(call);
    }
}
#endif
