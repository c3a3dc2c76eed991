#include "platform/pages.h"

#include <sys/mman.h>

namespace platform {

void* AllocatePages(size_t bytes) {
    if (bytes == 0) return nullptr;
    // Anonymous pages arrive zero-filled.
    void* region = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    return region == MAP_FAILED ? nullptr : region;
}

void ReleasePages(void* region, size_t bytes) {
    if (region != nullptr) munmap(region, bytes);
}

}  // namespace platform
