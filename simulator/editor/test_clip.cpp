#include "simulator/editor/test_clip.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "simulator/workload/smoothing.h"

namespace editor_sim {

namespace {
constexpr int32_t kLeftToneHz = 440;
constexpr int32_t kRightToneHz = 660;
constexpr double kToneAmplitude = 8192.0;
constexpr double kTwoPi = 6.283185307179586;

bool FitsInt32(int64_t value) { return value >= 0 && value <= std::numeric_limits<int32_t>::max(); }

uint8_t Clamp255(int32_t value) { return static_cast<uint8_t>(value < 0 ? 0 : value > 255 ? 255 : value); }

// BT.601 studio range, integer form.
void ToYuv(const uint8_t* bgr, int32_t* y, int32_t* u, int32_t* v) {
    int32_t b = bgr[0], g = bgr[1], r = bgr[2];
    *y = ((66 * r + 129 * g + 25 * b + 128) >> 8) + 16;
    *u = ((-38 * r - 74 * g + 112 * b + 128) >> 8) + 128;
    *v = ((112 * r - 94 * g - 18 * b + 128) >> 8) + 128;
}
}  // namespace

int64_t DibRowBytes(int32_t width) { return (static_cast<int64_t>(width) * 3 + 3) / 4 * 4; }

int64_t DibFrameBytes(int32_t width, int32_t height) { return DibRowBytes(width) * height; }

int64_t AudioSampleCount(const ClipShape& shape) {
    if (!shape.audio || shape.rate <= 0) return 0;
    return static_cast<int64_t>(shape.frame_count) * shape.scale * kAudioRate / shape.rate;
}

void PatternPixel(int32_t frame, int32_t x, int32_t y, uint8_t bgr[3]) {
    // Every channel moves at its own speed and a bright bar sweeps across,
    // so neighbouring frames, rows and columns all differ.
    bgr[0] = static_cast<uint8_t>(x * 2 + frame * 3);
    bgr[1] = static_cast<uint8_t>(y * 2 + frame * 5);
    bgr[2] = ((x + frame * 4) % 64) < 8 ? 255 : static_cast<uint8_t>((x ^ y) + frame);
}

void ToneSample(int64_t sample, int16_t pair[2]) {
    // The phase is reduced in integers first, so a sample far into a long
    // clip is as exact as one at the start.
    int64_t left = sample * kLeftToneHz % kAudioRate;
    int64_t right = sample * kRightToneHz % kAudioRate;
    pair[0] = static_cast<int16_t>(std::lround(kToneAmplitude * std::sin(kTwoPi * left / kAudioRate)));
    pair[1] = static_cast<int16_t>(std::lround(kToneAmplitude * std::sin(kTwoPi * right / kAudioRate)));
}

bool TestClip::SetUp(const ClipShape& shape) {
    if (shape.width <= 0 || shape.height <= 0 || shape.frame_count <= 0 || shape.rate <= 0 || shape.scale <= 0) {
        return false;
    }
    int64_t pixels = static_cast<int64_t>(shape.width) * shape.height;
    if (!FitsInt32(DibFrameBytes(shape.width, shape.height)) || !FitsInt32(pixels * 6)) return false;
    int64_t samples = AudioSampleCount(shape);
    if (!FitsInt32(samples) || !FitsInt32(samples * kAudioSampleBytes)) return false;
    shape_ = shape;
    audio_samples_ = samples;
    rendered_frame_ = -1;
    dib_.assign(static_cast<size_t>(DibFrameBytes(shape.width, shape.height)), 0);
    yuy2_.assign(static_cast<size_t>(pixels * 2), 0);
    yc48_.assign(static_cast<size_t>(pixels * 6), 0);
    scratch_.assign(dib_.size(), 0);
    blur_row_.assign(static_cast<size_t>(shape.width) * 3, 0);
    audio_.clear();
    return true;
}

void TestClip::RenderDib(int32_t frame) {
    if (rendered_frame_ == frame) return;
    const int64_t stride = DibRowBytes(shape_.width);
    for (int32_t y = 0; y < shape_.height; ++y) {
        // Bottom-up: the top row of the picture is the last row in memory.
        uint8_t* row = dib_.data() + (shape_.height - 1 - y) * stride;
        for (int32_t x = 0; x < shape_.width; ++x) PatternPixel(frame, x, y, row + x * 3);
    }
    rendered_frame_ = frame;
}

void TestClip::RenderYuy2() {
    const int64_t stride = DibRowBytes(shape_.width);
    for (int32_t y = 0; y < shape_.height; ++y) {
        const uint8_t* source = dib_.data() + (shape_.height - 1 - y) * stride;
        uint8_t* out = yuy2_.data() + static_cast<int64_t>(y) * shape_.width * 2;
        for (int32_t x = 0; x < shape_.width; x += 2) {
            int32_t y0, u0, v0;
            ToYuv(source + x * 3, &y0, &u0, &v0);
            if (x + 1 < shape_.width) {
                int32_t y1, u1, v1;
                ToYuv(source + (x + 1) * 3, &y1, &u1, &v1);
                out[x * 2 + 0] = Clamp255(y0);
                out[x * 2 + 1] = Clamp255((u0 + u1 + 1) / 2);
                out[x * 2 + 2] = Clamp255(y1);
                out[x * 2 + 3] = Clamp255((v0 + v1 + 1) / 2);
            } else {
                // An odd width leaves half a pair: its luma and blue difference.
                out[x * 2 + 0] = Clamp255(y0);
                out[x * 2 + 1] = Clamp255(u0);
            }
        }
    }
}

void TestClip::RenderYc48() {
    // y in 0..4096 for black..white, cb and cr around 0 in the same scale.
    const int64_t stride = DibRowBytes(shape_.width);
    for (int32_t y = 0; y < shape_.height; ++y) {
        const uint8_t* source = dib_.data() + (shape_.height - 1 - y) * stride;
        uint8_t* out = yc48_.data() + static_cast<int64_t>(y) * shape_.width * 6;
        for (int32_t x = 0; x < shape_.width; ++x) {
            int32_t b = source[x * 3], g = source[x * 3 + 1], r = source[x * 3 + 2];
            int32_t luma = 1225 * r + 2404 * g + 467 * b;  // weights sum to 4096
            int16_t value[3] = {static_cast<int16_t>(luma / 255),
                                static_cast<int16_t>((b * 4096 - luma) * 564 / 1000 / 255),
                                static_cast<int16_t>((r * 4096 - luma) * 713 / 1000 / 255)};
            std::memcpy(out + x * 6, value, sizeof value);
        }
    }
}

const uint8_t* TestClip::Frame(int32_t frame, uint32_t format) {
    if (frame < 0 || frame >= shape_.frame_count) return nullptr;
    switch (format) {
        case 0: RenderDib(frame); return dib_.data();
        case 0x32595559:
        case 0x59555932:
            RenderDib(frame);
            RenderYuy2();
            return yuy2_.data();
        case 0x38344359:
        case 0x59433438:
            RenderDib(frame);
            RenderYc48();
            return yc48_.data();
        default: return nullptr;
    }
}

int32_t TestClip::Flag(int32_t frame) const {
    if (frame < 0 || shape_.keyframe_interval <= 0) return 0;
    return frame % shape_.keyframe_interval == 0 ? 1 : 0;
}

const int16_t* TestClip::Audio(int32_t start, int32_t length, int32_t* read) {
    int32_t count = 0;
    if (start >= 0 && length > 0 && start < audio_samples_) {
        count = static_cast<int32_t>(std::min<int64_t>(length, audio_samples_ - start));
    }
    if (read != nullptr) *read = count;
    if (count == 0) return nullptr;
    // Grows only when a longer stretch than ever before is asked for.
    if (audio_.size() < static_cast<size_t>(count) * kAudioChannels) {
        audio_.resize(static_cast<size_t>(count) * kAudioChannels);
    }
    for (int32_t i = 0; i < count; ++i) ToneSample(static_cast<int64_t>(start) + i, &audio_[i * 2]);
    return audio_.data();
}

uint32_t TestClip::SpendProductionCost(int32_t passes) {
    if (passes <= 0 || rendered_frame_ < 0) return 0;
    std::memcpy(scratch_.data(), dib_.data(), dib_.size());
    return smoothing::SmoothingPasses(scratch_.data(), DibRowBytes(shape_.width), shape_.width, shape_.height, passes,
                                      blur_row_.data());
}

bool ParseCount(const char* text, int32_t minimum, int32_t* value) {
    char* end = nullptr;
    const long parsed = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || parsed < minimum || parsed > 0x7FFFFFFF) return false;
    *value = static_cast<int32_t>(parsed);
    return true;
}

}  // namespace editor_sim
