// A sub-plugin's output function for native exports that checks everything
// it receives: every byte of every frame (against frame_pattern, in the
// format it asked for), every flag, and, from a second thread of its own if
// the plan asks for one, audio, progress, preview and abort checks made while
// the first thread reads video.
//
// The editor's contract for video: a frame's pointer is valid until the next
// video call by anyone. A sub-plugin with two threads therefore keeps its
// video calls, and its use of their bytes, under a mutex of its own; its
// other service calls may run concurrently.
#pragma once

#include <atomic>
#include <cstdint>
#include <set>

#include "plugin/output_plugin.h"
#include "tests/common/access_pattern.h"

namespace checking_output {

struct Plan {
    access_pattern::Pattern pattern = access_pattern::Pattern::Sequential;
    access_pattern::FormatPlan formats = access_pattern::FormatPlan::Default;
    int requests = 0;  // video requests (each followed by the frame's flag)
    uint32_t seed = 1;
    bool second_thread = false;
    int16_t* editor_audio = nullptr;  // what the editor's get_audio hands out
    int result = 0;                   // what output returns
};

struct Verdict {
    long video_requests = 0;  // frames received and checked byte by byte
    long wrong_bytes = 0;     // over all of them; a null frame counts all its bytes
    long flag_requests = 0;
    long wrong_flags = 0;
    long audio_requests = 0;
    long wrong_audio = 0;          // an answer other than the editor's pointer and count
    long abort_seen = 0;           // is_abort calls that answered "cancelled"
    std::set<int> asked_past_end;  // frames at or after frame_count that were asked for
};

// The plan of the next export; resets the verdict.
void Prepare(const Plan& plan);
int Output(OutputInfo* info);
// Read after the export has ended.
const Verdict& Result();

}  // namespace checking_output
