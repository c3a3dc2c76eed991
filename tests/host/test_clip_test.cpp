// The host simulator's synthetic clip: the frame layouts the editor's
// formats require, the audio's clipping, the flags, and a production cost
// that leaves the served frames alone.
#include "simulator/editor/test_clip.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "simulator/workload/smoothing.h"

namespace editor_sim {
namespace {

constexpr uint32_t kYuy2 = 0x32595559;
constexpr uint32_t kYuy2Reversed = 0x59555932;
constexpr uint32_t kYc48 = 0x38344359;
constexpr uint32_t kYc48Reversed = 0x59433438;

ClipShape Shape(int32_t width, int32_t height, int32_t frames = 10) {
    ClipShape shape;
    shape.width = width;
    shape.height = height;
    shape.frame_count = frames;
    return shape;
}

TEST(TestClipFrames, DibRowsArePaddedToFourBytes) {
    const struct {
        int32_t width;
        int64_t row;
    } cases[] = {{1, 4}, {2, 8}, {3, 12}, {4, 12}, {5, 16}, {33, 100}, {64, 192}};
    for (const auto& c : cases) {
        EXPECT_EQ(DibRowBytes(c.width), c.row) << "width " << c.width;
        EXPECT_EQ(DibFrameBytes(c.width, 7), c.row * 7) << "width " << c.width;
    }
}

TEST(TestClipFrames, FormatZeroIsBottomUpWithZeroPadding) {
    TestClip clip;
    ASSERT_TRUE(clip.SetUp(Shape(33, 5)));
    EXPECT_EQ(clip.FrameBytes(), 500);
    const uint8_t* dib = clip.Frame(3, 0);
    ASSERT_NE(dib, nullptr);
    for (int32_t y = 0; y < 5; ++y) {
        const uint8_t* row = dib + (4 - y) * 100;  // the top row is stored last
        for (int32_t x = 0; x < 33; ++x) {
            uint8_t expected[3];
            PatternPixel(3, x, y, expected);
            ASSERT_EQ(std::memcmp(row + x * 3, expected, 3), 0) << "pixel " << x << "," << y;
        }
        EXPECT_EQ(row[99], 0) << "padding of row " << y;
    }
}

TEST(TestClipFrames, NeighbouringFramesDiffer) {
    TestClip clip;
    ASSERT_TRUE(clip.SetUp(Shape(16, 16)));
    std::vector<uint8_t> first(clip.Frame(0, 0), clip.Frame(0, 0) + clip.FrameBytes());
    EXPECT_NE(std::memcmp(first.data(), clip.Frame(1, 0), first.size()), 0);
    EXPECT_EQ(std::memcmp(first.data(), clip.Frame(0, 0), first.size()), 0) << "frame 0 again is frame 0";
}

TEST(TestClipFrames, OtherFormatCodesAndFramesOutsideTheClipAreRefused) {
    TestClip clip;
    ASSERT_TRUE(clip.SetUp(Shape(8, 8, 4)));
    for (uint32_t format : {0x32424752u /* RGB2 */, 1u, 0xFFFFFFFFu}) {
        EXPECT_EQ(clip.Frame(0, format), nullptr) << std::hex << format;
    }
    EXPECT_EQ(clip.Frame(-1, 0), nullptr);
    EXPECT_EQ(clip.Frame(4, 0), nullptr);
    EXPECT_NE(clip.Frame(3, 0), nullptr);
}

TEST(TestClipFrames, BothByteOrdersOfYuy2AndYc48GiveTheSameBytes) {
    TestClip clip;
    ASSERT_TRUE(clip.SetUp(Shape(9, 4)));
    std::vector<uint8_t> yuy2(clip.Frame(2, kYuy2), clip.Frame(2, kYuy2) + 9 * 4 * 2);
    EXPECT_EQ(std::memcmp(yuy2.data(), clip.Frame(2, kYuy2Reversed), yuy2.size()), 0);
    std::vector<uint8_t> yc48(clip.Frame(2, kYc48), clip.Frame(2, kYc48) + 9 * 4 * 6);
    EXPECT_EQ(std::memcmp(yc48.data(), clip.Frame(2, kYc48Reversed), yc48.size()), 0);
}

// Both conversions read the same bottom-up picture; a row or column mixed up
// in either one shows as a luma that disagrees with the other's.
TEST(TestClipFrames, Yuy2AndYc48AgreeOnEveryPixelsLumaTopDown) {
    for (int32_t width : {8, 7}) {
        TestClip clip;
        ASSERT_TRUE(clip.SetUp(Shape(width, 6)));
        std::vector<uint8_t> yuy2(clip.Frame(4, kYuy2), clip.Frame(4, kYuy2) + width * 6 * 2);
        const uint8_t* yc48 = clip.Frame(4, kYc48);
        for (int32_t y = 0; y < 6; ++y) {
            for (int32_t x = 0; x < width; ++x) {
                int16_t values[3];
                std::memcpy(values, yc48 + (y * width + x) * 6, sizeof values);
                int32_t studio = 16 + values[0] * 219 / 4096;
                int32_t luma = yuy2[(y * width + x) * 2];
                EXPECT_LE(std::abs(luma - studio), 2) << "pixel " << x << "," << y << " width " << width;
                EXPECT_GE(values[0], 0);
                EXPECT_LE(values[0], 4096);
            }
        }
    }
}

TEST(TestClipFlags, KeyframesRecurAtTheInterval) {
    ClipShape shape = Shape(4, 4, 30);
    shape.keyframe_interval = 7;
    TestClip clip;
    ASSERT_TRUE(clip.SetUp(shape));
    std::vector<int32_t> keyframes;
    for (int32_t frame = 0; frame < 30; ++frame) {
        if (clip.Flag(frame) != 0) keyframes.push_back(frame);
    }
    EXPECT_EQ(keyframes, (std::vector<int32_t>{0, 7, 14, 21, 28}));
    shape.keyframe_interval = 0;
    ASSERT_TRUE(clip.SetUp(shape));
    EXPECT_EQ(clip.Flag(0), 0) << "interval 0 marks no frame";
}

TEST(TestClipAudio, SampleCountFollowsTheFrameRate) {
    ClipShape shape = Shape(4, 4, 30);
    EXPECT_EQ(AudioSampleCount(shape), 48000);
    shape.frame_count = 100;
    shape.rate = 30000;
    shape.scale = 1001;
    EXPECT_EQ(AudioSampleCount(shape), 160160);
    shape.audio = false;
    EXPECT_EQ(AudioSampleCount(shape), 0);
}

TEST(TestClipAudio, TheLastCallIsClippedAtTheClipsEnd) {
    TestClip clip;
    ASSERT_TRUE(clip.SetUp(Shape(4, 4, 30)));
    int32_t read = -1;
    EXPECT_NE(clip.Audio(47000, 2000, &read), nullptr);
    EXPECT_EQ(read, 1000);
    read = -1;
    EXPECT_EQ(clip.Audio(48000, 10, &read), nullptr);
    EXPECT_EQ(read, 0);
    read = -1;
    EXPECT_EQ(clip.Audio(-5, 10, &read), nullptr);
    EXPECT_EQ(read, 0);
    read = -1;
    EXPECT_EQ(clip.Audio(0, 0, &read), nullptr);
    EXPECT_EQ(read, 0);
    EXPECT_NE(clip.Audio(0, 10, nullptr), nullptr) << "a null count pointer is tolerated";
}

TEST(TestClipAudio, SamplesDependOnThePositionOnlyNotOnTheCall) {
    TestClip clip;
    ASSERT_TRUE(clip.SetUp(Shape(4, 4, 30)));
    int32_t read = 0;
    std::vector<int16_t> wide(clip.Audio(95, 20, &read), clip.Audio(95, 20, &read) + 40);
    const int16_t* narrow = clip.Audio(100, 10, &read);
    ASSERT_EQ(read, 10);
    EXPECT_EQ(std::memcmp(narrow, wide.data() + 10, 10 * 2 * sizeof(int16_t)), 0);
    bool channels_differ = false;
    for (int i = 0; i < 20; ++i) {
        EXPECT_LE(std::abs(wide[i * 2]), 8192);
        channels_differ = channels_differ || wide[i * 2] != wide[i * 2 + 1];
    }
    EXPECT_TRUE(channels_differ) << "left and right carry different tones";
}

TEST(TestClipSetUp, ShapesTheRecordsCannotCarryAreRefused) {
    TestClip clip;
    EXPECT_FALSE(clip.SetUp(Shape(0, 10)));
    EXPECT_FALSE(clip.SetUp(Shape(10, -1)));
    EXPECT_FALSE(clip.SetUp(Shape(10, 10, 0)));
    EXPECT_FALSE(clip.SetUp(Shape(30000, 30000))) << "a YC48 frame beyond 32 bits";
    ClipShape long_audio = Shape(4, 4, 2000000000);
    long_audio.rate = 1;
    EXPECT_FALSE(clip.SetUp(long_audio)) << "audio beyond 32 bits";
    EXPECT_TRUE(clip.SetUp(Shape(1, 1, 1)));
}

TEST(TestClipCost, ProductionCostLeavesTheServedFrameAlone) {
    TestClip clip;
    ASSERT_TRUE(clip.SetUp(Shape(20, 10)));
    const uint8_t* frame = clip.Frame(6, 0);
    std::vector<uint8_t> before(frame, frame + clip.FrameBytes());
    EXPECT_EQ(clip.SpendProductionCost(0), 0u);
    uint32_t one = clip.SpendProductionCost(1);
    uint32_t three = clip.SpendProductionCost(3);
    EXPECT_NE(one, three) << "more passes smooth the picture further";
    EXPECT_EQ(std::memcmp(before.data(), clip.Frame(6, 0), before.size()), 0);
}

// The editor's filters and the sample encoder spend their cost with the same
// smoothing.
TEST(SmoothingCost, KeepsAUniformPictureUniformAndChangesAPattern) {
    std::vector<uint8_t> row(8 * 3);
    for (int value = 0; value < 256; ++value) {
        std::vector<uint8_t> pixels(24 * 4, static_cast<uint8_t>(value));
        smoothing::SmoothingPasses(pixels.data(), 24, 6, 4, 2, row.data());
        for (uint8_t byte : pixels) ASSERT_EQ(byte, value) << "value " << value;
    }
    std::vector<uint8_t> uniform(24 * 5, 200);
    smoothing::SmoothingPasses(uniform.data(), 24, 8, 5, 3, row.data());
    for (uint8_t byte : uniform) ASSERT_EQ(byte, 200);
    std::vector<uint8_t> stripes(24 * 5);
    for (size_t i = 0; i < stripes.size(); ++i) stripes[i] = (i / 3) % 2 ? 255 : 0;
    const std::vector<uint8_t> before = stripes;
    uint32_t one = smoothing::SmoothingPasses(stripes.data(), 24, 8, 5, 1, row.data());
    EXPECT_NE(stripes, before);
    EXPECT_NE(one, smoothing::SmoothingPasses(stripes.data(), 24, 8, 5, 1, row.data()));
}

}  // namespace
}  // namespace editor_sim
