// Fakes of the platform for the native tests and the fuzzers: what a test
// arranges or observes in place of what Windows would do. They replace the
// POSIX port's messages, worker libraries, thread priorities, page regions
// and executable path (platform/CMakeLists.txt says how); the benchmark and
// every other program run on the port itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fakes {

// Replaces the executable path that GetHostExecutablePath reports; an empty
// path restores the real one.
void SetHostExecutablePath(const std::string& path);

// Makes AllocatePages fail for regions above this many bytes (0: no limit),
// as a 32-bit process would for lack of address space.
void SetPageAllocationLimit(size_t bytes);
size_t LivePageRegions();

struct RecordedMessageBox {
    std::string text;
    std::string caption;
    unsigned style;
    uint32_t thread_id;
};
// Message boxes shown since the last call, oldest first. Each is "closed" as
// soon as it is shown.
std::vector<RecordedMessageBox> TakeMessageBoxes();

// Thread priorities are a number per thread, as on Windows, that any value
// may be given to: a new thread's is 0.
void SetCurrentThreadPriority(int priority);

struct WorkerLibraryCalls {
    int starts;
    int stops;
    uint32_t last_start_thread;
};
WorkerLibraryCalls TakeWorkerLibraryCalls();

struct MessageQueueCalls {
    int queues_created;
    uint32_t last_queue_thread;
    int pumps;
    uint32_t last_pump_thread;
};
MessageQueueCalls TakeMessageQueueCalls();

}  // namespace fakes
