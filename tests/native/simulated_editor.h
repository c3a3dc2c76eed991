// The editor's side of an export, natively: the simulated editor's service
// functions (simulator/editor) with frames and flags from frame_pattern. They
// check that every call arrives on the editor's own thread (the thread that
// created the editor, which is the one that calls the relay's output), and
// this one also keeps every request in order, for tests that read them while
// the export runs.
#pragma once

#include <cstdint>
#include <mutex>
#include <utility>
#include <vector>

#include "plugin/output_plugin.h"
#include "simulator/editor/service_editor.h"

class SimulatedEditor : public editor_sim::Editor {
public:
    struct VideoFetch {
        int frame;
        uint32_t format;
        bool operator==(const VideoFetch& other) const { return frame == other.frame && format == other.format; }
    };
    using ProgressPair = std::pair<int, int>;

    // Becomes the editor that the service functions reach.
    SimulatedEditor(int width, int height, int frame_count);
    SimulatedEditor(const SimulatedEditor&) = delete;
    SimulatedEditor& operator=(const SimulatedEditor&) = delete;

    // The editor's record for an export. `frame_bytes` is the default
    // format's size, width × height × 3 unless the test changes it.
    OutputInfo Info() const;
    int width() const { return width_; }
    int height() const { return height_; }
    int frame_count() const { return frame_count_; }
    int frame_bytes = 0;

    // Lets a test act inside the editor's functions, as a worker would
    // between two reads (e.g. leave a new note while one is forwarded).
    void (*on_update_preview)() = nullptr;
    void (*on_show_progress)() = nullptr;
    void (*on_is_abort)() = nullptr;

    // What the editor was asked, oldest first.
    std::vector<VideoFetch> VideoFetches() const;
    std::vector<int> FlagFetches() const;
    std::vector<ProgressPair> ProgressCalls() const;
    size_t VideoFetchCount() const;
    size_t FlagFetchCount() const;
    int PreviewCalls() const { return static_cast<int>(previews); }
    int AbortChecks() const { return static_cast<int>(abort_checks); }
    int AudioCalls() const { return static_cast<int>(audio_calls); }
    bool AudioReadWasNull() const { return audio_read_null != 0; }
    // Service calls made on a thread other than the editor's.
    int CallsOffThread() const { return static_cast<int>(off_thread); }
    // Service calls after the first is_abort that answered "cancelled".
    int CallsAfterCancel() const { return static_cast<int>(calls_after_cancel); }
    // Frames delivered by the time the editor first answered "cancelled".
    int DeliveredAtCancel() const { return static_cast<int>(delivered_at_cancel); }
    void ForgetCalls();

    // What get_audio hands out, so that a test can see its pointer come back.
    int16_t* AudioBuffer() { return audio_; }

private:
    bool AdmitVideo(int frame, uint32_t format) override;
    void* ProduceVideo(int frame, uint32_t format) override;
    void* PlainVideo(int frame) override;
    void* Audio(int start, int length, int* read) override;
    int Flag(int frame) override;
    void Progress(int position, int total) override;
    void Preview() override;
    void AbortCheck() override;

    const int width_;
    const int height_;
    const int frame_count_;
    mutable std::mutex mutex_;
    std::vector<VideoFetch> video_fetches_;
    std::vector<int> flag_fetches_;
    std::vector<ProgressPair> progress_calls_;
    int16_t audio_[2048] = {};
};
