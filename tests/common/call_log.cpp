#include "tests/common/call_log.h"

#include "platform/lock.h"
#include "tests/subplugins/call_record.h"

#if defined(_WIN32)
#define TEST_PROGRAM_EXPORT extern "C" __declspec(dllexport)
#else
#define TEST_PROGRAM_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {
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
    std::vector<RecordedCall> taken;
    taken.swap(Calls());
    return taken;
}

std::vector<RecordedCall> PeekCalls() {
    platform::LockGuard guard(CallLock());
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
