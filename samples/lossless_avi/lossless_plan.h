// The lossless sample's decisions that do not touch Windows: its settings
// record, the plan of one export (sizes, the audio it takes, the shape of
// its AVI), the audio that goes with each frame, and the name it writes to
// until the file is complete.
#pragma once

#include <cstddef>
#include <cstdint>

#include "plugin/output_plugin.h"
#include "samples/common/export_plan.h"
#include "samples/common/settings_record.h"
#include "samples/lossless_avi/avi_layout.h"

namespace lossless_avi {

constexpr size_t kPathBytes = 260;
// zlib's own default: most of the size of level 9 for far less time.
constexpr int32_t kDefaultLevel = 6;

struct LosslessSettings {
    int32_t level = kDefaultLevel;  // zlib's, 1 (fastest) .. 9 (smallest)
    char path[kPathBytes] = {};     // code page 932, NUL-terminated; used when the editor names no file
};

// The record that the host stores: "LLAV", version 1, the level, then the
// path (its length, then its bytes without a NUL).
extern const sample_record::Format<LosslessSettings> kSettingsRecord;

// The sample refuses no picture (kNoVideo), frames smaller than the 24-bit
// frame it reads (kVideoFormat), audio other than 16-bit PCM (kAudioFormat),
// and a frame, or the whole file, beyond what the AVI can index (kTooLarge).
using sample_plan::PlanError;

// The largest compressed frame the sample accepts: a quarter of a segment,
// so that a segment always holds several.
constexpr uint64_t kMaxFrameBytes = kSegmentBytes / 4;
// Room for this many segments (64 TiB) in each stream's super index.
constexpr uint64_t kMaxSegments = 0xFFFF;

struct ExportPlan : sample_plan::Streams {
    int32_t image_bytes = 0;          // one bottom-up 24-bit DIB, rows padded to 4 bytes
    int32_t audio_chunk_samples = 0;  // the most read, and written, at once: a second
    AviShape avi;
};

PlanError MakeExportPlan(const OutputInfo& info, ExportPlan* plan);

// The audio interleaved after each frame.
using sample_plan::AudioSpanOfFrame;
using sample_plan::SampleSpan;

// The export is written as "<name>.partial.avi" until it is complete.
using sample_plan::PartialPath;

}  // namespace lossless_avi
