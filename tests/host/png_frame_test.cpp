// The lossless sample's frame codec, read back by a decoder of the test's
// own over the host's zlib: every chunk's CRC, the header, the filters
// undone, and every pixel against the editor's frame it came from.
#include "samples/lossless_avi/png_frame.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "simulator/editor/test_clip.h"

namespace lossless_avi {
namespace {

uint32_t Be32(const uint8_t* in) {
    return static_cast<uint32_t>(in[0]) << 24 | static_cast<uint32_t>(in[1]) << 16 | static_cast<uint32_t>(in[2]) << 8 |
           in[3];
}

struct DecodedPng {
    std::string error;  // empty when the image was read
    int32_t width = 0;
    int32_t height = 0;
    std::vector<uint8_t> rgb;  // top-down, no padding
    std::vector<int> filters;  // each row's filter type
};

DecodedPng Failed(const std::string& why) {
    DecodedPng failed;
    failed.error = why;
    return failed;
}

int PaethOf(int a, int b, int c) {
    const int p = a + b - c;
    const int pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
    if (pa <= pb && pa <= pc) return a;
    return pb <= pc ? b : c;
}

DecodedPng Decode(const uint8_t* png, size_t size) {
    DecodedPng out;
    const uint8_t signature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    if (size < 8 || std::memcmp(png, signature, 8) != 0) return Failed("no PNG signature");
    std::vector<uint8_t> compressed;
    std::vector<std::string> order;
    for (size_t at = 8; at < size;) {
        if (size - at < 12) return Failed("a chunk cut short");
        const uint32_t length = Be32(png + at);
        if (length > size - at - 12) return Failed("a chunk longer than the file");
        const std::string type(reinterpret_cast<const char*>(png + at + 4), 4);
        const uint8_t* data = png + at + 8;
        if (crc32(0, png + at + 4, length + 4) != Be32(data + length)) return Failed("a bad CRC on " + type);
        order.push_back(type);
        if (type == "IHDR") {
            if (length != 13) return Failed("IHDR of " + std::to_string(length) + " bytes");
            out.width = static_cast<int32_t>(Be32(data));
            out.height = static_cast<int32_t>(Be32(data + 4));
            if (data[8] != 8 || data[9] != 2 || data[10] != 0 || data[11] != 0 || data[12] != 0) {
                return Failed("not 8-bit RGB, deflate, standard filters, progressive");
            }
        } else if (type == "IDAT") {
            compressed.insert(compressed.end(), data, data + length);
        }
        at += 12 + length;
    }
    if (order != std::vector<std::string>{"IHDR", "IDAT", "IEND"}) return Failed("chunks other than IHDR, IDAT, IEND");

    const size_t row_bytes = 1 + 3 * static_cast<size_t>(out.width);
    std::vector<uint8_t> filtered(row_bytes * static_cast<size_t>(out.height) + 1);
    uLongf inflated = static_cast<uLongf>(filtered.size());
    if (uncompress(filtered.data(), &inflated, compressed.data(), static_cast<uLong>(compressed.size())) != Z_OK) {
        return Failed("IDAT does not inflate");
    }
    if (inflated != row_bytes * static_cast<size_t>(out.height)) return Failed("IDAT inflates to the wrong size");

    out.rgb.assign(3 * static_cast<size_t>(out.width) * static_cast<size_t>(out.height), 0);
    const size_t stride = 3 * static_cast<size_t>(out.width);
    for (int32_t y = 0; y < out.height; ++y) {
        const uint8_t* in = filtered.data() + static_cast<size_t>(y) * row_bytes;
        uint8_t* row = out.rgb.data() + static_cast<size_t>(y) * stride;
        const uint8_t* above = y > 0 ? row - stride : nullptr;
        out.filters.push_back(in[0]);
        for (size_t i = 0; i < stride; ++i) {
            const int a = i >= 3 ? row[i - 3] : 0;
            const int b = above != nullptr ? above[i] : 0;
            const int c = i >= 3 && above != nullptr ? above[i - 3] : 0;
            int predicted = 0;
            switch (in[0]) {
                case 0: predicted = 0; break;
                case 1: predicted = a; break;
                case 2: predicted = b; break;
                case 3: predicted = (a + b) / 2; break;
                case 4: predicted = PaethOf(a, b, c); break;
                default: return Failed("filter type " + std::to_string(in[0]));
            }
            row[i] = static_cast<uint8_t>(in[1 + i] + predicted);
        }
    }
    return out;
}

// Pictures that favour different filters: noise, the simulator's moving
// pattern (sweeps and XOR texture), flat bands, and gradients with noise.
enum class Picture { kNoise, kPattern, kBands, kGradient };

// A bottom-up DIB whose row padding is filled with bytes that must not
// reach the image.
std::vector<uint8_t> MakeDib(Picture picture, int32_t width, int32_t height, uint32_t seed) {
    const size_t stride = static_cast<size_t>(editor_sim::DibRowBytes(width));
    std::vector<uint8_t> dib(stride * static_cast<size_t>(height), 0xEE);
    std::mt19937 random(seed);
    for (int32_t y = 0; y < height; ++y) {
        uint8_t* row = dib.data() + static_cast<size_t>(height - 1 - y) * stride;
        for (int32_t x = 0; x < width; ++x) {
            uint8_t* bgr = row + 3 * static_cast<size_t>(x);
            switch (picture) {
                case Picture::kNoise:
                    for (int c = 0; c < 3; ++c) bgr[c] = static_cast<uint8_t>(random());
                    break;
                case Picture::kPattern: editor_sim::PatternPixel(static_cast<int32_t>(seed), x, y, bgr); break;
                case Picture::kBands:
                    for (int c = 0; c < 3; ++c) bgr[c] = static_cast<uint8_t>((y / 3) * 40 + c * 90);
                    break;
                case Picture::kGradient:
                    for (int c = 0; c < 3; ++c) {
                        bgr[c] = static_cast<uint8_t>(x * (c + 1) + y * (3 - c) + static_cast<int>(random() % 3));
                    }
                    break;
            }
        }
    }
    return dib;
}

// Every pixel of the decoded image against the DIB, with where it differs.
std::string CompareWithDib(const DecodedPng& image, const std::vector<uint8_t>& dib, int32_t width, int32_t height) {
    if (!image.error.empty()) return image.error;
    if (image.width != width || image.height != height) {
        return "an image of " + std::to_string(image.width) + "x" + std::to_string(image.height);
    }
    const size_t stride = static_cast<size_t>(editor_sim::DibRowBytes(width));
    for (int32_t y = 0; y < height; ++y) {
        const uint8_t* source = dib.data() + static_cast<size_t>(height - 1 - y) * stride;
        const uint8_t* decoded = image.rgb.data() + static_cast<size_t>(y) * 3 * static_cast<size_t>(width);
        for (int32_t x = 0; x < width; ++x) {
            for (int c = 0; c < 3; ++c) {
                if (decoded[3 * x + c] != source[3 * x + 2 - c]) {
                    return "pixel (" + std::to_string(x) + ", " + std::to_string(y) + ") channel " + std::to_string(c) +
                           " differs";
                }
            }
        }
    }
    return std::string();
}

TEST(PngFrame, EveryPixelOfEveryFrameDecodesToTheEditorsFrame) {
    // Odd widths pad each DIB row with 1 to 3 bytes; one row and one
    // column are the filters' edges.
    const struct {
        int32_t width;
        int32_t height;
    } sizes[] = {{1, 1}, {3, 2}, {33, 17}, {66, 40}, {1, 9}, {97, 1}};
    std::set<int> filters_seen;
    for (int level : {kMinLevel, kMaxLevel}) {
        for (const auto& size : sizes) {
            PngFrameEncoder encoder;
            ASSERT_TRUE(encoder.Prepare(size.width, size.height, level));
            // One encoder for a whole export: each frame must come out
            // whole, whatever the frame before it was.
            for (Picture picture : {Picture::kNoise, Picture::kPattern, Picture::kBands, Picture::kGradient}) {
                for (uint32_t seed : {1u, 2u}) {
                    const std::vector<uint8_t> dib = MakeDib(picture, size.width, size.height, seed);
                    const size_t bytes = encoder.Encode(dib.data());
                    ASSERT_GT(bytes, 0u);
                    EXPECT_LE(bytes, PngWorstCaseBytes(size.width, size.height));
                    const DecodedPng image = Decode(encoder.Png(), bytes);
                    EXPECT_EQ(CompareWithDib(image, dib, size.width, size.height), "")
                        << size.width << "x" << size.height << " at level " << level << ", picture "
                        << static_cast<int>(picture) << " seed " << seed;
                    filters_seen.insert(image.filters.begin(), image.filters.end());
                }
            }
        }
    }
    EXPECT_EQ(filters_seen, (std::set<int>{0, 1, 2, 3, 4})) << "each filter's code was checked by a decode";
}

TEST(PngFrame, TheSameFrameEncodesToTheSameBytesAndLevelNineToFewer) {
    const std::vector<uint8_t> first = MakeDib(Picture::kPattern, 66, 40, 7);
    const std::vector<uint8_t> second = MakeDib(Picture::kNoise, 66, 40, 8);
    PngFrameEncoder fast;
    PngFrameEncoder small;
    ASSERT_TRUE(fast.Prepare(66, 40, 1));
    ASSERT_TRUE(small.Prepare(66, 40, 9));
    const std::vector<uint8_t> once(fast.Png(), fast.Png() + fast.Encode(first.data()));
    ASSERT_GT(fast.Encode(second.data()), 0u);
    const std::vector<uint8_t> again(fast.Png(), fast.Png() + fast.Encode(first.data()));
    EXPECT_EQ(once, again) << "nothing of the frame in between is carried over";
    EXPECT_LT(small.Encode(first.data()), once.size()) << "the level reaches zlib";
}

TEST(PngFrame, LevelsOutsideOneToNineAndEmptyFramesAreRefused) {
    PngFrameEncoder encoder;
    EXPECT_FALSE(encoder.Prepare(16, 16, 0));
    EXPECT_FALSE(encoder.Prepare(16, 16, 10));
    EXPECT_FALSE(encoder.Prepare(0, 16, 6));
    EXPECT_FALSE(encoder.Prepare(16, -1, 6));
    EXPECT_EQ(encoder.Encode(nullptr), 0u) << "an encoder that was refused encodes nothing";
    EXPECT_EQ(PngWorstCaseBytes(65536, 65536), 0u) << "beyond zlib's 32-bit sizes";
}

}  // namespace
}  // namespace lossless_avi
