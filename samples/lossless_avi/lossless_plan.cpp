#include "samples/lossless_avi/lossless_plan.h"

#include <algorithm>
#include <cstdint>

#include "samples/lossless_avi/png_frame.h"

namespace lossless_avi {

namespace {
// The record's fields in order: a level outside zlib's is refused.
sample_record::Fields RecordFields(LosslessSettings* settings) {
    return {sample_record::Number(&settings->level, kMinLevel, kMaxLevel), sample_record::Text(settings->path)};
}
}  // namespace

const sample_record::Format<LosslessSettings> kSettingsRecord = {{'L', 'L', 'A', 'V'}, 1, RecordFields};

PlanError MakeExportPlan(const OutputInfo& info, ExportPlan* plan) {
    ExportPlan made;
    if (!sample_plan::ReadVideo(info, &made)) return PlanError::kNoVideo;
    const int64_t image_bytes = sample_plan::Rgb24FrameBytes(info.width, info.height);
    const uint64_t png_bytes = PngWorstCaseBytes(info.width, info.height);
    if (image_bytes > 0x7FFFFFFF || png_bytes == 0 || png_bytes > kMaxFrameBytes) return PlanError::kTooLarge;
    // Every frame is read whole from the editor's buffer; a smaller one
    // would be read past its end.
    if (info.frame_bytes < image_bytes) return PlanError::kVideoFormat;
    made.image_bytes = static_cast<int32_t>(image_bytes);
    // The sample reads a second of audio at a time.
    if (!sample_plan::ReadAudio(info, sample_plan::kHighestAudioRate, &made)) return PlanError::kAudioFormat;

    AviShape& avi = made.avi;
    avi.width = made.width;
    avi.height = made.height;
    avi.rate = made.rate;
    avi.scale = made.scale;
    avi.frame_count = made.frame_count;
    avi.max_video_bytes = static_cast<uint32_t>(png_bytes);
    if (made.audio) {
        made.audio_chunk_samples = made.audio_rate;
        const int64_t longest_span =
            (static_cast<int64_t>(made.audio_samples) + made.frame_count - 1) / made.frame_count;
        avi.audio = true;
        avi.audio_rate = made.audio_rate;
        avi.audio_channels = made.audio_channels;
        avi.audio_block = made.audio_block;
        avi.audio_samples = made.audio_samples;
        avi.max_audio_bytes =
            static_cast<uint32_t>(std::min<int64_t>(longest_span, made.audio_rate) * made.audio_block);
    }
    if (SegmentsAtMost(avi) > kMaxSegments) return PlanError::kTooLarge;
    *plan = made;
    return PlanError::kNone;
}

}  // namespace lossless_avi
