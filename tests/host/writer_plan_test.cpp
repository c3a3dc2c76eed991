// The sample encoder's decisions: its settings record, the plan of an export
// (and the refusal of files past 2 GiB), and the audio interleaved per frame.
#include "samples/avi_writer/writer_plan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

namespace avi_writer {
namespace {

WriterSettings Settings(const char* path, int32_t cost) {
    WriterSettings settings;
    std::snprintf(settings.path, sizeof settings.path, "%s", path);
    settings.cost = cost;
    return settings;
}

std::vector<uint8_t> Record(const WriterSettings& settings) {
    std::vector<uint8_t> bytes(static_cast<size_t>(kSettingsRecord.Size(settings)));
    EXPECT_EQ(kSettingsRecord.Write(settings, bytes.data(), static_cast<int32_t>(bytes.size())),
              static_cast<int32_t>(bytes.size()));
    return bytes;
}

// "ソ表" in code page 932: both trail bytes are 0x5C, the path separator.
const char kJapanesePath[] = "C:\\\x83\\\x95\\\\out.avi";

TEST(WriterSettingsRecord, PathAndCostSurviveARoundTrip) {
    for (const char* path : {"", "C:\\video\\out.avi", kJapanesePath}) {
        std::vector<uint8_t> bytes = Record(Settings(path, 12));
        EXPECT_EQ(bytes.size(), 16 + std::strlen(path));
        WriterSettings restored = Settings("previous", 1);
        EXPECT_EQ(kSettingsRecord.Read(bytes.data(), static_cast<int32_t>(bytes.size()), &restored),
                  static_cast<int32_t>(bytes.size()));
        EXPECT_STREQ(restored.path, path);
        EXPECT_EQ(restored.cost, 12);
    }
}

TEST(WriterSettingsRecord, TooSmallABufferGetsNothing) {
    WriterSettings settings = Settings("C:\\a.avi", 3);
    std::vector<uint8_t> bytes(static_cast<size_t>(kSettingsRecord.Size(settings)) - 1, 0xEE);
    EXPECT_EQ(kSettingsRecord.Write(settings, bytes.data(), static_cast<int32_t>(bytes.size())), 0);
    EXPECT_EQ(bytes[0], 0xEE) << "nothing written";
    EXPECT_EQ(kSettingsRecord.Write(settings, nullptr, 100), 0);
}

TEST(WriterSettingsRecord, ForeignDamagedOrOutOfRangeRecordsChangeNothing) {
    const std::vector<uint8_t> good = Record(Settings("C:\\a.avi", 3));
    struct Damage {
        const char* what;
        size_t offset;
        uint8_t value;
        int32_t size_change;
    };
    const Damage damages[] = {
        {"another plugin's magic", 0, 'X', 0},
        {"a newer version", 4, 2, 0},
        {"a cost beyond the dialog's range", 10, 0x10, 0},
        {"a path length beyond the record", 12, 9, 0},
        {"a path length of 260 or more", 13, 1, 0},
        {"a NUL inside the path", 18, 0, 0},
        {"a record cut short", 0, 'A', -1},
    };
    for (const Damage& damage : damages) {
        std::vector<uint8_t> bytes = good;
        bytes[damage.offset] = damage.value;
        WriterSettings settings = Settings("kept", 7);
        EXPECT_EQ(
            kSettingsRecord.Read(bytes.data(), static_cast<int32_t>(bytes.size()) + damage.size_change, &settings), 0)
            << damage.what;
        EXPECT_STREQ(settings.path, "kept") << damage.what;
        EXPECT_EQ(settings.cost, 7) << damage.what;
    }
    WriterSettings settings;
    EXPECT_EQ(kSettingsRecord.Read(nullptr, 16, &settings), 0);
    EXPECT_EQ(kSettingsRecord.Read(good.data(), 15, &settings), 0) << "shorter than the header";
}

OutputInfo Info(int32_t width, int32_t height, int32_t frames, bool audio = true) {
    OutputInfo info;
    std::memset(&info, 0, sizeof info);
    info.width = width;
    info.height = height;
    info.frame_count = frames;
    info.frame_bytes = static_cast<int32_t>((static_cast<int64_t>(width) * 3 + 3) / 4 * 4 * height);
    info.passthrough_1[0] = 30;
    info.passthrough_1[1] = 1;
    if (audio) {
        info.passthrough_2[0] = 48000;
        info.passthrough_2[1] = 2;
        info.passthrough_2[2] = frames * 1600;
        info.passthrough_2[3] = 4;
    }
    return info;
}

TEST(WriterExportPlan, ASmallClipBecomesAVideoAndAnAudioStream) {
    ExportPlan plan;
    ASSERT_EQ(MakeExportPlan(Info(33, 17, 30), &plan), PlanError::kNone);
    EXPECT_EQ(plan.image_bytes, 100 * 17);
    EXPECT_EQ(plan.rate, 30);
    EXPECT_EQ(plan.scale, 1);
    EXPECT_TRUE(plan.audio);
    EXPECT_EQ(plan.audio_samples, 48000);
    EXPECT_EQ(plan.audio_block, 4);
    // The estimate covers at least the data itself.
    EXPECT_GE(plan.estimated_file_bytes, 30ull * 1700 + 48000ull * 4);
}

TEST(WriterExportPlan, AudioIsLeftOutWhenTheHostHasNone) {
    ExportPlan plan;
    ASSERT_EQ(MakeExportPlan(Info(16, 16, 10, false), &plan), PlanError::kNone);
    EXPECT_FALSE(plan.audio);
    OutputInfo info = Info(16, 16, 10);
    info.passthrough_2[2] = 0;
    ASSERT_EQ(MakeExportPlan(info, &plan), PlanError::kNone);
    EXPECT_FALSE(plan.audio);
}

TEST(WriterExportPlan, AMissingFrameRateFallsBackToThirtyFramesASecond) {
    OutputInfo info = Info(16, 16, 10);
    info.passthrough_1[0] = 0;
    ExportPlan plan;
    ASSERT_EQ(MakeExportPlan(info, &plan), PlanError::kNone);
    EXPECT_EQ(plan.rate, 30);
    EXPECT_EQ(plan.scale, 1);
}

TEST(WriterExportPlan, UnsuitableInputIsRefused) {
    ExportPlan plan;
    EXPECT_EQ(MakeExportPlan(Info(0, 16, 10), &plan), PlanError::kNoVideo);
    EXPECT_EQ(MakeExportPlan(Info(16, 16, 0), &plan), PlanError::kNoVideo);
    OutputInfo small = Info(16, 16, 10);
    small.frame_bytes = 16 * 16 * 2;  // a 16-bit frame would be read past its end
    EXPECT_EQ(MakeExportPlan(small, &plan), PlanError::kVideoFormat);
    OutputInfo eight_bit = Info(16, 16, 10);
    eight_bit.passthrough_2[3] = 2;  // one byte per channel
    EXPECT_EQ(MakeExportPlan(eight_bit, &plan), PlanError::kAudioFormat);
}

TEST(WriterExportPlan, AFileThatWouldPassTwoGibibytesIsRefused) {
    ExportPlan plan;
    EXPECT_EQ(MakeExportPlan(Info(1920, 1080, 400), &plan), PlanError::kTooLarge);
    EXPECT_GT(plan.estimated_file_bytes, kMaxFileBytes);
    OutputInfo huge = Info(65535, 65535, 1, false);
    huge.frame_bytes = 0x7FFFFFFF;
    EXPECT_EQ(MakeExportPlan(huge, &plan), PlanError::kTooLarge) << "one frame beyond 32 bits";

    // At the edge: the largest frame count that fits, and one more.
    ASSERT_EQ(MakeExportPlan(Info(1920, 1080, 1, false), &plan), PlanError::kNone);
    const uint64_t first = plan.estimated_file_bytes;
    ASSERT_EQ(MakeExportPlan(Info(1920, 1080, 2, false), &plan), PlanError::kNone);
    const uint64_t per_frame = plan.estimated_file_bytes - first;
    const int32_t fitting = static_cast<int32_t>((kMaxFileBytes - (first - per_frame)) / per_frame);
    EXPECT_EQ(MakeExportPlan(Info(1920, 1080, fitting, false), &plan), PlanError::kNone);
    EXPECT_LE(plan.estimated_file_bytes, kMaxFileBytes);
    EXPECT_EQ(MakeExportPlan(Info(1920, 1080, fitting + 1, false), &plan), PlanError::kTooLarge);
}

TEST(WriterAudioSpans, SpansCoverTheAudioExactlyOnceInOrder) {
    const struct {
        int32_t frames;
        int32_t samples;
    } cases[] = {{30, 48000}, {30, 1001}, {7, 3}, {1000000, 0x7FFFFFFF}};
    for (const auto& c : cases) {
        ExportPlan plan;
        plan.audio = true;
        plan.frame_count = c.frames;
        plan.audio_samples = c.samples;
        int32_t expected_begin = 0;
        int32_t shortest = 0x7FFFFFFF, longest = 0;
        for (int32_t frame = 0; frame < c.frames; ++frame) {
            SampleSpan span = AudioSpanOfFrame(plan, frame);
            ASSERT_EQ(span.begin, expected_begin) << c.frames << " frames, frame " << frame;
            ASSERT_GE(span.end, span.begin);
            shortest = std::min(shortest, span.end - span.begin);
            longest = std::max(longest, span.end - span.begin);
            expected_begin = span.end;
        }
        EXPECT_EQ(expected_begin, c.samples) << c.frames << " frames";
        EXPECT_LE(longest - shortest, 1) << "the audio is spread evenly over " << c.frames << " frames";
    }
    ExportPlan silent;
    silent.frame_count = 10;
    EXPECT_EQ(AudioSpanOfFrame(silent, 3).end, 0);
}

TEST(WriterAudioStaging, SamplesAreHandedOutFromTheirPositionInTheBlock) {
    AudioStaging staging;
    ASSERT_TRUE(staging.Reserve(10, 4));
    staging.Restart(1000);
    std::vector<int16_t> first = {1, -1, 2, -2, 3, -3};  // three stereo samples
    std::vector<int16_t> second = {4, -4, 5, -5};
    ASSERT_TRUE(staging.Append(first.data(), 3));
    ASSERT_TRUE(staging.Append(second.data(), 2));
    EXPECT_EQ(staging.Available(999), 0);
    EXPECT_EQ(staging.Available(1000), 5);
    EXPECT_EQ(staging.Available(1003), 2);
    EXPECT_EQ(staging.Available(1005), 0);
    EXPECT_EQ(staging.At(1005), nullptr);
    int16_t pair[2];
    std::memcpy(pair, staging.At(1003), sizeof pair);
    EXPECT_EQ(pair[0], 4);
    EXPECT_EQ(pair[1], -4);
    staging.Restart(2000);
    EXPECT_EQ(staging.Available(1000), 0) << "a restart empties the block";
}

TEST(WriterAudioStaging, MoreThanTheCapacityIsRefusedWhole) {
    AudioStaging staging;
    ASSERT_TRUE(staging.Reserve(4, 4));
    std::vector<int16_t> samples(2 * 5, 7);
    staging.Restart(0);
    EXPECT_FALSE(staging.Append(samples.data(), 5));
    EXPECT_EQ(staging.Available(0), 0);
    EXPECT_TRUE(staging.Append(samples.data(), 3));
    EXPECT_FALSE(staging.Append(samples.data(), 2));
    EXPECT_TRUE(staging.Append(samples.data(), 1));
    EXPECT_EQ(staging.Available(0), 4);
    EXPECT_FALSE(staging.Reserve(0x40000000, 4)) << "a block beyond 32 bits";
}

}  // namespace
}  // namespace avi_writer
