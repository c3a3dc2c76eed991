#include "platform/pages.h"

#include <windows.h>

namespace platform {

void* AllocatePages(size_t bytes) {
    if (bytes == 0) return nullptr;
    return VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void ReleasePages(void* region, size_t) {
    if (region != nullptr) VirtualFree(region, 0, MEM_RELEASE);
}

}  // namespace platform
