// The sample encoder's decisions that do not touch Windows: its settings
// record, the plan of one export (streams, sizes, the 2 GiB refusal), and
// the audio that goes with each frame.
#pragma once

#include <cstddef>
#include <cstdint>

#include "plugin/output_plugin.h"

namespace avi_writer {

constexpr size_t kPathBytes = 260;

struct WriterSettings {
    char path[kPathBytes] = {};  // code page 932, NUL-terminated; empty: none
    int32_t cost = 0;            // encoding passes per frame
};

// The record that the host stores: "AVWR", version, cost, path length, then
// the path's bytes without a NUL.
int32_t SettingsRecordSize(const WriterSettings& settings);
// Returns the bytes written, or 0 when `size` is too small.
int32_t WriteSettingsRecord(const WriterSettings& settings, void* data, int32_t size);
// Returns the bytes taken, or 0 for a record that is not ours, of another
// version, truncated or carrying a bad value; `settings` is then unchanged.
int32_t ReadSettingsRecord(const void* data, int32_t size, WriterSettings* settings);

enum class PlanError {
    kNone,
    kNoVideo,      // a frame size or count that is not a picture
    kVideoFormat,  // frame_bytes smaller than the 24-bit frame the writer reads
    kAudioFormat,  // audio other than 16-bit PCM
    kTooLarge,     // the file would pass 2 GiB
};

struct ExportPlan {
    int32_t width = 0;
    int32_t height = 0;
    int32_t frame_count = 0;
    int32_t image_bytes = 0;  // one bottom-up 24-bit DIB, rows padded to 4 bytes
    int32_t rate = 0;
    int32_t scale = 0;
    bool audio = false;
    int32_t audio_rate = 0;
    int32_t audio_channels = 0;
    int32_t audio_samples = 0;
    int32_t audio_block = 0;  // bytes per sample frame
    uint64_t estimated_file_bytes = 0;
};

// The largest file the AVI library writes correctly: past 2 GiB it corrupts
// the file while reporting success.
constexpr uint64_t kMaxFileBytes = 0x7FFFFFFFull;

PlanError MakeExportPlan(const OutputInfo& info, ExportPlan* plan);

// The samples [begin, end) that are interleaved after `frame`; the spans of
// all frames cover the audio exactly once.
struct SampleSpan {
    int32_t begin;
    int32_t end;
};
SampleSpan AudioSpanOfFrame(const ExportPlan& plan, int32_t frame);

// Audio read ahead from the host in blocks of up to `capacity` sample frames
// and handed out per frame from here. Under the relay every audio request is
// a round trip that waits for the editor's thread to finish the frame it is
// producing; one request per block instead of one per frame keeps that wait
// rare.
class AudioStaging {
public:
    AudioStaging() = default;
    ~AudioStaging();
    AudioStaging(const AudioStaging&) = delete;
    AudioStaging& operator=(const AudioStaging&) = delete;

    bool Reserve(int32_t capacity, int32_t block_bytes);
    int32_t Capacity() const { return capacity_; }
    // Empties the buffer; the next samples appended start at `position`.
    void Restart(int32_t position);
    // False, appending nothing, when `count` samples do not fit.
    bool Append(const void* samples, int32_t count);
    // How many buffered samples follow `position` (0 outside the buffer),
    // and where they are.
    int32_t Available(int32_t position) const;
    const uint8_t* At(int32_t position) const;

private:
    uint8_t* bytes_ = nullptr;
    int32_t capacity_ = 0;
    int32_t block_bytes_ = 0;
    int32_t begin_ = 0;
    int32_t count_ = 0;
};

}  // namespace avi_writer
