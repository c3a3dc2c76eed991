// Where every byte of the lossless sample's AVI goes, without Windows: the
// headers, the interleaved chunks, the indexes, and the OpenDML extension
// that lets the file grow past the 1 GiB that a plain AVI reader expects
// and past the 4 GiB that its 32-bit sizes can count.
//
// The file is a chain of RIFF segments of at most `segment_limit` bytes
// (1 GiB, the size old readers are safe with): the first is RIFF 'AVI '
// with the headers, its 'movi' list and an 'idx1' index of its own chunks;
// each further one is RIFF 'AVIX' with a 'movi' list only. Every 'movi'
// ends with one standard index per stream ('ix00', 'ix01') whose entries
// are 32-bit offsets from the segment's start, and the headers hold a
// super index per stream ('indx') that points at them, with room reserved
// for the most segments the export can need. 'dmlh' holds the total frame
// count, 'avih' the first segment's, as the extension asks.
//
// The headers are written first with zeros for what only the end knows,
// and rewritten in place, at their same size, once the last chunk is in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace lossless_avi {

constexpr uint64_t kSegmentBytes = 1ull << 30;

// Where the layout's bytes go: the file, or memory in the tests.
class ByteSink {
public:
    virtual ~ByteSink() = default;
    // Appends at the end.
    virtual bool Append(const void* bytes, size_t size) = 0;
    // Overwrites bytes appended before; the end stays where it is.
    virtual bool Patch(uint64_t offset, const void* bytes, size_t size) = 0;
};

struct AviShape {
    int32_t width = 0;
    int32_t height = 0;
    int32_t rate = 0;  // frames per `scale` seconds
    int32_t scale = 0;
    int32_t frame_count = 0;
    uint32_t max_video_bytes = 0;  // the largest video chunk the export can write
    bool audio = false;
    int32_t audio_rate = 0;
    int32_t audio_channels = 0;
    int32_t audio_block = 0;  // bytes per sample frame (16-bit PCM)
    int32_t audio_samples = 0;
    uint32_t max_audio_bytes = 0;  // the largest audio chunk
};

// The most segments a file of this shape can take: every video chunk as
// large as it can be, and each frame's audio in chunks of at most
// max_audio_bytes (one chunk for a frame whose audio fits).
uint64_t SegmentsAtMost(const AviShape& shape, uint64_t segment_limit = kSegmentBytes);

enum class LayoutError {
    kNone,
    kSink,       // the sink refused bytes; it knows why
    kMemory,     // an index could not grow
    kIndexFull,  // more segments than reserved, or chunks beyond the shape
};

class AviLayout {
public:
    explicit AviLayout(const AviShape& shape, uint64_t segment_limit = kSegmentBytes);
    AviLayout(const AviLayout&) = delete;
    AviLayout& operator=(const AviLayout&) = delete;

    // Each returns false on the first failure; Error() says which. Video
    // chunks are PNG images: every one is a keyframe. Audio chunks hold
    // whole sample frames.
    bool Begin(ByteSink* sink);
    bool AddVideo(const uint8_t* bytes, uint32_t size);
    bool AddAudio(const uint8_t* bytes, uint32_t size);
    bool Finish();
    LayoutError Error() const { return error_; }

    // What was written, for the tests and the messages.
    int32_t Segments() const { return static_cast<int32_t>(segment_count_); }
    uint64_t FileBytes() const { return end_; }

private:
    struct Entry {
        uint64_t offset;  // of the chunk's header
        uint32_t size;    // of its data
        uint8_t stream;
    };
    struct IndexEntry {
        uint64_t offset;  // of the standard index chunk
        uint32_t bytes;   // the whole chunk, header included
        uint32_t duration;
    };

    bool AddChunk(uint8_t stream, const uint8_t* bytes, uint32_t size);
    bool OpenSegment();
    bool CloseSegment();
    bool Write(const void* bytes, size_t size);
    bool Fail(LayoutError error);
    uint64_t SegmentBytesWith(uint64_t chunk_bytes) const;
    bool WriteIndexChunk(uint8_t stream);
    bool WriteOldIndex();
    std::vector<uint8_t> Headers() const;
    int Streams() const { return shape_.audio ? 2 : 1; }

    AviShape shape_;
    uint64_t segment_limit_;
    uint32_t reserved_entries_;  // super index entries per stream
    ByteSink* sink_ = nullptr;
    LayoutError error_ = LayoutError::kNone;

    uint64_t end_ = 0;
    uint64_t segment_start_ = 0;  // its RIFF header
    uint64_t movi_start_ = 0;     // its LIST header
    uint32_t segment_count_ = 0;
    std::vector<Entry> entries_;  // this segment's chunks
    std::vector<IndexEntry> super_[2];
    std::vector<uint8_t> scratch_;  // an index chunk on its way out

    int32_t frames_ = 0;
    int32_t first_segment_frames_ = 0;
    uint64_t audio_bytes_ = 0;
    uint32_t largest_chunk_[2] = {0, 0};
};

}  // namespace lossless_avi
