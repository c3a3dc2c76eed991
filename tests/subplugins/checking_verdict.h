// What the checking sub-plugin is told by the editor through the fields of
// OutputInfo that the relay passes through unchanged, and what it reports
// back through the call record ("output", with this verdict as its bytes).
#pragma once

#include <cstdint>

namespace checking_verdict {

// OutputInfo.passthrough_2[] of the editor's record.
constexpr int kFormatPlanField = 0;  // access_pattern::FormatPlan
constexpr int kPatternField = 1;     // access_pattern::Pattern
constexpr int kRequestsField = 2;    // video requests; 0: frame_count of them
constexpr int kResultField = 3;      // what output returns

// OutputInfo.passthrough_1[0]: options.
constexpr int32_t kSecondThread = 1;  // a thread of its own makes the other service calls meanwhile
constexpr int32_t kEndsItsThread = 2;  // ends the output thread itself instead of returning
// OutputInfo.passthrough_1[1]: the seed of the random pattern.

struct Verdict {
    int32_t video_calls;     // get_video / get_video_ex calls
    int32_t frames_checked;  // frames taken as good (is_abort answered 0 after them)
    int32_t wrong_bytes;     // over the frames taken as good
    int32_t null_frames;
    int32_t flags_checked;
    int32_t wrong_flags;
    int32_t abort_at;           // index of the request after which is_abort first answered nonzero; -1: never
    int32_t audio_after_abort;  // 1 when audio after the abort came back null with a count of 0
    int32_t audio_calls;        // made by the second thread
    int32_t wrong_audio;
    int32_t asked_past_end;     // bit k: frame frame_count + k was asked for
    int32_t ole_result;         // OleInitialize on the output thread
    uint32_t thread_id;
    int32_t thread_priority;
};

}  // namespace checking_verdict
