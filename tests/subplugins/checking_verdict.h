// What the checking sub-plugin is told by the editor through the fields of
// OutputInfo that the relay passes through unchanged, and what it reports
// back through the call record ("output", with this verdict as its bytes).
// The fields keep the meaning the editor gives those that the isolated
// module reads: passthrough_2[3] is the size of one audio sample, and
// passthrough_3 points at a string (the editor's output file name).
#pragma once

#include <cstdint>
#include <cstdio>
#include <limits>

namespace checking_verdict {

// OutputInfo.passthrough_2[] of the editor's record.
constexpr int kPlanAndPatternField = 0;  // access_pattern::FormatPlan | access_pattern::Pattern << 8
constexpr int kRequestsField = 1;        // video requests; 0: frame_count of them
constexpr int kResultField = 2;          // what output returns
constexpr int kSampleBytesField = 3;     // the editor's audio: one 16-bit channel
constexpr int32_t kSampleBytes = 2;

inline int32_t PlanAndPattern(int plan, int pattern) { return plan | pattern << 8; }
inline int PlanOf(int32_t field) { return field & 0xFF; }
inline int PatternOf(int32_t field) { return field >> 8 & 0xFF; }

// The editor's window, as the output file name carries it for the cases
// that need it: "window:" and the handle in hex.
inline void WindowName(char (&name)[32], uint32_t window) { std::snprintf(name, sizeof name, "window:%08X", window); }
inline uint32_t WindowOf(const char* name) {
    unsigned window = 0;
    return name != nullptr && std::sscanf(name, "window:%8X", &window) == 1 ? window : 0;
}

// OutputInfo.passthrough_1[0]: options.
constexpr int32_t kSecondThread = 1;         // a thread of its own makes the other service calls meanwhile
constexpr int32_t kEndsItsThread = 2;        // ends the output thread itself instead of returning
constexpr int32_t kReturnsAtOnce = 4;        // returns without a single service call
constexpr int32_t kAudioEveryFrame = 8;      // asks for a stretch of audio after each frame
constexpr int32_t kOddFlags = 16;            // expects OddFlagOf, as the editor then answers
constexpr int32_t kFarPastTheEnd = 32;       // then asks for kFarFrames, far past frame_count
constexpr int32_t kFlagsBelowZero = 64;      // asks for the flag of the frame before each one, -1 before frame 0
constexpr int32_t kReadsOnAfterAbort = 128;  // reads kReadOnFrames more frames once is_abort has said yes
constexpr int32_t kRewritesItsRecord = 256;  // rewrites every field of its OutputInfo before each request
// Shows a window of its own, owned by the editor's window (whose handle is
// in the output file name, WindowOf), activates it, and sends kEditorMessage to
// the editor's window at the start, every tenth request and at the end.
constexpr int32_t kOwnedWindow = 512;
// Sends kEditorMessage to the editor's window (WindowOf) once more from
// the module's thread-detach code as its output thread ends, after output
// has returned, and records the answer as "thread_end" (0: none in 20 s).
constexpr int32_t kSendsAsItsThreadEnds = 1024;
// OutputInfo.passthrough_1[1]: the seed of the random pattern.

// Flags that an editor may well give and that the relay must not take for
// its own marks: -1 (an empty slot), 0 (a slot never filled) and the extremes.
inline int32_t OddFlagOf(int32_t frame) {
    switch (static_cast<uint32_t>(frame) % 4) {
        case 0: return -1;
        case 1: return std::numeric_limits<int32_t>::min();
        case 2: return std::numeric_limits<int32_t>::max();
        default: return 0;
    }
}

// The frames asked for past the end with kFarPastTheEnd, in order: just past
// it, far past it, and the largest frame number there is.
constexpr int kFarFrames = 5;
inline int32_t FarFrame(int32_t frame_count, int index) {
    const int32_t offsets[] = {0, 1, 999, 1 << 20};
    return index < 4 ? frame_count + offsets[index] : std::numeric_limits<int32_t>::max();
}

// The message sent to the editor's window with kOwnedWindow (WM_APP + 0x21),
// and what the editor's window procedure answers to it.
constexpr uint32_t kEditorMessage = 0x8021;
constexpr int32_t kEditorAnswer = 0x5E17;

// With kReadsOnAfterAbort, the frames read after is_abort said yes: the
// next one, one that no ring of the buffer counts used holds, and the next
// one again in YC48.
constexpr int kReadOnFrames = 3;

// Samples per stretch asked for with kAudioEveryFrame.
constexpr int kAudioStretch = 64;

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
    int32_t asked_past_end;  // bit k: frame frame_count + k was asked for
    int32_t ole_result;      // OleInitialize on the output thread
    uint32_t thread_id;
    int32_t thread_priority;
    // kAudioEveryFrame: how each stretch came back.
    int32_t audio_right;          // the samples asked for, all of them
    int32_t audio_null_empty;     // null, and nothing read
    int32_t audio_pointer_empty;  // a pointer, and nothing read
    int32_t audio_other;
    // kFarPastTheEnd.
    int32_t far_null;
    int32_t far_zero;   // frames that came back as zeros (the export was aborted)
    int32_t far_wrong;  // frames or flags that came back with other bytes than their own
    int32_t far_abort;  // is_abort afterwards
    // kFlagsBelowZero: flags asked for below frame 0, and those not answered 0.
    int32_t flags_below_zero;
    int32_t wrong_flags_below_zero;
    // kReadsOnAfterAbort: how the frames read after the abort came back.
    int32_t after_abort_own;
    int32_t after_abort_zero;
    int32_t after_abort_null;
    int32_t after_abort_wrong;  // bytes of another frame, or not all zeros
    // kOwnedWindow: whether the window was created, the messages sent to the
    // editor's window, and how many got the editor's answer.
    int32_t window_created;
    int32_t window_sends;
    int32_t window_answers;
};

}  // namespace checking_verdict
