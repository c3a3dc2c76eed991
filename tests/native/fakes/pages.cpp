#include "platform/pages.h"

#include <sys/mman.h>

#include <atomic>

#include "tests/native/fakes/fakes.h"

namespace {
std::atomic<size_t> g_limit{0};
std::atomic<size_t> g_live{0};
}  // namespace

void* platform::AllocatePages(size_t bytes) {
    if (bytes == 0) return nullptr;
    const size_t limit = g_limit.load(std::memory_order_relaxed);
    if (limit != 0 && bytes > limit) return nullptr;
    void* region = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (region == MAP_FAILED) return nullptr;
    g_live.fetch_add(1, std::memory_order_relaxed);
    return region;
}

void platform::ReleasePages(void* region, size_t bytes) {
    if (region == nullptr) return;
    munmap(region, bytes);
    g_live.fetch_sub(1, std::memory_order_relaxed);
}

void fakes::SetPageAllocationLimit(size_t bytes) { g_limit.store(bytes, std::memory_order_relaxed); }
size_t fakes::LivePageRegions() { return g_live.load(std::memory_order_relaxed); }
