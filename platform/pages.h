// Committed read-write pages straight from the operating system, for the
// video slot region: page-aligned, zero-filled, given back whole.
#pragma once

#include <cstddef>

namespace platform {

// Null on failure, and for a size of 0.
void* AllocatePages(size_t bytes);

// Takes the size the region was allocated with.
void ReleasePages(void* region, size_t bytes);

}  // namespace platform
