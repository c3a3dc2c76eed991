// The lossless sample's decisions that do not touch Windows: its settings
// record, the plan of one export (sizes, the audio it takes, the shape of
// its AVI), the audio that goes with each frame, and the name it writes to
// until the file is complete.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "plugin/output_plugin.h"
#include "samples/lossless_avi/avi_layout.h"

namespace lossless_avi {

constexpr size_t kPathBytes = 260;
// zlib's own default: most of the size of level 9 for far less time.
constexpr int32_t kDefaultLevel = 6;

struct LosslessSettings {
    int32_t level = kDefaultLevel;  // zlib's, 1 (fastest) .. 9 (smallest)
    char path[kPathBytes] = {};     // code page 932, NUL-terminated; used when the editor names no file
};

// The record that the host stores: "LLAV", version, level, path length,
// then the path's bytes without a NUL.
int32_t SettingsRecordSize(const LosslessSettings& settings);
// Returns the bytes written, or 0 when `size` is too small.
int32_t WriteSettingsRecord(const LosslessSettings& settings, void* data, int32_t size);
// Returns the bytes taken, or 0 for a record that is not ours, of another
// version, truncated, with a level outside 1..9, or a path too long or with
// a NUL inside; `settings` is then unchanged.
int32_t ReadSettingsRecord(const void* data, int32_t size, LosslessSettings* settings);

enum class PlanError {
    kNone,
    kNoVideo,      // a frame size or count that is not a picture
    kVideoFormat,  // frame_bytes smaller than the 24-bit frame the sample reads
    kAudioFormat,  // audio other than 16-bit PCM
    kTooLarge,     // a frame, or the whole file, beyond what the AVI can index
};

// The largest compressed frame the sample accepts: a quarter of a segment,
// so that a segment always holds several.
constexpr uint64_t kMaxFrameBytes = kSegmentBytes / 4;
// Room for this many segments (64 TiB) in each stream's super index.
constexpr uint64_t kMaxSegments = 0xFFFF;

struct ExportPlan {
    int32_t width = 0;
    int32_t height = 0;
    int32_t frame_count = 0;
    int32_t image_bytes = 0;  // one bottom-up 24-bit DIB, rows padded to 4 bytes
    bool audio = false;
    int32_t audio_rate = 0;
    int32_t audio_channels = 0;
    int32_t audio_samples = 0;
    int32_t audio_block = 0;          // bytes per sample frame
    int32_t audio_chunk_samples = 0;  // the most read, and written, at once: a second
    AviShape avi;
};

PlanError MakeExportPlan(const OutputInfo& info, ExportPlan* plan);

// The samples [begin, end) that are interleaved after `frame`; the spans of
// all frames cover the audio exactly once.
struct SampleSpan {
    int32_t begin;
    int32_t end;
};
SampleSpan AudioSpanOfFrame(const ExportPlan& plan, int32_t frame);

// Where the export is written until it is complete: the file's name with
// ".partial" before its extension. An older file of the final name
// survives a failure, and a player never opens a file still being written.
// UTF-8: in code page 932 a character's second byte may be a backslash.
std::string PartialPath(const std::string& path);

}  // namespace lossless_avi
