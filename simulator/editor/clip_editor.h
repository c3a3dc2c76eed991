// An editor whose export is the synthetic clip (test_clip.h), produced at a
// cost per frame that stands in for the editor's filters: the host
// simulator's and the native benchmark's.
//
// How it fills the OutputInfo, as the editor would:
//   flags          1 = the clip has video, | 2 = it has audio. The editor's
//                  flag bits are opaque to the relay; these are this
//                  simulator's own, and the sample encoders do not rely on them.
//   width, height  the clip's frame size in pixels.
//   passthrough_1  the frame rate as (rate, scale): rate / scale frames per second.
//   frame_count    frames 0 .. frame_count - 1.
//   frame_bytes    one format-0 frame: 24-bit BGR rows, bottom-up, each row
//                  padded to a multiple of 4 bytes (a DIB).
//   passthrough_2  the audio as (audio_rate 48000, audio_ch 2, audio_n = total
//                  samples per channel, audio_size 4 = bytes per sample frame);
//                  all four are 0 for a clip without audio.
//   passthrough_3  a char* to the output file name (code page 932), null when
//                  there is none: that is how the editor tells an encoder
//                  where to write.
#pragma once

#include <cstdint>

#include "simulator/editor/service_editor.h"
#include "simulator/editor/test_clip.h"

namespace editor_sim {

class ClipEditor : public Editor {
public:
    explicit ClipEditor(ForeignCalls foreign, Clock clock = SteadyNanoseconds) : Editor(foreign, clock) {}

    // False for a clip that the editor's records cannot carry.
    bool SetUp(const ClipShape& shape) { return clip_.SetUp(shape); }
    const ClipShape& Shape() const { return clip_.Shape(); }
    OutputInfo Info(const char* file_name);
    // Smoothing passes per frame served.
    int32_t host_cost = 0;
    // Keeps the production cost from being optimised away.
    uint32_t CostSink() const { return cost_sink_; }

protected:
    void* ProduceVideo(int frame, uint32_t format) override;
    void* Audio(int start, int length, int* read) override;
    int Flag(int frame) override { return clip_.Flag(frame); }

private:
    TestClip clip_;
    uint32_t cost_sink_ = 0;
};

}  // namespace editor_sim
