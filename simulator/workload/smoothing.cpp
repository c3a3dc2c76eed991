#include "simulator/workload/smoothing.h"

#include <cstring>

namespace smoothing {

uint32_t SmoothingPasses(uint8_t* pixels, int64_t row_bytes, int32_t width, int32_t height, int32_t passes,
                         uint8_t* row_buffer) {
    const int32_t bytes = width * 3;
    // x * 21846 >> 16 divides a sum of three bytes by 3 without a division.
    for (int32_t pass = 0; pass < passes; ++pass) {
        for (int32_t y = 0; y < height; ++y) {
            uint8_t* row = pixels + y * row_bytes;
            std::memcpy(row_buffer, row, static_cast<size_t>(bytes));
            for (int32_t i = 3; i < bytes - 3; ++i) {
                row[i] = static_cast<uint8_t>((row_buffer[i - 3] + row_buffer[i] + row_buffer[i + 3]) * 21846 >> 16);
            }
        }
        if (height < 3) continue;
        // The row above, as it was before this vertical sweep changed it.
        std::memcpy(row_buffer, pixels, static_cast<size_t>(bytes));
        for (int32_t y = 1; y < height - 1; ++y) {
            uint8_t* row = pixels + y * row_bytes;
            const uint8_t* below = row + row_bytes;
            for (int32_t i = 0; i < bytes; ++i) {
                uint8_t original = row[i];
                row[i] = static_cast<uint8_t>((row_buffer[i] + original + below[i]) * 21846 >> 16);
                row_buffer[i] = original;
            }
        }
    }
    uint32_t sum = 0;
    for (int32_t y = 0; y < height; ++y) {
        const uint8_t* row = pixels + y * row_bytes;
        for (int32_t i = 0; i < bytes; ++i) sum = sum * 31 + row[i];
    }
    return sum;
}

}  // namespace smoothing
