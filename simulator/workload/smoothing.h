// The per-frame work of the simulated editor's filters and of the sample
// encoder: one function on both sides, so that equal costs make an export
// whose two sides take equally long.
#pragma once

#include <cstdint>

namespace smoothing {

// `passes` passes of a 3-tap smoothing over rows of `width` 3-byte pixels,
// in place, then a checksum of the result (which keeps the work from being
// optimised away). `row_buffer` holds one row.
uint32_t SmoothingPasses(uint8_t* pixels, int64_t row_bytes, int32_t width, int32_t height, int32_t passes,
                         uint8_t* row_buffer);

}  // namespace smoothing
