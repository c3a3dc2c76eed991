#include "platform/worker_libraries.h"

#include <mutex>
#include <utility>

#include "platform/thread.h"
#include "tests/native/fakes/fakes.h"

namespace {
std::mutex g_mutex;
fakes::WorkerLibraryCalls g_calls{};
}  // namespace

// Counted, so that the tests see which thread set the libraries up.
void platform::StartWorkerLibraries() {
    std::lock_guard<std::mutex> guard(g_mutex);
    ++g_calls.starts;
    g_calls.last_start_thread = CurrentThreadId();
}

void platform::StopWorkerLibraries() {
    std::lock_guard<std::mutex> guard(g_mutex);
    ++g_calls.stops;
}

fakes::WorkerLibraryCalls fakes::TakeWorkerLibraryCalls() {
    std::lock_guard<std::mutex> guard(g_mutex);
    return std::exchange(g_calls, {});
}
