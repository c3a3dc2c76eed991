#include "samples/lossless_avi/avi_layout.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace lossless_avi {

namespace {

constexpr uint32_t kHasIndex = 0x10;        // avih: an idx1 follows the first movi
constexpr uint32_t kIsInterleaved = 0x100;  // avih: audio sits beside its frames
constexpr uint32_t kKeyframe = 0x10;        // idx1: the chunk stands alone
constexpr uint8_t kIndexOfIndexes = 0;
constexpr uint8_t kIndexOfChunks = 1;
constexpr uint32_t kSuperIndexHeaderBytes = 24;
constexpr uint32_t kStandardIndexHeaderBytes = 24;
constexpr uint32_t kDmlhBytes = 248;
// What a closed segment holds besides its chunks and their index entries:
// the RIFF and movi headers, two standard index headers, idx1's header.
constexpr uint64_t kSegmentFrame = 256;
// A chunk's entries: 8 bytes in its standard index, 16 in idx1.
constexpr uint64_t kEntryBytes = 8 + 16;
// The index chunks go out in pieces of this many entries.
constexpr size_t kEntriesPerWrite = 4096;

const char kChunkIds[2][5] = {"00dc", "01wb"};
const char kIndexIds[2][5] = {"ix00", "ix01"};

void PutU32(uint8_t* out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

// Little-endian RIFF bytes into a vector, with chunk sizes filled in when a
// chunk ends.
class RiffBuilder {
public:
    explicit RiffBuilder(std::vector<uint8_t>* out) : out_(out) {}
    void U8(uint32_t value) { out_->push_back(static_cast<uint8_t>(value)); }
    void U16(uint32_t value) {
        U8(value);
        U8(value >> 8);
    }
    void U32(uint32_t value) {
        U16(value);
        U16(value >> 16);
    }
    void U64(uint64_t value) {
        U32(static_cast<uint32_t>(value));
        U32(static_cast<uint32_t>(value >> 32));
    }
    void Fourcc(const char* code) {
        for (int i = 0; i < 4; ++i) U8(static_cast<uint8_t>(code[i]));
    }
    void Zeros(size_t count) { out_->resize(out_->size() + count, 0); }
    // Opens a chunk (or a LIST of `list_type`); returns what End() takes.
    size_t Begin(const char* code, const char* list_type = nullptr) {
        Fourcc(code);
        const size_t size_at = out_->size();
        U32(0);
        if (list_type != nullptr) Fourcc(list_type);
        return size_at;
    }
    void End(size_t size_at) {
        PutU32(out_->data() + size_at, static_cast<uint32_t>(out_->size() - size_at - 4));
        if (out_->size() % 2 != 0) U8(0);
    }

private:
    std::vector<uint8_t>* out_;
};

uint32_t Clamp32(uint64_t value) { return value > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(value); }

}  // namespace

uint64_t SegmentsAtMost(const AviShape& shape, uint64_t segment_limit) {
    const uint64_t frames = shape.frame_count > 0 ? static_cast<uint64_t>(shape.frame_count) : 0;
    const uint64_t video_unit = 8 + static_cast<uint64_t>(shape.max_video_bytes) + 1 + kEntryBytes;
    uint64_t total = frames * video_unit;
    uint64_t largest = video_unit;
    if (shape.audio && shape.max_audio_bytes > 0 && shape.audio_samples > 0) {
        const uint64_t audio_bytes =
            static_cast<uint64_t>(shape.audio_samples) * static_cast<uint64_t>(shape.audio_block);
        const uint64_t chunks = frames + audio_bytes / shape.max_audio_bytes + 1;
        total += audio_bytes + chunks * (8 + 1 + kEntryBytes);
        largest = std::max<uint64_t>(largest, 8 + static_cast<uint64_t>(shape.max_audio_bytes) + 1 + kEntryBytes);
    }
    if (segment_limit <= largest + kSegmentFrame) return UINT64_MAX;
    // A segment closes only when the next chunk would not fit, so every
    // closed one holds at least this much; the first may hold the headers
    // instead, and the last is short.
    const uint64_t least_fill = segment_limit - largest - kSegmentFrame;
    return 2 + total / least_fill;
}

AviLayout::AviLayout(const AviShape& shape, uint64_t segment_limit) : shape_(shape), segment_limit_(segment_limit) {
    const uint64_t segments = SegmentsAtMost(shape, segment_limit);
    reserved_entries_ = segments > 0xFFFFu ? 0 : static_cast<uint32_t>(segments);
}

bool AviLayout::Fail(LayoutError error) {
    if (error_ == LayoutError::kNone) error_ = error;
    return false;
}

bool AviLayout::Write(const void* bytes, size_t size) {
    if (size == 0) return true;
    if (!sink_->Append(bytes, size)) return Fail(LayoutError::kSink);
    end_ += size;
    return true;
}

std::vector<uint8_t> AviLayout::Headers() const {
    std::vector<uint8_t> bytes;
    RiffBuilder out(&bytes);
    const size_t hdrl = out.Begin("LIST", "hdrl");

    const uint32_t largest = std::max(largest_chunk_[0], largest_chunk_[1]);
    const uint64_t audio_per_second =
        shape_.audio ? static_cast<uint64_t>(shape_.audio_rate) * static_cast<uint64_t>(shape_.audio_block) : 0;
    const size_t avih = out.Begin("avih");
    out.U32(Clamp32(1000000ull * static_cast<uint64_t>(shape_.scale) / static_cast<uint64_t>(shape_.rate)));
    out.U32(Clamp32(static_cast<uint64_t>(largest_chunk_[0]) * static_cast<uint64_t>(shape_.rate) /
                        static_cast<uint64_t>(shape_.scale) +
                    audio_per_second));
    out.U32(0);  // no padding granularity
    out.U32(kHasIndex | (shape_.audio ? kIsInterleaved : 0));
    out.U32(static_cast<uint32_t>(first_segment_frames_));
    out.U32(0);  // no initial frames
    out.U32(static_cast<uint32_t>(Streams()));
    out.U32(largest);
    out.U32(static_cast<uint32_t>(shape_.width));
    out.U32(static_cast<uint32_t>(shape_.height));
    out.Zeros(16);
    out.End(avih);

    for (int stream = 0; stream < Streams(); ++stream) {
        const bool video = stream == 0;
        const size_t strl = out.Begin("LIST", "strl");
        const size_t strh = out.Begin("strh");
        out.Fourcc(video ? "vids" : "auds");
        if (video) {
            out.Fourcc("MPNG");
        } else {
            out.U32(0);
        }
        out.U32(0);  // flags
        out.U16(0);  // priority
        out.U16(0);  // language
        out.U32(0);  // initial frames
        if (video) {
            out.U32(static_cast<uint32_t>(shape_.scale));
            out.U32(static_cast<uint32_t>(shape_.rate));
            out.U32(0);  // start
            out.U32(static_cast<uint32_t>(frames_));
        } else {
            // One tick is one sample frame.
            out.U32(static_cast<uint32_t>(shape_.audio_block));
            out.U32(static_cast<uint32_t>(audio_per_second));
            out.U32(0);
            out.U32(Clamp32(audio_bytes_ / static_cast<uint64_t>(shape_.audio_block)));
        }
        out.U32(largest_chunk_[stream]);
        out.U32(0xFFFFFFFFu);  // default quality
        out.U32(video ? 0 : static_cast<uint32_t>(shape_.audio_block));
        out.U16(0);
        out.U16(0);
        out.U16(video ? static_cast<uint32_t>(shape_.width) : 0);
        out.U16(video ? static_cast<uint32_t>(shape_.height) : 0);
        out.End(strh);

        const size_t strf = out.Begin("strf");
        if (video) {
            out.U32(40);
            out.U32(static_cast<uint32_t>(shape_.width));
            out.U32(static_cast<uint32_t>(shape_.height));
            out.U16(1);   // planes
            out.U16(24);  // bits per pixel once decoded
            out.Fourcc("MPNG");
            out.U32(Clamp32(static_cast<uint64_t>(shape_.width) * static_cast<uint64_t>(shape_.height) * 3));
            out.Zeros(16);
        } else {
            out.U16(1);  // PCM
            out.U16(static_cast<uint32_t>(shape_.audio_channels));
            out.U32(static_cast<uint32_t>(shape_.audio_rate));
            out.U32(static_cast<uint32_t>(audio_per_second));
            out.U16(static_cast<uint32_t>(shape_.audio_block));
            out.U16(16);
            out.U16(0);
        }
        out.End(strf);

        const size_t indx = out.Begin("indx");
        const std::vector<IndexEntry>& entries = super_[stream];
        out.U16(4);  // longs per entry
        out.U8(0);
        out.U8(kIndexOfIndexes);
        out.U32(static_cast<uint32_t>(entries.size()));
        out.Fourcc(kChunkIds[stream]);
        out.Zeros(12);
        for (const IndexEntry& entry : entries) {
            out.U64(entry.offset);
            out.U32(entry.bytes);
            out.U32(entry.duration);
        }
        out.Zeros(16 * (reserved_entries_ - entries.size()));
        out.End(indx);
        out.End(strl);
    }

    const size_t odml = out.Begin("LIST", "odml");
    const size_t dmlh = out.Begin("dmlh");
    out.U32(static_cast<uint32_t>(frames_));
    out.Zeros(kDmlhBytes - 4);
    out.End(dmlh);
    out.End(odml);
    out.End(hdrl);
    return bytes;
}

bool AviLayout::Begin(ByteSink* sink) {
    sink_ = sink;
    if (sink_ == nullptr || reserved_entries_ == 0 || shape_.rate <= 0 || shape_.scale <= 0 ||
        (shape_.audio && shape_.audio_block <= 0)) {
        return Fail(LayoutError::kIndexFull);
    }
    try {
        for (std::vector<IndexEntry>& entries : super_) entries.reserve(reserved_entries_);
        entries_.reserve(std::min<size_t>(static_cast<size_t>(shape_.frame_count) * Streams(), 1u << 20));
        scratch_.reserve(kEntriesPerWrite * 16);
        std::vector<uint8_t> riff;
        RiffBuilder out(&riff);
        out.Begin("RIFF", "AVI ");
        const std::vector<uint8_t> headers = Headers();
        riff.insert(riff.end(), headers.begin(), headers.end());
        segment_start_ = 0;
        movi_start_ = riff.size();
        out.Begin("LIST", "movi");
        segment_count_ = 1;
        return Write(riff.data(), riff.size());
    } catch (const std::bad_alloc&) {
        return Fail(LayoutError::kMemory);
    }
}

uint64_t AviLayout::SegmentBytesWith(uint64_t chunk_bytes) const {
    const uint64_t entries = entries_.size() + 1;
    uint64_t index = static_cast<uint64_t>(Streams()) * (8 + kStandardIndexHeaderBytes) + entries * 8;
    if (segment_count_ == 1) index += 8 + entries * 16;
    return end_ - segment_start_ + chunk_bytes + index;
}

bool AviLayout::AddVideo(const uint8_t* bytes, uint32_t size) { return AddChunk(0, bytes, size); }

bool AviLayout::AddAudio(const uint8_t* bytes, uint32_t size) {
    if (!shape_.audio) return Fail(LayoutError::kIndexFull);
    return AddChunk(1, bytes, size);
}

bool AviLayout::AddChunk(uint8_t stream, const uint8_t* bytes, uint32_t size) {
    if (error_ != LayoutError::kNone || sink_ == nullptr || segment_count_ == 0) return false;
    // Sizes in the standard index keep their top bit for "not a keyframe".
    if (size > 0x7FFFFFFFu) return Fail(LayoutError::kIndexFull);
    const uint64_t chunk_bytes = 8 + static_cast<uint64_t>(size) + (size & 1);
    if (!entries_.empty() && SegmentBytesWith(chunk_bytes) > segment_limit_) {
        if (!CloseSegment() || !OpenSegment()) return false;
    }
    try {
        entries_.push_back(Entry{end_, size, stream});
    } catch (const std::bad_alloc&) {
        return Fail(LayoutError::kMemory);
    }
    uint8_t header[8];
    std::memcpy(header, kChunkIds[stream], 4);
    PutU32(header + 4, size);
    const uint8_t pad = 0;
    if (!Write(header, sizeof header) || !Write(bytes, size) || ((size & 1) != 0 && !Write(&pad, 1))) return false;
    largest_chunk_[stream] = std::max(largest_chunk_[stream], size);
    if (stream == 0) {
        ++frames_;
    } else {
        audio_bytes_ += size;
    }
    return true;
}

bool AviLayout::WriteIndexChunk(uint8_t stream) {
    uint32_t count = 0;
    uint64_t bytes = 0;
    for (const Entry& entry : entries_) {
        if (entry.stream != stream) continue;
        ++count;
        bytes += entry.size;
    }
    if (count == 0) return true;
    std::vector<IndexEntry>& super = super_[stream];
    if (super.size() >= reserved_entries_) return Fail(LayoutError::kIndexFull);
    // Offsets count from the 'movi' of the segment, so that 32 bits reach
    // every chunk wherever the segment lies in the file.
    const uint64_t base = movi_start_ + 8;
    const uint32_t index_size = kStandardIndexHeaderBytes + 8 * count;
    super.push_back(
        IndexEntry{end_, 8 + index_size, stream == 0 ? count : static_cast<uint32_t>(bytes / shape_.audio_block)});

    scratch_.clear();
    RiffBuilder out(&scratch_);
    out.Fourcc(kIndexIds[stream]);
    out.U32(index_size);
    out.U16(2);  // longs per entry
    out.U8(0);
    out.U8(kIndexOfChunks);
    out.U32(count);
    out.Fourcc(kChunkIds[stream]);
    out.U64(base);
    out.U32(0);
    for (const Entry& entry : entries_) {
        if (entry.stream != stream) continue;
        // The offset of the data, after the chunk's header.
        out.U32(static_cast<uint32_t>(entry.offset + 8 - base));
        out.U32(entry.size);  // top bit clear: a keyframe
        if (scratch_.size() >= kEntriesPerWrite * 8) {
            if (!Write(scratch_.data(), scratch_.size())) return false;
            scratch_.clear();
        }
    }
    return Write(scratch_.data(), scratch_.size());
}

bool AviLayout::WriteOldIndex() {
    const uint64_t base = movi_start_ + 8;
    scratch_.clear();
    RiffBuilder out(&scratch_);
    out.Fourcc("idx1");
    out.U32(static_cast<uint32_t>(entries_.size() * 16));
    for (const Entry& entry : entries_) {
        out.Fourcc(kChunkIds[entry.stream]);
        out.U32(kKeyframe);
        // Old readers count from the 'movi' to the chunk's header.
        out.U32(static_cast<uint32_t>(entry.offset - base));
        out.U32(entry.size);
        if (scratch_.size() >= kEntriesPerWrite * 16) {
            if (!Write(scratch_.data(), scratch_.size())) return false;
            scratch_.clear();
        }
    }
    return Write(scratch_.data(), scratch_.size());
}

bool AviLayout::CloseSegment() {
    try {
        for (int stream = 0; stream < Streams(); ++stream) {
            if (!WriteIndexChunk(static_cast<uint8_t>(stream))) return false;
        }
        uint8_t size[4];
        PutU32(size, static_cast<uint32_t>(end_ - movi_start_ - 8));
        if (!sink_->Patch(movi_start_ + 4, size, sizeof size)) return Fail(LayoutError::kSink);
        if (segment_count_ == 1) {
            first_segment_frames_ = frames_;
            if (!WriteOldIndex()) return false;
        }
        PutU32(size, static_cast<uint32_t>(end_ - segment_start_ - 8));
        if (!sink_->Patch(segment_start_ + 4, size, sizeof size)) return Fail(LayoutError::kSink);
    } catch (const std::bad_alloc&) {
        return Fail(LayoutError::kMemory);
    }
    entries_.clear();
    return true;
}

bool AviLayout::OpenSegment() {
    uint8_t headers[24];
    std::memcpy(headers, "RIFF", 4);
    PutU32(headers + 4, 0);
    std::memcpy(headers + 8, "AVIX", 4);
    std::memcpy(headers + 12, "LIST", 4);
    PutU32(headers + 16, 0);
    std::memcpy(headers + 20, "movi", 4);
    segment_start_ = end_;
    movi_start_ = end_ + 12;
    ++segment_count_;
    return Write(headers, sizeof headers);
}

bool AviLayout::Finish() {
    if (error_ != LayoutError::kNone || sink_ == nullptr || segment_count_ == 0) return false;
    if (!CloseSegment()) return false;
    try {
        const std::vector<uint8_t> headers = Headers();
        // Right after RIFF 'AVI ', at the size they were written with.
        if (!sink_->Patch(12, headers.data(), headers.size())) return Fail(LayoutError::kSink);
    } catch (const std::bad_alloc&) {
        return Fail(LayoutError::kMemory);
    }
    return true;
}

}  // namespace lossless_avi
