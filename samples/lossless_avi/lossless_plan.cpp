#include "samples/lossless_avi/lossless_plan.h"

#include <algorithm>
#include <cstring>

#include "samples/common/record_bytes.h"
#include "samples/lossless_avi/png_frame.h"

namespace lossless_avi {

namespace {
const char kRecordMagic[4] = {'L', 'L', 'A', 'V'};
constexpr uint32_t kRecordVersion = 1;
constexpr int32_t kRecordHeaderBytes = 16;
// The sample reads a second of audio at a time; a rate beyond any real one
// would make that second larger than the address space.
constexpr int32_t kMaxAudioRate = 768000;

using sample_record::GetU32;
using sample_record::PutU32;

size_t PathLength(const LosslessSettings& settings) { return sample_record::TextLength(settings.path, kPathBytes); }
}  // namespace

int32_t SettingsRecordSize(const LosslessSettings& settings) {
    return kRecordHeaderBytes + static_cast<int32_t>(PathLength(settings));
}

int32_t WriteSettingsRecord(const LosslessSettings& settings, void* data, int32_t size) {
    const int32_t needed = SettingsRecordSize(settings);
    if (data == nullptr || size < needed) return 0;
    auto* out = static_cast<uint8_t*>(data);
    std::memcpy(out, kRecordMagic, 4);
    PutU32(out + 4, kRecordVersion);
    PutU32(out + 8, static_cast<uint32_t>(settings.level));
    PutU32(out + 12, static_cast<uint32_t>(needed - kRecordHeaderBytes));
    std::memcpy(out + kRecordHeaderBytes, settings.path, static_cast<size_t>(needed - kRecordHeaderBytes));
    return needed;
}

int32_t ReadSettingsRecord(const void* data, int32_t size, LosslessSettings* settings) {
    if (data == nullptr || size < kRecordHeaderBytes) return 0;
    const auto* in = static_cast<const uint8_t*>(data);
    if (std::memcmp(in, kRecordMagic, 4) != 0 || GetU32(in + 4) != kRecordVersion) return 0;
    const uint32_t level = GetU32(in + 8);
    const uint32_t length = GetU32(in + 12);
    if (level < static_cast<uint32_t>(kMinLevel) || level > static_cast<uint32_t>(kMaxLevel) || length >= kPathBytes ||
        length > static_cast<uint32_t>(size - kRecordHeaderBytes)) {
        return 0;
    }
    // A NUL inside would silently shorten the path.
    if (std::memchr(in + kRecordHeaderBytes, '\0', length) != nullptr) return 0;
    LosslessSettings restored;
    restored.level = static_cast<int32_t>(level);
    std::memcpy(restored.path, in + kRecordHeaderBytes, length);
    restored.path[length] = '\0';
    *settings = restored;
    return kRecordHeaderBytes + static_cast<int32_t>(length);
}

PlanError MakeExportPlan(const OutputInfo& info, ExportPlan* plan) {
    ExportPlan made;
    if (info.width <= 0 || info.height <= 0 || info.frame_count <= 0) return PlanError::kNoVideo;
    const int64_t row_bytes = (static_cast<int64_t>(info.width) * 3 + 3) / 4 * 4;
    const int64_t image_bytes = row_bytes * info.height;
    const uint64_t png_bytes = PngWorstCaseBytes(info.width, info.height);
    if (image_bytes > 0x7FFFFFFF || png_bytes == 0 || png_bytes > kMaxFrameBytes) return PlanError::kTooLarge;
    // Every frame is read whole from the editor's buffer; a smaller one
    // would be read past its end.
    if (info.frame_bytes < image_bytes) return PlanError::kVideoFormat;
    made.width = info.width;
    made.height = info.height;
    made.frame_count = info.frame_count;
    made.image_bytes = static_cast<int32_t>(image_bytes);

    AviShape& avi = made.avi;
    avi.width = info.width;
    avi.height = info.height;
    avi.rate = info.passthrough_1[0];
    avi.scale = info.passthrough_1[1];
    if (avi.rate <= 0 || avi.scale <= 0) {
        // A host that gives no rate still gets a playable file.
        avi.rate = 30;
        avi.scale = 1;
    }
    avi.frame_count = info.frame_count;
    avi.max_video_bytes = static_cast<uint32_t>(png_bytes);

    const int32_t audio_rate = info.passthrough_2[0];
    const int32_t audio_channels = info.passthrough_2[1];
    const int32_t audio_samples = info.passthrough_2[2];
    const int32_t audio_block = info.passthrough_2[3];
    if (audio_samples > 0 && audio_rate > 0 && audio_channels > 0) {
        if (audio_channels > 8 || audio_block != audio_channels * 2 || audio_rate > kMaxAudioRate) {
            return PlanError::kAudioFormat;
        }
        made.audio = true;
        made.audio_rate = audio_rate;
        made.audio_channels = audio_channels;
        made.audio_samples = audio_samples;
        made.audio_block = audio_block;
        made.audio_chunk_samples = audio_rate;
        const int64_t longest_span = (static_cast<int64_t>(audio_samples) + info.frame_count - 1) / info.frame_count;
        avi.audio = true;
        avi.audio_rate = audio_rate;
        avi.audio_channels = audio_channels;
        avi.audio_block = audio_block;
        avi.audio_samples = audio_samples;
        avi.max_audio_bytes = static_cast<uint32_t>(std::min<int64_t>(longest_span, audio_rate) * audio_block);
    }
    if (SegmentsAtMost(avi) > kMaxSegments) return PlanError::kTooLarge;
    *plan = made;
    return PlanError::kNone;
}

SampleSpan AudioSpanOfFrame(const ExportPlan& plan, int32_t frame) {
    if (!plan.audio || frame < 0 || frame >= plan.frame_count) return {0, 0};
    auto edge = [&](int64_t f) { return static_cast<int32_t>(f * plan.audio_samples / plan.frame_count); };
    return {edge(frame), edge(static_cast<int64_t>(frame) + 1)};
}

std::string PartialPath(const std::string& path) {
    const size_t name = path.find_last_of("\\/:");
    const size_t start = name == std::string::npos ? 0 : name + 1;
    const size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || dot <= start) return path + ".partial";
    return path.substr(0, dot) + ".partial" + path.substr(dot);
}

}  // namespace lossless_avi
