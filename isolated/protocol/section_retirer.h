// A section's last close frees its pages, tens of milliseconds for a large
// one; the owner of a retirer has that done on a thread of its own.
#pragma once

#include "platform/shared_memory.h"
#include "platform/thread.h"

// Closes sections on a thread of its own, one at a time: each Retire()
// waits for the one before. Finish() waits for the last; the owner calls it
// before it goes (not under the loader's lock: the thread's end takes it).
class SectionRetirer {
public:
    SectionRetirer() = default;
    ~SectionRetirer() { Finish(); }
    SectionRetirer(const SectionRetirer&) = delete;
    SectionRetirer& operator=(const SectionRetirer&) = delete;

    // Leaves `section` empty; closes it at once when no thread can start.
    void Retire(platform::SharedMemory& section);
    void Finish();

private:
    static unsigned THREAD_ENTRY_CALL CloseRetired(void* retirer);

    platform::Thread thread_;
    platform::SharedMemory retired_;
};
