// The frames and flags that the test editors produce, as functions of the
// frame number and the format code, so that a sub-plugin can check every
// byte and every flag it receives. Neighbouring frames, the formats of one
// frame and a zero-filled slot all differ in nearly every byte.
#pragma once

#include <cstddef>
#include <cstdint>

#include "plugin/output_plugin.h"

namespace frame_pattern {

inline uint32_t SeedOf(int32_t frame, uint32_t format) {
    uint32_t x = static_cast<uint32_t>(frame) * 2654435761u ^ (format * 40503u + 0x9E3779B9u);
    x ^= x >> 16;
    x *= 0x85EBCA6Bu;
    return x ^ (x >> 13);
}

inline uint8_t ByteOf(uint32_t seed, size_t index) {
    uint32_t x = seed + static_cast<uint32_t>(index) * 0xC2B2AE35u;
    x ^= x >> 15;
    x *= 0x27D4EB2Fu;
    return static_cast<uint8_t>(x >> 24);
}

inline uint8_t ByteOf(int32_t frame, uint32_t format, size_t index) { return ByteOf(SeedOf(frame, format), index); }

inline void Fill(uint8_t* bytes, size_t count, int32_t frame, uint32_t format) {
    const uint32_t seed = SeedOf(frame, format);
    for (size_t i = 0; i < count; ++i) bytes[i] = ByteOf(seed, i);
}

// How many of `count` bytes differ from the frame's own.
inline long WrongBytes(const uint8_t* bytes, size_t count, int32_t frame, uint32_t format) {
    const uint32_t seed = SeedOf(frame, format);
    long wrong = 0;
    for (size_t i = 0; i < count; ++i) wrong += bytes[i] != ByteOf(seed, i);
    return wrong;
}

// A slot that the relay answers with once the export is aborted and the
// editor is no longer asked: zeros, never another frame's bytes.
inline bool AllZero(const uint8_t* bytes, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        if (bytes[i] != 0) return false;
    }
    return true;
}

inline int32_t FlagOf(int32_t frame) {
    return static_cast<int32_t>(static_cast<uint32_t>(frame) * 0x9E3779B1u ^ 0x5BD1E995u);
}

// One 16-bit audio sample per position, so that a stretch of audio shows
// where it starts.
inline int16_t AudioSampleOf(int32_t position) {
    return static_cast<int16_t>(static_cast<uint32_t>(position) * 40503u >> 7);
}

// Bytes of one frame in `format` for an editor's record; 0 for a code the
// relay refuses.
inline size_t FrameBytes(const OutputInfo& info, uint32_t format) {
    const size_t pixels = static_cast<size_t>(info.width) * static_cast<size_t>(info.height);
    switch (format) {
        case kFormatDefault: return static_cast<size_t>(info.frame_bytes);
        case kFormatYUY2:
        case kFormatYUY2Reversed: return pixels * 2;
        case kFormatYC48:
        case kFormatYC48Reversed: return pixels * 6;
        default: return 0;
    }
}

}  // namespace frame_pattern
