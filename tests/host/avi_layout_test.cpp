// The lossless sample's AVI layout, with segments made small so that a few
// kilobytes of chunks span several RIFFs: read back by a RIFF walker of the
// test's own through every index the file carries, and by ffmpeg, which
// must decode every frame and sample of a file of several segments.
#include "samples/lossless_avi/avi_layout.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "samples/lossless_avi/png_frame.h"
#include "simulator/editor/test_clip.h"

namespace lossless_avi {
namespace {

class MemorySink : public ByteSink {
public:
    bool Append(const void* bytes, size_t size) override {
        // One write fails, as a full disk's would; the sink itself would
        // take the next.
        if (appends_left_-- == 0) return false;
        const auto* in = static_cast<const uint8_t*>(bytes);
        file.insert(file.end(), in, in + size);
        return true;
    }
    bool Patch(uint64_t offset, const void* bytes, size_t size) override {
        if (offset + size > file.size()) return false;
        std::memcpy(file.data() + offset, bytes, size);
        return true;
    }
    void FailAt(int appends) { appends_left_ = appends; }
    std::vector<uint8_t> file;

private:
    int appends_left_ = -1;
};

uint32_t Le32(const std::vector<uint8_t>& file, uint64_t at) {
    if (at + 4 > file.size()) return 0;
    const uint8_t* in = file.data() + at;
    return static_cast<uint32_t>(in[0]) | static_cast<uint32_t>(in[1]) << 8 | static_cast<uint32_t>(in[2]) << 16 |
           static_cast<uint32_t>(in[3]) << 24;
}

uint64_t Le64(const std::vector<uint8_t>& file, uint64_t at) {
    return Le32(file, at) | static_cast<uint64_t>(Le32(file, at + 4)) << 32;
}

std::string Fourcc(const std::vector<uint8_t>& file, uint64_t at) {
    if (at + 4 > file.size()) return "????";
    return std::string(reinterpret_cast<const char*>(file.data() + at), 4);
}

struct Chunk {
    std::string id;
    std::vector<uint8_t> data;
};

// What a reader finds in the file, by each way it can look.
struct ReadBack {
    std::string error;
    std::vector<std::string> riffs;                            // 'AVI ', 'AVIX', ...
    std::vector<uint64_t> riff_bytes;                          // each whole RIFF, header included
    std::vector<Chunk> movi;                                   // every '00dc'/'01wb' in file order
    std::map<std::string, std::vector<Chunk>> by_super_index;  // per stream, through indx and ix##
    std::vector<Chunk> by_idx1;
    uint32_t avih_frames = 0;
    uint32_t dmlh_frames = 0;
    uint32_t strh_length[2] = {0, 0};
    uint64_t super_duration[2] = {0, 0};
    uint64_t first_movi = 0;  // of the 'movi' fourcc in the first RIFF
};

void ReadIndexChunk(const std::vector<uint8_t>& file, uint64_t at, uint32_t bytes, ReadBack* out) {
    const std::string id = Fourcc(file, at);
    if (id != "ix00" && id != "ix01") {
        out->error = "a super index entry points at '" + id + "'";
        return;
    }
    if (Le32(file, at + 4) + 8 != bytes) out->error = "a super index entry has the wrong size for " + id;
    const uint32_t count = Le32(file, at + 12);
    const std::string chunk_id = Fourcc(file, at + 16);
    const uint64_t base = Le64(file, at + 20);
    if (file[at + 8] != 2 || file[at + 11] != 1) out->error = id + " is not an index of chunks";
    for (uint32_t i = 0; i < count; ++i) {
        const uint64_t entry = at + 32 + 8 * static_cast<uint64_t>(i);
        const uint64_t data = base + Le32(file, entry);
        const uint32_t size = Le32(file, entry + 4);
        if (size & 0x80000000u) out->error = id + " marks a chunk as not a keyframe";
        if (Fourcc(file, data - 8) != chunk_id || Le32(file, data - 4) != size || data + size > file.size()) {
            out->error = id + " entry " + std::to_string(i) + " does not point at a " + chunk_id + " chunk";
            return;
        }
        out->by_super_index[chunk_id].push_back({chunk_id, {file.begin() + data, file.begin() + data + size}});
    }
}

// Walks a list's children from `at` to `end`.
void Walk(const std::vector<uint8_t>& file, uint64_t at, uint64_t end, ReadBack* out, int riff);

void ReadChunk(const std::vector<uint8_t>& file, const std::string& id, uint64_t data, uint32_t size, ReadBack* out,
               int riff) {
    if (id == "LIST") {
        const std::string type = Fourcc(file, data);
        if (type == "movi" && riff == 0) out->first_movi = data;
        Walk(file, data + 4, data + size, out, riff);
    } else if (id == "avih") {
        out->avih_frames = Le32(file, data + 16);
    } else if (id == "dmlh") {
        out->dmlh_frames = Le32(file, data);
    } else if (id == "strh") {
        out->strh_length[Fourcc(file, data) == "vids" ? 0 : 1] = Le32(file, data + 32);
    } else if (id == "indx") {
        const uint32_t entries = Le32(file, data + 4);
        const int stream = Fourcc(file, data + 8) == "00dc" ? 0 : 1;
        for (uint32_t i = 0; i < entries; ++i) {
            const uint64_t entry = data + 24 + 16 * static_cast<uint64_t>(i);
            out->super_duration[stream] += Le32(file, entry + 12);
            ReadIndexChunk(file, Le64(file, entry), Le32(file, entry + 8), out);
        }
    } else if (id == "00dc" || id == "01wb") {
        out->movi.push_back({id, {file.begin() + data, file.begin() + data + size}});
    } else if (id == "idx1") {
        for (uint32_t i = 0; i < size / 16; ++i) {
            const uint64_t entry = data + 16 * static_cast<uint64_t>(i);
            const uint64_t chunk = out->first_movi + Le32(file, entry + 8);
            const uint32_t chunk_size = Le32(file, entry + 12);
            if (Fourcc(file, chunk) != Fourcc(file, entry) || Le32(file, chunk + 4) != chunk_size) {
                out->error = "idx1 entry " + std::to_string(i) + " does not point at its chunk";
                return;
            }
            out->by_idx1.push_back(
                {Fourcc(file, entry), {file.begin() + chunk + 8, file.begin() + chunk + 8 + chunk_size}});
        }
    }
}

void Walk(const std::vector<uint8_t>& file, uint64_t at, uint64_t end, ReadBack* out, int riff) {
    while (at + 8 <= end && out->error.empty()) {
        const std::string id = Fourcc(file, at);
        const uint32_t size = Le32(file, at + 4);
        if (at + 8 + size > end) {
            out->error = "'" + id + "' runs past its list";
            return;
        }
        ReadChunk(file, id, at + 8, size, out, riff);
        at += 8 + size + (size & 1);
    }
}

ReadBack Read(const std::vector<uint8_t>& file) {
    ReadBack out;
    uint64_t at = 0;
    while (at < file.size() && out.error.empty()) {
        if (Fourcc(file, at) != "RIFF") {
            out.error = "no RIFF at " + std::to_string(at);
            break;
        }
        const uint32_t size = Le32(file, at + 4);
        if (at + 8 + size > file.size()) {
            out.error = "a RIFF runs past the end of the file";
            break;
        }
        out.riffs.push_back(Fourcc(file, at + 8));
        out.riff_bytes.push_back(8 + static_cast<uint64_t>(size));
        Walk(file, at + 12, at + 8 + size, &out, static_cast<int>(out.riffs.size()) - 1);
        at += 8 + size;
    }
    return out;
}

AviShape Shape(int32_t frames, uint32_t max_video, uint32_t max_audio) {
    AviShape shape;
    shape.width = 16;
    shape.height = 8;
    shape.rate = 30000;
    shape.scale = 1001;
    shape.frame_count = frames;
    shape.max_video_bytes = max_video;
    shape.audio = max_audio > 0;
    shape.audio_rate = 48000;
    shape.audio_channels = 2;
    shape.audio_block = 4;
    shape.audio_samples = static_cast<int32_t>(frames * (max_audio / 4));
    shape.max_audio_bytes = max_audio;
    return shape;
}

std::vector<uint8_t> Bytes(std::mt19937* random, uint32_t size) {
    std::vector<uint8_t> bytes(size);
    for (uint8_t& byte : bytes) byte = static_cast<uint8_t>((*random)());
    return bytes;
}

TEST(AviLayout, EveryIndexOfAFileOfManySegmentsFindsEveryChunk) {
    // Small segments, so that a few kilobytes need several; the last row's
    // chunks are all as large as the shape allows, the worst case the
    // super index is reserved for.
    const struct {
        const char* what;
        int32_t frames;
        uint32_t max_video;
        uint32_t max_audio;
        bool largest;
        uint64_t segment_limit;
    } rows[] = {
        {"one segment, video only", 5, 301, 0, false, kSegmentBytes},
        {"one segment with audio", 7, 501, 400, false, kSegmentBytes},
        {"several segments, chunks of odd sizes", 200, 777, 200, false, 8192},
        {"several segments of the largest chunks", 120, 999, 400, true, 6000},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const AviShape shape = Shape(row.frames, row.max_video, row.max_audio);
        std::mt19937 random(17);
        MemorySink sink;
        AviLayout layout(shape, row.segment_limit);
        ASSERT_TRUE(layout.Begin(&sink));
        std::vector<Chunk> written;
        for (int32_t frame = 0; frame < row.frames; ++frame) {
            const uint32_t video_size = row.largest ? row.max_video : 1 + random() % row.max_video;
            written.push_back({"00dc", Bytes(&random, video_size)});
            ASSERT_TRUE(layout.AddVideo(written.back().data.data(), video_size)) << "frame " << frame;
            if (shape.audio) {
                written.push_back({"01wb", Bytes(&random, row.max_audio)});
                ASSERT_TRUE(layout.AddAudio(written.back().data.data(), row.max_audio)) << "frame " << frame;
            }
        }
        ASSERT_TRUE(layout.Finish()) << static_cast<int>(layout.Error());
        EXPECT_EQ(layout.FileBytes(), sink.file.size());

        const ReadBack back = Read(sink.file);
        ASSERT_EQ(back.error, "");
        ASSERT_FALSE(back.riffs.empty());
        EXPECT_EQ(back.riffs[0], "AVI ");
        for (size_t i = 1; i < back.riffs.size(); ++i) EXPECT_EQ(back.riffs[i], "AVIX") << "RIFF " << i;
        for (size_t i = 0; i < back.riff_bytes.size(); ++i) {
            EXPECT_LE(back.riff_bytes[i], row.segment_limit) << "RIFF " << i;
        }
        EXPECT_EQ(static_cast<uint64_t>(layout.Segments()), back.riffs.size());
        EXPECT_LE(back.riffs.size(), SegmentsAtMost(shape, row.segment_limit));
        if (row.segment_limit < kSegmentBytes) {
            EXPECT_GE(back.riffs.size(), 3u) << "the test spans segments";
        }

        ASSERT_EQ(back.movi.size(), written.size());
        for (size_t i = 0; i < written.size(); ++i) {
            ASSERT_EQ(back.movi[i].id, written[i].id) << "chunk " << i;
            ASSERT_EQ(back.movi[i].data, written[i].data) << "chunk " << i;
        }
        // Through the super indexes: each stream's chunks, in order.
        std::map<std::string, std::vector<Chunk>> per_stream;
        for (const Chunk& chunk : written) per_stream[chunk.id].push_back(chunk);
        for (const auto& [id, chunks] : per_stream) {
            const std::vector<Chunk>& found = back.by_super_index.at(id);
            ASSERT_EQ(found.size(), chunks.size()) << id;
            for (size_t i = 0; i < chunks.size(); ++i) ASSERT_EQ(found[i].data, chunks[i].data) << id << " " << i;
        }
        // idx1: the first RIFF's chunks only, as old readers see the file.
        ASSERT_LE(back.by_idx1.size(), written.size());
        for (size_t i = 0; i < back.by_idx1.size(); ++i) ASSERT_EQ(back.by_idx1[i].data, written[i].data) << i;
        size_t first_frames = 0;
        for (const Chunk& chunk : back.by_idx1) first_frames += chunk.id == "00dc";
        EXPECT_EQ(back.avih_frames, first_frames) << "avih counts the first RIFF's frames";
        if (back.riffs.size() == 1) {
            EXPECT_EQ(back.by_idx1.size(), written.size());
        }

        EXPECT_EQ(back.dmlh_frames, static_cast<uint32_t>(row.frames));
        EXPECT_EQ(back.strh_length[0], static_cast<uint32_t>(row.frames));
        EXPECT_EQ(back.super_duration[0], static_cast<uint64_t>(row.frames));
        if (shape.audio) {
            const uint64_t samples = static_cast<uint64_t>(row.frames) * row.max_audio / 4;
            EXPECT_EQ(back.strh_length[1], samples);
            EXPECT_EQ(back.super_duration[1], samples);
        }
    }
}

TEST(AviLayout, AWriteThatFailsFailsTheFileEvenIfLaterWritesWouldSucceed) {
    // The header, a chunk's header, its data, a later segment's index.
    for (int appends : {0, 1, 2, 40}) {
        MemorySink sink;
        sink.FailAt(appends);
        AviLayout layout(Shape(50, 900, 400), 4096);
        bool ok = layout.Begin(&sink);
        for (int frame = 0; ok && frame < 50; ++frame) {
            const std::vector<uint8_t> video(900, 1);
            const std::vector<uint8_t> audio(400, 2);
            ok = layout.AddVideo(video.data(), 900) && layout.AddAudio(audio.data(), 400);
        }
        EXPECT_FALSE(ok) << "the failing write at append " << appends << " is reported";
        EXPECT_EQ(layout.Error(), LayoutError::kSink) << "after " << appends << " appends";
        const std::vector<uint8_t> more(10, 3);
        EXPECT_FALSE(layout.AddVideo(more.data(), 10)) << "after " << appends << " appends";
        EXPECT_FALSE(layout.Finish()) << "no file is completed after a failure at append " << appends;
    }
}

// A Unix program's whole standard output.
std::string Output(const std::string& command) {
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return output;
    char buffer[65536];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, n);
    pclose(pipe);
    return output;
}

TEST(AviLayout, FfmpegDecodesEveryFrameAndSampleOfAFileOfSeveralSegments) {
    if (Output("command -v ffmpeg").empty()) GTEST_SKIP() << "no ffmpeg";
    // An odd width, so that every DIB row is padded.
    const int32_t width = 37, height = 24, frames = 90;
    const int32_t samples_per_frame = 1601;
    PngFrameEncoder encoder;
    ASSERT_TRUE(encoder.Prepare(width, height, 6));
    AviShape shape = Shape(frames, static_cast<uint32_t>(PngWorstCaseBytes(width, height)), samples_per_frame * 4);
    shape.width = width;
    shape.height = height;
    MemorySink sink;
    AviLayout layout(shape, 64 * 1024);
    ASSERT_TRUE(layout.Begin(&sink));
    editor_sim::ClipShape clip_shape;
    clip_shape.width = width;
    clip_shape.height = height;
    clip_shape.frame_count = frames;
    editor_sim::TestClip clip;
    ASSERT_TRUE(clip.SetUp(clip_shape));
    std::string expected_video;
    std::string expected_audio;
    for (int32_t frame = 0; frame < frames; ++frame) {
        const uint8_t* dib = clip.Frame(frame, 0);
        const size_t png = encoder.Encode(dib);
        ASSERT_GT(png, 0u);
        ASSERT_TRUE(layout.AddVideo(encoder.Png(), static_cast<uint32_t>(png)));
        const size_t stride = static_cast<size_t>(editor_sim::DibRowBytes(width));
        for (int32_t y = 0; y < height; ++y) {
            expected_video.append(reinterpret_cast<const char*>(dib + (height - 1 - y) * stride), width * 3);
        }
        std::vector<int16_t> pairs(2 * samples_per_frame);
        for (int32_t i = 0; i < samples_per_frame; ++i) {
            editor_sim::ToneSample(static_cast<int64_t>(frame) * samples_per_frame + i, &pairs[2 * i]);
        }
        expected_audio.append(reinterpret_cast<const char*>(pairs.data()), pairs.size() * 2);
        ASSERT_TRUE(layout.AddAudio(reinterpret_cast<const uint8_t*>(pairs.data()), samples_per_frame * 4));
    }
    ASSERT_TRUE(layout.Finish());
    ASSERT_GE(layout.Segments(), 3);

    char name[] = "/tmp/avi_layout_test.XXXXXX";
    const int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    FILE* file = fdopen(fd, "wb");
    ASSERT_EQ(std::fwrite(sink.file.data(), 1, sink.file.size(), file), sink.file.size());
    std::fclose(file);
    const std::string avi = std::string("'") + name + "'";
    const std::string video =
        Output("ffmpeg -nostdin -v error -i " + avi + " -map 0:v -f rawvideo -pix_fmt bgr24 - 2>&1");
    const std::string audio = Output("ffmpeg -nostdin -v error -i " + avi + " -map 0:a -f s16le - 2>&1");
    const std::string probe = Output(
        "ffprobe -v error -select_streams v:0 -show_entries stream=codec_name,codec_tag_string,"
        "nb_frames -of csv=p=0 " +
        avi + " 2>&1");
    std::remove(name);
    EXPECT_EQ(probe, "png,MPNG,90\n");
    EXPECT_EQ(video.size(), expected_video.size()) << video.substr(0, 300);
    EXPECT_TRUE(video == expected_video) << "every frame decodes to the clip's own, top row first";
    EXPECT_EQ(audio.size(), expected_audio.size()) << audio.substr(0, 300);
    EXPECT_TRUE(audio == expected_audio) << "every sample decodes to the clip's tone";
}

}  // namespace
}  // namespace lossless_avi
