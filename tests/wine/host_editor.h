// The editor's side of an export under Wine: the simulated editor's service
// functions, which produce every frame, flag and stretch of audio from
// frame_pattern, check that they are called on the editor's thread only,
// and can be told to misbehave as an editor may (a frame it cannot give,
// audio it has not got, a user who cancels); and the relay loaded with the
// checking sub-plugin, which checks every byte it receives and reports back.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "plugin/output_plugin.h"
#include "simulator/editor/service_editor.h"
#include "tests/common/access_pattern.h"
#include "tests/common/call_log.h"
#include "tests/subplugins/checking_verdict.h"
#include "tests/wine/editor.h"

namespace host_editor {

extern const char kChecking[];

using AudioFault = editor_sim::AudioFault;

// The simulated editor (simulator/editor) with every frame handed out before a
// guard page, and what these cases also want to know of the relay's requests.
struct HostEditor : editor_sim::Editor {
    HostEditor() { guarded_frames = true; }

    OutputInfo info = {};
    int16_t audio[4096] = {};
    long refused_fetches = 0;    // frames below 0 or formats the relay must refuse
    long repeated_progress = 0;  // a pair forwarded twice in a row, or (-1, -1)
    int last_position = -1;
    int last_total = -1;
    int32_t past_end_fetched = 0;      // bit k: frame frame_count + k
    std::vector<int> past_end_frames;  // every fetch at or past frame_count, in order
    std::vector<int> fetches_per_frame;
    bool odd_flags = false;  // get_flag answers checking_verdict::OddFlagOf

protected:
    bool AdmitVideo(int frame, uint32_t format) override;
    void* ProduceVideo(int frame, uint32_t format) override;
    // The relay fetches through get_video_ex only: get_video is counted and refused.
    void* PlainVideo(int) override { return nullptr; }
    void* Audio(int start, int length, int* read) override;
    int Flag(int frame) override;
    void Progress(int position, int total) override;
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
    HWND owner_window = nullptr;  // handed to the sub-plugin in the output file name
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
        std::vector<RecordedCall> calls;  // every call the sub-plugins recorded during the export
    };
    Outcome Run(const Export& e);
};

std::string Describe(const Export& e);

// What every export that ran to its end must show, whatever it read.
bool CheckCleanExport(const Export& e, const LoadedRelay::Outcome& outcome);

}  // namespace host_editor
