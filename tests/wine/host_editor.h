// The editor's side of an export under Wine: service functions that produce
// every frame, flag and stretch of audio from frame_pattern, check that they
// are called on the editor's thread only, and can be told to misbehave as
// an editor may (a frame it cannot give, audio it has not got, a user who
// cancels); and the relay loaded with the checking sub-plugin, which checks
// every byte it receives and reports back.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "plugin/output_plugin.h"
#include "tests/common/access_pattern.h"
#include "tests/common/call_log.h"
#include "tests/subplugins/checking_verdict.h"
#include "tests/wine/editor.h"

namespace host_editor {

extern const char kChecking[];

// How the editor's get_audio answers every third call, when told to misbehave.
enum class AudioFault {
    None,
    NullAndNothingRead,     // null, *read 0
    PointerAndNothingRead,  // its buffer, *read 0
};

// Where the editor's frames are handed out from: each one ends where an
// inaccessible page begins, so that whoever reads a byte past a frame ends
// the run at once (the test host reports the crash).
class GuardedFrame {
public:
    GuardedFrame() = default;
    ~GuardedFrame();
    GuardedFrame(const GuardedFrame&) = delete;
    GuardedFrame& operator=(const GuardedFrame&) = delete;
    // Room for `bytes` that ends at the guard page; null if it cannot be had.
    uint8_t* Place(size_t bytes);

private:
    void* region_ = nullptr;
    size_t usable_ = 0;  // the bytes before the guard page
};

struct HostEditor {
    DWORD thread = 0;
    OutputInfo info = {};
    GuardedFrame frame;
    int16_t audio[4096] = {};
    volatile LONG off_thread = 0;
    long plain_video_calls = 0;  // the relay fetches through get_video_ex only
    long refused_fetches = 0;    // frames below 0 or formats the relay must refuse
    long video_fetches = 0;
    long flag_fetches = 0;
    long audio_calls = 0;
    long abort_checks = 0;
    long progress_calls = 0;
    long previews = 0;
    long repeated_progress = 0;  // a pair forwarded twice in a row, or (-1, -1)
    int last_position = -1;
    int last_total = -1;
    int32_t past_end_fetched = 0;  // bit k: frame frame_count + k
    std::vector<int> past_end_frames;  // every fetch at or past frame_count, in order
    std::vector<int> fetches_per_frame;
    int max_delivered = -1;
    long delivered = 0;
    // The user cancels once this frame has been delivered (-1: never).
    int cancel_after_frame = -1;
    bool cancel_pending = false;
    bool cancelled = false;
    long delivered_at_cancel = -1;
    int max_delivered_at_cancel = -1;
    long calls_after_cancel = 0;
    // Misbehaviour, as the export's orders set it.
    int null_frame = -1;         // get_video_ex answers null for this frame
    bool null_past_end = false;  // and for every frame at or past frame_count
    AudioFault audio_fault = AudioFault::None;
    bool odd_flags = false;  // get_flag answers checking_verdict::OddFlagOf
    bool answered_null = false;
    long misbehaved_audio = 0;
    long flags_after_null = 0;
    long calls_after_null = 0;  // other than flags
};
extern HostEditor g_host;

struct Export {
    int buffers = 8;
    int width = 96;
    int height = 54;
    int frame_count = 60;
    access_pattern::FormatPlan formats = access_pattern::FormatPlan::Default;
    access_pattern::Pattern pattern = access_pattern::Pattern::Sequential;
    int requests = 0;  // 0: one per frame
    int32_t options = 0;
    uint32_t seed = 1;
    int result = 12345;
    int cancel_after_frame = -1;
    int null_frame = -1;
    bool null_past_end = false;
    AudioFault audio_fault = AudioFault::None;
    HWND owner_window = nullptr;  // handed to the sub-plugin in passthrough_3
};

// A fresh editor for one export; the record carries the sub-plugin's orders.
void PrepareHost(const Export& e);

// The relay with the checking sub-plugin, one without output and any others
// the test names installed.
struct LoadedRelay {
    editor::Relay relay;
    bool ready = false;
    explicit LoadedRelay(const std::vector<std::string>& others = {});
    ~LoadedRelay();
    LoadedRelay(const LoadedRelay&) = delete;
    LoadedRelay& operator=(const LoadedRelay&) = delete;

    // As the editor restores its saved settings: the sub-plugin and the count.
    int Choose(const std::string& file_name, int32_t buffers);

    struct Outcome {
        int result = -1;
        bool reported = false;
        checking_verdict::Verdict verdict = {};
        RecordedCall call = {};
    };
    Outcome Run(const Export& e);
};

std::string Describe(const Export& e);

// What every export that ran to its end must show, whatever it read.
bool CheckCleanExport(const Export& e, const LoadedRelay::Outcome& outcome);

}  // namespace host_editor
