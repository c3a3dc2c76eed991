// The simulated editor's synthetic clip: a deterministic moving test pattern in
// the editor's three frame formats, a per-frame flag, a stereo tone, and a
// per-frame production cost that stands in for the editor's filter work.
// Portable C++ so that the native tests can check it byte for byte.
#pragma once

#include <cstdint>
#include <vector>

namespace editor_sim {

constexpr int32_t kAudioRate = 48000;
constexpr int32_t kAudioChannels = 2;
constexpr int32_t kAudioSampleBytes = kAudioChannels * 2;  // one 16-bit sample per channel

struct ClipShape {
    int32_t width = 320;
    int32_t height = 240;
    int32_t frame_count = 60;
    int32_t rate = 30;  // frames per `scale` seconds
    int32_t scale = 1;
    bool audio = true;
    int32_t keyframe_interval = 30;
};

// A bottom-up DIB row of 24-bit pixels, padded to a multiple of 4 bytes.
int64_t DibRowBytes(int32_t width);
int64_t DibFrameBytes(int32_t width, int32_t height);
// Samples (per channel) that cover the whole clip, rounded down.
int64_t AudioSampleCount(const ClipShape& shape);

// The pattern's pixel at (x, y), y counted from the top, as blue, green, red.
void PatternPixel(int32_t frame, int32_t x, int32_t y, uint8_t bgr[3]);
// The tone's sample pair at position `sample` (left, right).
void ToneSample(int64_t sample, int16_t pair[2]);

class TestClip {
public:
    TestClip() = default;
    TestClip(const TestClip&) = delete;
    TestClip& operator=(const TestClip&) = delete;

    // False for a shape the editor's records cannot carry (a frame or the
    // audio size beyond 32 bits, non-positive sizes or rate).
    bool SetUp(const ClipShape& shape);
    const ClipShape& Shape() const { return shape_; }
    int32_t FrameBytes() const { return static_cast<int32_t>(DibFrameBytes(shape_.width, shape_.height)); }
    int32_t AudioSamples() const { return static_cast<int32_t>(audio_samples_); }

    // The frame in format 0, YUY2 or YC48 (either byte order); null for any
    // other code and for a frame outside the clip. Valid until the next call.
    const uint8_t* Frame(int32_t frame, uint32_t format);
    // 1 on every keyframe_interval-th frame from frame 0, else 0.
    int32_t Flag(int32_t frame) const;
    // Up to `length` sample pairs from `start`, clipped at the clip's end;
    // the count goes to `read` (0 with a null result outside the clip).
    const int16_t* Audio(int32_t start, int32_t length, int32_t* read);
    // `passes` box-blur passes over a scratch copy of the last frame served,
    // so the served bytes stay the pattern. Returns a checksum that keeps the
    // work from being optimised away.
    uint32_t SpendProductionCost(int32_t passes);

private:
    void RenderDib(int32_t frame);
    void RenderYuy2();
    void RenderYc48();

    ClipShape shape_;
    int64_t audio_samples_ = 0;
    int32_t rendered_frame_ = -1;
    std::vector<uint8_t> dib_;
    std::vector<uint8_t> yuy2_;
    std::vector<uint8_t> yc48_;
    std::vector<uint8_t> scratch_;
    std::vector<uint8_t> blur_row_;
    std::vector<int16_t> audio_;
};

// A whole decimal number of at least `minimum` that fits an int32, as the
// command lines of the simulator and the native benchmark take them.
bool ParseCount(const char* text, int32_t minimum, int32_t* value);

}  // namespace editor_sim
