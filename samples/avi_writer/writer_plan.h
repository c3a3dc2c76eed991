// The sample encoder's decisions that do not touch Windows: its settings
// record, the plan of one export (streams, sizes, the 2 GiB refusal), and
// the audio that goes with each frame.
#pragma once

#include <cstddef>
#include <cstdint>

#include "plugin/output_plugin.h"
#include "samples/common/export_plan.h"
#include "samples/common/settings_record.h"

namespace avi_writer {

constexpr size_t kPathBytes = 260;
constexpr int32_t kMaxCost = 100000;

struct WriterSettings {
    char path[kPathBytes] = {};  // code page 932, NUL-terminated; empty: none
    int32_t cost = 0;            // encoding passes per frame, 0 .. kMaxCost
};

// The record that the host stores: "AVWR", version 1, the cost, then the
// path (its length, then its bytes without a NUL).
extern const sample_record::Format<WriterSettings> kSettingsRecord;

// The writer refuses no picture (kNoVideo), frames smaller than the 24-bit
// frame it reads (kVideoFormat), audio other than 16-bit PCM (kAudioFormat)
// and a file that would pass 2 GiB (kTooLarge).
using sample_plan::PlanError;

struct ExportPlan : sample_plan::Streams {
    int32_t image_bytes = 0;  // one bottom-up 24-bit DIB, rows padded to 4 bytes
    uint64_t estimated_file_bytes = 0;
};

// The largest file the AVI library writes correctly: past 2 GiB it corrupts
// the file while reporting success.
constexpr uint64_t kMaxFileBytes = 0x7FFFFFFFull;

PlanError MakeExportPlan(const OutputInfo& info, ExportPlan* plan);

// The audio interleaved after each frame.
using sample_plan::AudioSpanOfFrame;
using sample_plan::SampleSpan;

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
