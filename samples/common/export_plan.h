// What every sample reads the same way from the editor's description of an
// export (OutputInfo), before it writes anything: the picture and its rate,
// and the audio if it is 16-bit PCM; then the audio that goes with each
// frame, and the name a file is written under until it is complete. A sample's own plan (writer_plan.h,
// pipe_plan.h, lossless_plan.h) adds what its file needs and decides what it
// refuses. Nothing here touches Windows: the native tests run it.
#pragma once

#include <cstdint>
#include <string>

#include "plugin/output_plugin.h"

namespace sample_plan {

// Why a sample refuses an export before its file exists. Each sample
// returns the refusals that apply to what it writes.
enum class PlanError {
    kNone,
    kNoVideo,      // a frame size or count that is not a picture
    kOddSize,      // a width or height that the format needs even
    kVideoFormat,  // frame_bytes smaller than the frame the sample reads
    kAudioFormat,  // audio other than 16-bit PCM
    kTooLarge,     // a frame, or the whole file, beyond what the sample's file can hold
};

// The streams of an export as every sample plans them.
struct Streams {
    int32_t width = 0;
    int32_t height = 0;
    int32_t frame_count = 0;
    int32_t rate = 0;  // frames per `scale` seconds
    int32_t scale = 0;
    bool audio = false;
    int32_t audio_rate = 0;
    int32_t audio_channels = 0;
    int32_t audio_samples = 0;
    int32_t audio_block = 0;  // bytes per sample frame
};

// The picture: false when its size or frame count is not positive. A host
// that gives no rate still gets a playable file, at 30 frames a second.
bool ReadVideo(const OutputInfo& info, Streams* streams);

// A rate beyond any real one. A sample that reads a second of audio at a
// time refuses more: that second could outgrow the address space.
constexpr int32_t kHighestAudioRate = 768000;

// The audio, when the editor has any: false for audio other than 16-bit PCM
// of at most 8 channels, or at a rate above `max_rate`.
bool ReadAudio(const OutputInfo& info, int32_t max_rate, Streams* streams);

// One bottom-up 24-bit DIB, the editor's own frame: rows padded to 4 bytes.
int64_t Rgb24FrameBytes(int32_t width, int32_t height);

// The samples [begin, end) that are interleaved after `frame`; the spans of
// all frames cover the audio exactly once.
struct SampleSpan {
    int32_t begin;
    int32_t end;
};
SampleSpan AudioSpanOfFrame(const Streams& streams, int32_t frame);

// Where an export is written until it is complete: the file's name with
// ".partial" before its extension, so that the extension still says what
// the file is. An older file of the final name survives a failure, and a
// player never opens a file still being written. UTF-8: in code page 932 a
// character's second byte may be a backslash.
std::string PartialPath(const std::string& path);

}  // namespace sample_plan
