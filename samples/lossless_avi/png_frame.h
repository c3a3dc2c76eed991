// One editor frame as a complete PNG image (8-bit RGB, one IDAT), the
// lossless sample's codec. Portable: it needs zlib and nothing of Windows,
// so the native tests decode what it writes with the host's zlib, and the
// native benchmark times the very code the module runs.
//
// The frame is what get_video returns in the editor's default format: a
// bottom-up DIB of 24-bit BGR pixels whose rows are padded to 4 bytes. The
// PNG is top-down RGB; the conversion is done while the rows are filtered,
// so no converted copy of the frame is ever made.
#pragma once

#include <cstddef>
#include <cstdint>

struct z_stream_s;

namespace lossless_avi {

constexpr int kMinLevel = 1;
constexpr int kMaxLevel = 9;

// The largest PNG a frame of this size can become at any level (zlib's own
// bound for data that does not compress, plus the PNG's chunks); 0 when the
// frame is too large for zlib's 32-bit sizes.
uint64_t PngWorstCaseBytes(int32_t width, int32_t height);

class PngFrameEncoder {
public:
    PngFrameEncoder() = default;
    ~PngFrameEncoder();
    PngFrameEncoder(const PngFrameEncoder&) = delete;
    PngFrameEncoder& operator=(const PngFrameEncoder&) = delete;

    // Everything an export needs is allocated here, once: encoding a frame
    // allocates nothing. False when memory is short, the level is outside
    // 1..9 or the frame is too large.
    bool Prepare(int32_t width, int32_t height, int level);
    // Encodes one frame; returns the PNG's size (its bytes at Png()), or 0
    // when zlib failed. The bytes stay valid until the next call.
    size_t Encode(const uint8_t* dib);
    const uint8_t* Png() const { return out_; }

private:
    void Release();
    const uint8_t* FilterRow(const uint8_t* row, const uint8_t* above);

    z_stream_s* stream_ = nullptr;
    int32_t width_ = 0;
    int32_t height_ = 0;
    size_t dib_stride_ = 0;
    size_t filtered_bytes_ = 0;  // one filtered row: the filter type and 3 bytes a pixel
    uint8_t* out_ = nullptr;
    size_t out_capacity_ = 0;
    uint8_t* candidates_ = nullptr;  // one filtered row per filter type
    uint8_t* zero_row_ = nullptr;    // what the first row is filtered against
};

}  // namespace lossless_avi
