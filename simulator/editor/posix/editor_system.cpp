#include "simulator/editor/editor_system.h"

#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <mutex>

namespace editor_sim {

uint64_t CurrentThreadKey() { return static_cast<uint64_t>(pthread_self()); }

CallLock::CallLock() : state_(new std::mutex) {}
CallLock::~CallLock() { delete static_cast<std::mutex*>(state_); }
void CallLock::Enter() { static_cast<std::mutex*>(state_)->lock(); }
void CallLock::Leave() { static_cast<std::mutex*>(state_)->unlock(); }

size_t PageBytes() { return static_cast<size_t>(sysconf(_SC_PAGESIZE)); }

void* ReserveGuardedRegion(size_t usable) {
    void* region = mmap(nullptr, usable + PageBytes(), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (region == MAP_FAILED) return nullptr;
    if (mprotect(static_cast<uint8_t*>(region) + usable, PageBytes(), PROT_NONE) != 0) {
        munmap(region, usable + PageBytes());
        return nullptr;
    }
    return region;
}

void ReleaseGuardedRegion(void* region, size_t usable) { munmap(region, usable + PageBytes()); }

}  // namespace editor_sim
