// What the samples' settings records are made of: little-endian 32-bit
// numbers, and strings kept in fixed arrays of code page 932 bytes. A
// record is read by the editor on any machine, so its numbers have one byte
// order whatever the processor's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace sample_record {

inline void PutU32(uint8_t* out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

inline uint32_t GetU32(const uint8_t* in) {
    return static_cast<uint32_t>(in[0]) | static_cast<uint32_t>(in[1]) << 8 | static_cast<uint32_t>(in[2]) << 16 |
           static_cast<uint32_t>(in[3]) << 24;
}

// The length of a string in an array of `capacity` bytes; an array without
// a NUL counts as full but for the last byte, which a writer keeps for one.
inline size_t TextLength(const char* text, size_t capacity) {
    const void* end = std::memchr(text, '\0', capacity);
    return end != nullptr ? static_cast<size_t>(static_cast<const char*>(end) - text) : capacity - 1;
}

}  // namespace sample_record
