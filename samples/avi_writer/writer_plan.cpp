#include "samples/avi_writer/writer_plan.h"

#include <cstdint>
#include <cstring>
#include <new>

namespace avi_writer {

namespace {
// What the AVI library adds around the data: the header lists (it reserves
// a few KiB; this is generous), and per chunk its 8-byte header, a pad byte
// for an odd size, and a 16-byte entry in the index written at the end.
constexpr uint64_t kHeaderReserve = 64 * 1024;
constexpr uint64_t kChunkOverhead = 8 + 1 + 16;

// The record's fields in order: a cost beyond the dialog's range is refused.
sample_record::Fields RecordFields(WriterSettings* settings) {
    return {sample_record::Number(&settings->cost, 0, kMaxCost), sample_record::Text(settings->path)};
}
}  // namespace

const sample_record::Format<WriterSettings> kSettingsRecord = {{'A', 'V', 'W', 'R'}, 1, RecordFields};

PlanError MakeExportPlan(const OutputInfo& info, ExportPlan* plan) {
    ExportPlan made;
    if (!sample_plan::ReadVideo(info, &made)) return PlanError::kNoVideo;
    const int64_t image_bytes = sample_plan::Rgb24FrameBytes(info.width, info.height);
    if (image_bytes > 0x7FFFFFFF) return PlanError::kTooLarge;
    // The writer reads a whole 24-bit frame from every buffer it is given;
    // a smaller frame would be read past its end.
    if (info.frame_bytes < image_bytes) return PlanError::kVideoFormat;
    made.image_bytes = static_cast<int32_t>(image_bytes);
    // Any rate: a second of audio that does not fit in memory is reported
    // when the export asks for it.
    if (!sample_plan::ReadAudio(info, INT32_MAX, &made)) return PlanError::kAudioFormat;

    uint64_t bytes = kHeaderReserve;
    bytes += static_cast<uint64_t>(made.frame_count) * (static_cast<uint64_t>(made.image_bytes) + kChunkOverhead);
    if (made.audio) {
        bytes += static_cast<uint64_t>(made.audio_samples) * static_cast<uint64_t>(made.audio_block);
        bytes += static_cast<uint64_t>(made.frame_count) * kChunkOverhead;
    }
    made.estimated_file_bytes = bytes;
    *plan = made;
    return bytes > kMaxFileBytes ? PlanError::kTooLarge : PlanError::kNone;
}

AudioStaging::~AudioStaging() { delete[] bytes_; }

bool AudioStaging::Reserve(int32_t capacity, int32_t block_bytes) {
    delete[] bytes_;
    bytes_ = nullptr;
    capacity_ = 0;
    block_bytes_ = 0;
    Restart(0);
    if (capacity <= 0 || block_bytes <= 0 || static_cast<int64_t>(capacity) * block_bytes > 0x7FFFFFFF) return false;
    bytes_ = new (std::nothrow) uint8_t[static_cast<size_t>(capacity) * static_cast<size_t>(block_bytes)];
    if (bytes_ == nullptr) return false;
    capacity_ = capacity;
    block_bytes_ = block_bytes;
    return true;
}

void AudioStaging::Restart(int32_t position) {
    begin_ = position;
    count_ = 0;
}

bool AudioStaging::Append(const void* samples, int32_t count) {
    if (samples == nullptr || count < 0 || count > capacity_ - count_) return false;
    std::memcpy(bytes_ + static_cast<size_t>(count_) * block_bytes_, samples,
                static_cast<size_t>(count) * static_cast<size_t>(block_bytes_));
    count_ += count;
    return true;
}

int32_t AudioStaging::Available(int32_t position) const {
    if (position < begin_ || position - begin_ >= count_) return 0;
    return count_ - (position - begin_);
}

const uint8_t* AudioStaging::At(int32_t position) const {
    return Available(position) > 0 ? bytes_ + static_cast<size_t>(position - begin_) * block_bytes_ : nullptr;
}

}  // namespace avi_writer
