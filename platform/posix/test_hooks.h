// What the POSIX platform lets a native test arrange or observe in place of
// the real Windows behaviour. Not part of the Windows build.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace platform::test_hooks {

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
// Message boxes shown since the last call, oldest first.
std::vector<RecordedMessageBox> TakeMessageBoxes();

// Thread priorities are a number per thread here, as on Windows.
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

}  // namespace platform::test_hooks
