#include "tests/common/call_log.h"

#include <cstdio>
#include <cstring>

#include "platform/lock.h"
#include "tests/subplugins/call_record.h"

#if defined(_WIN32)
#define TEST_PROGRAM_EXPORT extern "C" __declspec(dllexport)
#else
#define TEST_PROGRAM_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {
#if defined(_WIN32)
// What the helper's sub-plugins appended to the record file since the last
// look (call_record.h), in the order they wrote it.
size_t g_file_read = 0;

bool TakeNumber(const std::string& data, size_t* at, size_t end, uint32_t* value) {
    if (end - *at < 4) return false;
    std::memcpy(value, data.data() + *at, 4);
    *at += 4;
    return true;
}

bool TakeText(const std::string& data, size_t* at, size_t end, std::string* text) {
    uint32_t length = 0;
    if (!TakeNumber(data, at, end, &length) || end - *at < length) return false;
    text->assign(data, *at, length);
    *at += length;
    return true;
}

void ReadRecordFile(std::vector<RecordedCall>& calls) {
    char path[MAX_PATH];
    const DWORD length = GetEnvironmentVariableA(OFFLOADER_TEST_RECORD_FILE_VARIABLE, path, sizeof path);
    if (length == 0 || length >= sizeof path) return;
    FILE* file = std::fopen(path, "rb");
    if (file == nullptr) return;
    std::string data;
    char chunk[4096];
    for (size_t got; (got = std::fread(chunk, 1, sizeof chunk, file)) > 0;) data.append(chunk, got);
    std::fclose(file);
    size_t at = g_file_read;
    while (at < data.size()) {
        uint32_t bytes = 0;
        size_t body = at;
        if (!TakeNumber(data, &body, data.size(), &bytes) || data.size() - body < bytes) break;  // not whole yet
        const size_t end = body + bytes;
        RecordedCall call;
        uint32_t argument = 0, result = 0, thread = 0, priority = 0, detail = 0;
        if (TakeText(data, &body, end, &call.module) && TakeText(data, &body, end, &call.function) &&
            TakeNumber(data, &body, end, &argument) && TakeNumber(data, &body, end, &result) &&
            TakeText(data, &body, end, &call.bytes) && TakeText(data, &body, end, &call.directory) &&
            TakeNumber(data, &body, end, &thread) && TakeNumber(data, &body, end, &priority) &&
            TakeNumber(data, &body, end, &detail)) {
            call.argument = static_cast<int>(argument);
            call.result = static_cast<int>(result);
            call.thread_id = thread;
            call.thread_priority = static_cast<int>(priority);
            call.detail = static_cast<int32_t>(detail);
            calls.push_back(std::move(call));
        }
        at = end;
    }
    g_file_read = at;
}
#endif

platform::Lock& CallLock() {
    static platform::Lock lock;
    static bool ready = lock.SetUp();
    (void)ready;
    return lock;
}
std::vector<RecordedCall>& Calls() {
    static std::vector<RecordedCall> calls;
    return calls;
}
}  // namespace

TEST_PROGRAM_EXPORT void OffloaderTestRecord(const SubPluginCall* call) {
    RecordedCall recorded;
    recorded.module = call->module ? call->module : "";
    recorded.function = call->function ? call->function : "";
    recorded.argument = call->argument;
    recorded.result = call->result;
    if (call->bytes && call->byte_count > 0) {
        recorded.bytes.assign(static_cast<const char*>(call->bytes), static_cast<size_t>(call->byte_count));
    }
    recorded.directory = call->directory ? call->directory : "";
    recorded.thread_id = call->thread_id;
    recorded.thread_priority = call->thread_priority;
    recorded.detail = call->detail;
    platform::LockGuard guard(CallLock());
    Calls().push_back(std::move(recorded));
}

std::vector<RecordedCall> TakeCalls() {
    platform::LockGuard guard(CallLock());
#if defined(_WIN32)
    ReadRecordFile(Calls());
#endif
    std::vector<RecordedCall> taken;
    taken.swap(Calls());
    return taken;
}

std::vector<RecordedCall> PeekCalls() {
    platform::LockGuard guard(CallLock());
#if defined(_WIN32)
    ReadRecordFile(Calls());
#endif
    return Calls();
}

std::vector<RecordedCall> CallsTo(const std::vector<RecordedCall>& calls, const std::string& module,
                                  const std::string& function) {
    std::vector<RecordedCall> matching;
    for (const RecordedCall& call : calls) {
        if ((module.empty() || call.module == module) && call.function == function) matching.push_back(call);
    }
    return matching;
}
