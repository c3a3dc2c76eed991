// The lossless sample's decisions: its settings record, the plan of an
// export and the name it writes to until the file is complete.
#include "samples/lossless_avi/lossless_plan.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace lossless_avi {
namespace {

LosslessSettings Settings(int32_t level, const char* path) {
    LosslessSettings settings;
    settings.level = level;
    std::snprintf(settings.path, sizeof settings.path, "%s", path);
    return settings;
}

std::vector<uint8_t> Record(const LosslessSettings& settings) {
    std::vector<uint8_t> bytes(static_cast<size_t>(kSettingsRecord.Size(settings)));
    EXPECT_EQ(kSettingsRecord.Write(settings, bytes.data(), static_cast<int32_t>(bytes.size())),
              static_cast<int32_t>(bytes.size()));
    return bytes;
}

void PutU32(std::vector<uint8_t>* bytes, size_t offset, uint32_t value) {
    for (int i = 0; i < 4; ++i) (*bytes)[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

// "ソ表" in code page 932: both trail bytes are 0x5C, the path separator.
const char kJapanesePath[] = "C:\\\x83\\\x95\\\\out.avi";

TEST(LosslessSettingsRecord, EveryLevelAndPathSurvivesARoundTrip) {
    const std::string longest(kPathBytes - 1, 'p');
    for (const LosslessSettings& saved :
         {LosslessSettings(), Settings(1, kJapanesePath), Settings(9, ""), Settings(6, longest.c_str())}) {
        const std::vector<uint8_t> bytes = Record(saved);
        EXPECT_EQ(bytes.size(), 16 + std::strlen(saved.path));
        LosslessSettings restored = Settings(3, "previous");
        EXPECT_EQ(kSettingsRecord.Read(bytes.data(), static_cast<int32_t>(bytes.size()), &restored),
                  static_cast<int32_t>(bytes.size()));
        EXPECT_EQ(restored.level, saved.level);
        EXPECT_STREQ(restored.path, saved.path);
    }
    EXPECT_EQ(LosslessSettings().level, 6) << "zlib's default for a new plugin";
}

TEST(LosslessSettingsRecord, ForeignDamagedOrOutOfRangeRecordsChangeNothing) {
    // level 4 at 8, path "ab" at 16.
    const std::vector<uint8_t> good = Record(Settings(4, "ab"));
    ASSERT_EQ(good.size(), 18u);
    struct Damage {
        const char* what;
        void (*apply)(std::vector<uint8_t>*);
    };
    const Damage damages[] = {
        {"another magic", [](std::vector<uint8_t>* b) { (*b)[3] = 'X'; }},
        {"the ffmpeg sample's magic", [](std::vector<uint8_t>* b) { std::memcpy(b->data(), "FFPI", 4); }},
        {"version 2", [](std::vector<uint8_t>* b) { PutU32(b, 4, 2); }},
        {"cut inside the path", [](std::vector<uint8_t>* b) { b->pop_back(); }},
        {"cut inside the header", [](std::vector<uint8_t>* b) { b->resize(15); }},
        {"level 0", [](std::vector<uint8_t>* b) { PutU32(b, 8, 0); }},
        {"level 10", [](std::vector<uint8_t>* b) { PutU32(b, 8, 10); }},
        {"a negative level", [](std::vector<uint8_t>* b) { PutU32(b, 8, 0xFFFFFFFF); }},
        {"a path length past the record", [](std::vector<uint8_t>* b) { PutU32(b, 12, 3); }},
        {"a path of 260 bytes",
         [](std::vector<uint8_t>* b) {
             PutU32(b, 12, 260);
             b->insert(b->end(), 258, 'p');
         }},
        {"a NUL inside the path", [](std::vector<uint8_t>* b) { (*b)[16] = '\0'; }},
    };
    for (const Damage& damage : damages) {
        std::vector<uint8_t> bytes = good;
        damage.apply(&bytes);
        LosslessSettings restored = Settings(2, "kept");
        EXPECT_EQ(kSettingsRecord.Read(bytes.data(), static_cast<int32_t>(bytes.size()), &restored), 0) << damage.what;
        EXPECT_EQ(restored.level, 2) << damage.what;
        EXPECT_STREQ(restored.path, "kept") << damage.what;
    }
    LosslessSettings restored;
    EXPECT_EQ(kSettingsRecord.Read(nullptr, 18, &restored), 0);
    std::vector<uint8_t> small(good.size() - 1, 0xEE);
    EXPECT_EQ(kSettingsRecord.Write(Settings(4, "ab"), small.data(), static_cast<int32_t>(small.size())), 0);
    EXPECT_EQ(small[0], 0xEE) << "a buffer too small gets nothing";
}

OutputInfo Info(int32_t width, int32_t height, int32_t frames, bool audio = true) {
    OutputInfo info;
    std::memset(&info, 0, sizeof info);
    info.width = width;
    info.height = height;
    info.frame_count = frames;
    info.frame_bytes = (width * 3 + 3) / 4 * 4 * height;
    info.passthrough_1[0] = 30000;
    info.passthrough_1[1] = 1001;
    if (audio) {
        info.passthrough_2[0] = 48000;
        info.passthrough_2[1] = 2;
        info.passthrough_2[2] = 48048;
        info.passthrough_2[3] = 4;
    }
    return info;
}

TEST(LosslessExportPlan, TheFileIsShapedForTheEditorsFramesAndAudio) {
    ExportPlan plan;
    ASSERT_EQ(MakeExportPlan(Info(33, 17, 30), &plan), PlanError::kNone);
    EXPECT_EQ(plan.image_bytes, 100 * 17) << "rows of 99 bytes padded to 100";
    EXPECT_EQ(plan.avi.rate, 30000);
    EXPECT_EQ(plan.avi.scale, 1001);
    EXPECT_TRUE(plan.avi.audio);
    EXPECT_EQ(plan.audio_chunk_samples, 48000) << "a second at a time";
    EXPECT_EQ(plan.avi.max_audio_bytes, 1602u * 4) << "48048 samples over 30 frames, rounded up";

    OutputInfo one_frame = Info(16, 16, 1);
    ASSERT_EQ(MakeExportPlan(one_frame, &plan), PlanError::kNone);
    EXPECT_EQ(plan.avi.max_audio_bytes, 48000u * 4) << "a frame's audio longer than a second goes in seconds";

    OutputInfo no_rate = Info(16, 16, 10, false);
    no_rate.passthrough_1[0] = 0;
    ASSERT_EQ(MakeExportPlan(no_rate, &plan), PlanError::kNone);
    EXPECT_EQ(plan.avi.rate, 30);
    EXPECT_EQ(plan.avi.scale, 1);
    EXPECT_FALSE(plan.avi.audio);
}

TEST(LosslessExportPlan, WhatTheSampleCannotWriteIsRefusedBeforeAnyFileExists) {
    OutputInfo short_frames = Info(33, 17, 30);
    short_frames.frame_bytes = 99 * 17;  // rows without their padding
    OutputInfo eight_bit = Info(16, 16, 10);
    eight_bit.passthrough_2[3] = 2;
    OutputInfo fast_audio = Info(16, 16, 10);
    fast_audio.passthrough_2[0] = 1000000;
    fast_audio.passthrough_2[2] = 1000000;
    const struct {
        const char* what;
        OutputInfo info;
        PlanError error;
    } rows[] = {
        {"no width", Info(0, 16, 10), PlanError::kNoVideo},
        {"no frames", Info(16, 16, 0), PlanError::kNoVideo},
        {"frames smaller than a 24-bit DIB", short_frames, PlanError::kVideoFormat},
        {"8-bit audio", eight_bit, PlanError::kAudioFormat},
        {"a second of audio beyond any real rate", fast_audio, PlanError::kAudioFormat},
        {"a frame whose PNG may pass a quarter of a segment", Info(10000, 10000, 1, false), PlanError::kTooLarge},
        {"more segments than the super index holds", Info(3840, 2160, 0x7FFFFFFF, false), PlanError::kTooLarge},
        {"a long 4K export", Info(3840, 2160, 30 * 3600 * 4), PlanError::kNone},
    };
    for (const auto& row : rows) {
        ExportPlan plan;
        EXPECT_EQ(MakeExportPlan(row.info, &plan), row.error) << row.what;
    }
}

TEST(LosslessPartialPath, ThePartialNameKeepsTheExtensionAndTheFolder) {
    const struct {
        const char* path;
        const char* partial;
    } rows[] = {
        {"C:\\video\\out.avi", "C:\\video\\out.partial.avi"},
        {"C:\\video.d\\out", "C:\\video.d\\out.partial"},
        {"out.avi", "out.partial.avi"},
        {"Z:/tmp/a.b.avi", "Z:/tmp/a.b.partial.avi"},
        {"C:\\\xe8\xa1\xa8\\\xe3\x82\xbd.avi", "C:\\\xe8\xa1\xa8\\\xe3\x82\xbd.partial.avi"},  // UTF-8 表\ソ.avi
    };
    for (const auto& row : rows) EXPECT_EQ(PartialPath(row.path), row.partial) << row.path;
}

}  // namespace
}  // namespace lossless_avi
