#include "samples/lossless_avi/png_frame.h"

#include <zlib.h>

#include <cstring>
#include <new>

namespace lossless_avi {

namespace {

const uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
const uint8_t kIend[12] = {0, 0, 0, 0, 'I', 'E', 'N', 'D', 0xAE, 0x42, 0x60, 0x82};
// Signature, IHDR (length, type, 13 bytes, CRC), then IDAT's length and
// type: the compressed rows start here.
constexpr size_t kIhdrOffset = 8;
constexpr size_t kIdatDataOffset = 8 + 25 + 8;
// IDAT's CRC and the IEND chunk.
constexpr size_t kTrailerBytes = 4 + 12;
constexpr int kFilterTypes = 5;  // None, Sub, Up, Average, Paeth
// A PNG chunk's length is at most 2^31 - 1.
constexpr uint64_t kMaxChunkData = 0x7FFFFFFF;

void PutBe32(uint8_t* out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(value >> (24 - 8 * i));
}

int Paeth(int left, int above, int upper_left) {
    const int estimate = left + above - upper_left;
    const int to_left = estimate > left ? estimate - left : left - estimate;
    const int to_above = estimate > above ? estimate - above : above - estimate;
    const int to_upper_left = estimate > upper_left ? estimate - upper_left : upper_left - estimate;
    if (to_left <= to_above && to_left <= to_upper_left) return left;
    return to_above <= to_upper_left ? above : upper_left;
}

// One filter over one row, written in PNG order (R, G, B from the DIB's B,
// G, R); returns the row's cost for the choice between the filters.
template <typename Predict>
uint32_t FilterWith(const uint8_t* row, const uint8_t* above, int32_t width, uint8_t* out, Predict predict) {
    uint32_t cost = 0;
    auto put = [&](size_t at, int actual, int predicted) {
        const uint8_t residual = static_cast<uint8_t>(actual - predicted);
        out[at] = residual;
        cost += residual < 128 ? residual : 256u - residual;
    };
    // The first pixel has nothing to its left: PNG takes those bytes as 0.
    for (int c = 0; c < 3; ++c) put(c, row[2 - c], predict(0, above[2 - c], 0));
    for (int32_t x = 1; x < width; ++x) {
        const uint8_t* pixel = row + 3 * static_cast<size_t>(x);
        const uint8_t* up = above + 3 * static_cast<size_t>(x);
        for (int c = 0; c < 3; ++c)
            put(3 * static_cast<size_t>(x) + c, pixel[2 - c], predict(pixel[-1 - c], up[2 - c], up[-1 - c]));
    }
    return cost;
}

uint32_t Filter(int type, const uint8_t* row, const uint8_t* above, int32_t width, uint8_t* out) {
    out[0] = static_cast<uint8_t>(type);
    uint8_t* bytes = out + 1;
    switch (type) {
        case 0: return FilterWith(row, above, width, bytes, [](int, int, int) { return 0; });
        case 1: return FilterWith(row, above, width, bytes, [](int left, int, int) { return left; });
        case 2: return FilterWith(row, above, width, bytes, [](int, int up, int) { return up; });
        case 3: return FilterWith(row, above, width, bytes, [](int left, int up, int) { return (left + up) >> 1; });
        default: return FilterWith(row, above, width, bytes, Paeth);
    }
}

}  // namespace

uint64_t PngWorstCaseBytes(int32_t width, int32_t height) {
    if (width <= 0 || height <= 0) return 0;
    const uint64_t filtered = (1 + 3 * static_cast<uint64_t>(width)) * static_cast<uint64_t>(height);
    if (filtered > kMaxChunkData) return 0;
    const uint64_t bound = compressBound(static_cast<uLong>(filtered));
    if (bound > kMaxChunkData) return 0;
    return kIdatDataOffset + bound + kTrailerBytes;
}

PngFrameEncoder::~PngFrameEncoder() { Release(); }

void PngFrameEncoder::Release() {
    if (stream_ != nullptr) deflateEnd(stream_);
    delete stream_;
    delete[] out_;
    delete[] candidates_;
    delete[] zero_row_;
    stream_ = nullptr;
    out_ = nullptr;
    candidates_ = nullptr;
    zero_row_ = nullptr;
    out_capacity_ = 0;
}

bool PngFrameEncoder::Prepare(int32_t width, int32_t height, int level) {
    Release();
    if (level < kMinLevel || level > kMaxLevel || PngWorstCaseBytes(width, height) == 0) return false;
    width_ = width;
    height_ = height;
    dib_stride_ = (static_cast<size_t>(width) * 3 + 3) / 4 * 4;
    filtered_bytes_ = 1 + 3 * static_cast<size_t>(width);

    stream_ = new (std::nothrow) z_stream();
    if (stream_ == nullptr) return false;
    // Z_FILTERED: filtered image rows are mostly small values with few long
    // repeats, which zlib codes better when it prefers literals to short
    // matches (libpng chooses the same for filtered images).
    if (deflateInit2(stream_, level, Z_DEFLATED, 15, 8, Z_FILTERED) != Z_OK) {
        delete stream_;
        stream_ = nullptr;
        return false;
    }
    const uLong bound = deflateBound(stream_, static_cast<uLong>(filtered_bytes_ * static_cast<size_t>(height)));
    out_capacity_ = kIdatDataOffset + bound + kTrailerBytes;
    out_ = new (std::nothrow) uint8_t[out_capacity_];
    candidates_ = new (std::nothrow) uint8_t[kFilterTypes * filtered_bytes_];
    zero_row_ = new (std::nothrow) uint8_t[dib_stride_]();
    if (out_ == nullptr || candidates_ == nullptr || zero_row_ == nullptr) {
        Release();
        return false;
    }

    // The header is the same for every frame of the export.
    std::memcpy(out_, kSignature, sizeof kSignature);
    uint8_t* ihdr = out_ + kIhdrOffset;
    PutBe32(ihdr, 13);
    std::memcpy(ihdr + 4, "IHDR", 4);
    PutBe32(ihdr + 8, static_cast<uint32_t>(width));
    PutBe32(ihdr + 12, static_cast<uint32_t>(height));
    ihdr[16] = 8;  // bits per channel
    ihdr[17] = 2;  // colour type: RGB
    ihdr[18] = 0;  // deflate
    ihdr[19] = 0;  // the five standard filters, chosen per row
    ihdr[20] = 0;  // not interlaced
    PutBe32(ihdr + 21, static_cast<uint32_t>(crc32(0, ihdr + 4, 17)));
    std::memcpy(out_ + kIdatDataOffset - 4, "IDAT", 4);
    return true;
}

// Every row gets the filter whose output has the smallest sum of absolute
// values, the heuristic the PNG format's authors recommend and libpng uses.
// A single fixed filter (Paeth, say) compresses well on camera pictures
// but loses badly on the flat areas, hard edges and gradients of titles
// and graphics, which an editor's exports are full of; trying all five
// costs a few passes over a row that is already in the cache, little
// beside deflate.
const uint8_t* PngFrameEncoder::FilterRow(const uint8_t* row, const uint8_t* above) {
    const uint8_t* best = nullptr;
    uint32_t best_cost = 0;
    for (int type = 0; type < kFilterTypes; ++type) {
        uint8_t* candidate = candidates_ + static_cast<size_t>(type) * filtered_bytes_;
        const uint32_t cost = Filter(type, row, above, width_, candidate);
        if (best == nullptr || cost < best_cost) {
            best = candidate;
            best_cost = cost;
        }
    }
    return best;
}

size_t PngFrameEncoder::Encode(const uint8_t* dib) {
    if (stream_ == nullptr || dib == nullptr || deflateReset(stream_) != Z_OK) return 0;
    stream_->next_out = out_ + kIdatDataOffset;
    stream_->avail_out = static_cast<uInt>(out_capacity_ - kIdatDataOffset - kTrailerBytes);
    const uint8_t* above = zero_row_;
    for (int32_t y = 0; y < height_; ++y) {
        // Bottom-up: the picture's top row is the DIB's last.
        const uint8_t* row = dib + static_cast<size_t>(height_ - 1 - y) * dib_stride_;
        stream_->next_in = const_cast<uint8_t*>(FilterRow(row, above));
        stream_->avail_in = static_cast<uInt>(filtered_bytes_);
        const bool last = y + 1 == height_;
        const int status = deflate(stream_, last ? Z_FINISH : Z_NO_FLUSH);
        // The output has room for zlib's bound, so every row goes in whole
        // and the last call ends the stream.
        if (last ? status != Z_STREAM_END : status != Z_OK || stream_->avail_in != 0) return 0;
        above = row;
    }
    const size_t data_bytes = stream_->total_out;
    PutBe32(out_ + kIdatDataOffset - 8, static_cast<uint32_t>(data_bytes));
    uint8_t* end = out_ + kIdatDataOffset + data_bytes;
    PutBe32(end, static_cast<uint32_t>(crc32(0, out_ + kIdatDataOffset - 4, static_cast<uInt>(data_bytes + 4))));
    std::memcpy(end + 4, kIend, sizeof kIend);
    return kIdatDataOffset + data_bytes + kTrailerBytes;
}

}  // namespace lossless_avi
