#include "platform/worker_libraries.h"

#include <mutex>

#include "platform/posix/test_hooks.h"
#include "platform/thread.h"

namespace platform {

namespace {
std::mutex g_mutex;
test_hooks::WorkerLibraryCalls g_calls{};
}  // namespace

// There is no OLE here; the calls are counted so that the tests can see which
// thread set the libraries up.
void StartWorkerLibraries() {
    std::lock_guard<std::mutex> guard(g_mutex);
    ++g_calls.starts;
    g_calls.last_start_thread = CurrentThreadId();
}

void StopWorkerLibraries() {
    std::lock_guard<std::mutex> guard(g_mutex);
    ++g_calls.stops;
}

test_hooks::WorkerLibraryCalls test_hooks::TakeWorkerLibraryCalls() {
    std::lock_guard<std::mutex> guard(g_mutex);
    test_hooks::WorkerLibraryCalls calls = g_calls;
    g_calls = {};
    return calls;
}

}  // namespace platform
