#include "samples/avi_writer/writer_plan.h"

#include <cstring>
#include <new>

#include "samples/common/record_bytes.h"

namespace avi_writer {

namespace {
const char kRecordMagic[4] = {'A', 'V', 'W', 'R'};
constexpr uint32_t kRecordVersion = 1;
constexpr int32_t kRecordHeaderBytes = 16;
constexpr int32_t kMaxCost = 100000;

// What the AVI library adds around the data: the header lists (it reserves
// a few KiB; this is generous), and per chunk its 8-byte header, a pad byte
// for an odd size, and a 16-byte entry in the index written at the end.
constexpr uint64_t kHeaderReserve = 64 * 1024;
constexpr uint64_t kChunkOverhead = 8 + 1 + 16;

using sample_record::GetU32;
using sample_record::PutU32;

size_t PathLength(const WriterSettings& settings) { return sample_record::TextLength(settings.path, kPathBytes); }
}  // namespace

int32_t SettingsRecordSize(const WriterSettings& settings) {
    return kRecordHeaderBytes + static_cast<int32_t>(PathLength(settings));
}

int32_t WriteSettingsRecord(const WriterSettings& settings, void* data, int32_t size) {
    const int32_t needed = SettingsRecordSize(settings);
    if (data == nullptr || size < needed) return 0;
    auto* out = static_cast<uint8_t*>(data);
    std::memcpy(out, kRecordMagic, 4);
    PutU32(out + 4, kRecordVersion);
    PutU32(out + 8, static_cast<uint32_t>(settings.cost));
    PutU32(out + 12, static_cast<uint32_t>(needed - kRecordHeaderBytes));
    std::memcpy(out + kRecordHeaderBytes, settings.path, static_cast<size_t>(needed - kRecordHeaderBytes));
    return needed;
}

int32_t ReadSettingsRecord(const void* data, int32_t size, WriterSettings* settings) {
    if (data == nullptr || size < kRecordHeaderBytes) return 0;
    const auto* in = static_cast<const uint8_t*>(data);
    if (std::memcmp(in, kRecordMagic, 4) != 0 || GetU32(in + 4) != kRecordVersion) return 0;
    const uint32_t cost = GetU32(in + 8);
    const uint32_t length = GetU32(in + 12);
    if (cost > static_cast<uint32_t>(kMaxCost) || length >= kPathBytes ||
        length > static_cast<uint32_t>(size - kRecordHeaderBytes)) {
        return 0;
    }
    // A NUL inside would silently shorten the path.
    if (std::memchr(in + kRecordHeaderBytes, '\0', length) != nullptr) return 0;
    WriterSettings restored;
    restored.cost = static_cast<int32_t>(cost);
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
    if (image_bytes > 0x7FFFFFFF) return PlanError::kTooLarge;
    // The writer reads a whole 24-bit frame from every buffer it is given;
    // a smaller frame would be read past its end.
    if (info.frame_bytes < image_bytes) return PlanError::kVideoFormat;
    made.width = info.width;
    made.height = info.height;
    made.frame_count = info.frame_count;
    made.image_bytes = static_cast<int32_t>(image_bytes);
    made.rate = info.passthrough_1[0];
    made.scale = info.passthrough_1[1];
    if (made.rate <= 0 || made.scale <= 0) {
        // A host that gives no rate still gets a playable file.
        made.rate = 30;
        made.scale = 1;
    }

    const int32_t audio_rate = info.passthrough_2[0];
    const int32_t audio_channels = info.passthrough_2[1];
    const int32_t audio_samples = info.passthrough_2[2];
    const int32_t audio_block = info.passthrough_2[3];
    if (audio_samples > 0 && audio_rate > 0 && audio_channels > 0) {
        if (audio_channels > 8 || audio_block != audio_channels * 2) return PlanError::kAudioFormat;
        made.audio = true;
        made.audio_rate = audio_rate;
        made.audio_channels = audio_channels;
        made.audio_samples = audio_samples;
        made.audio_block = audio_block;
    }

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

SampleSpan AudioSpanOfFrame(const ExportPlan& plan, int32_t frame) {
    if (!plan.audio || frame < 0 || frame >= plan.frame_count) return {0, 0};
    auto edge = [&](int64_t f) { return static_cast<int32_t>(f * plan.audio_samples / plan.frame_count); };
    return {edge(frame), edge(static_cast<int64_t>(frame) + 1)};
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
