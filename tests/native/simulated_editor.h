// The editor's side of an export, natively: service functions whose frames
// and flags come from frame_pattern, which record what the relay asked them
// and check that every call arrives on the editor's own thread (the thread
// that created the editor, which is the one that calls the relay's output).
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "plugin/output_plugin.h"

class SimulatedEditor {
public:
    struct VideoFetch {
        int frame;
        uint32_t format;
        bool operator==(const VideoFetch& other) const { return frame == other.frame && format == other.format; }
    };
    using ProgressPair = std::pair<int, int>;

    // Becomes the editor that the service functions reach.
    SimulatedEditor(int width, int height, int frame_count);
    ~SimulatedEditor();
    SimulatedEditor(const SimulatedEditor&) = delete;
    SimulatedEditor& operator=(const SimulatedEditor&) = delete;

    // The editor's record for an export. `frame_bytes` is the default
    // format's size, width × height × 3 unless the test changes it.
    OutputInfo Info() const;
    int width() const { return width_; }
    int height() const { return height_; }
    int frame_count() const { return frame_count_; }
    int frame_bytes = 0;

    // From the n-th is_abort call on (counted from 1), the user has cancelled.
    std::atomic<int> cancel_from_check{0};
    // From the moment this frame has been delivered, the user has cancelled.
    std::atomic<int> cancel_after_frame{-1};
    // This frame cannot be produced: get_video_ex answers null for it.
    std::atomic<int> missing_frame{-1};
    // Frames end right where an inaccessible page begins, so that reading a
    // byte past a frame ends the test in any build, not only under ASan.
    bool guarded_frames = false;
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
    int PreviewCalls() const;
    int AbortChecks() const;
    int AudioCalls() const;
    bool AudioReadWasNull() const;
    // Service calls made on a thread other than the editor's.
    int CallsOffThread() const { return calls_off_thread_.load(); }
    // Service calls after the first is_abort that answered "cancelled".
    int CallsAfterCancel() const { return calls_after_cancel_.load(); }
    // Frames delivered by the time the editor first answered "cancelled".
    int DeliveredAtCancel() const { return delivered_at_cancel_.load(); }
    void ForgetCalls();

    // What get_audio hands out, so that a test can see its pointer come back.
    int16_t* AudioBuffer() { return audio_; }

private:
    static SimulatedEditor& Current();
    bool Enter();  // false off the editor's thread: the call is counted, not served
    static void* GetVideoEx(int frame, uint32_t format);
    static void* GetVideo(int frame);
    static void* GetAudio(int start, int length, int* read);
    static int IsAbort();
    static int ShowProgress(int position, int total);
    static int GetFlag(int frame);
    static int UpdatePreview();

    static SimulatedEditor* current_;
    const std::thread::id thread_ = std::this_thread::get_id();
    const int width_;
    const int height_;
    const int frame_count_;
    mutable std::mutex mutex_;
    std::vector<VideoFetch> video_fetches_;
    std::vector<int> flag_fetches_;
    std::vector<ProgressPair> progress_calls_;
    int preview_calls_ = 0;
    int abort_checks_ = 0;
    int audio_calls_ = 0;
    bool audio_read_was_null_ = false;
    bool cancelled_ = false;
    int delivered_ = 0;
    std::atomic<int> calls_off_thread_{0};
    std::atomic<int> calls_after_cancel_{0};
    std::atomic<int> delivered_at_cancel_{-1};
    std::vector<uint8_t> frame_;
    // The region of guarded frames: whole pages, the last one inaccessible.
    void* guarded_region_ = nullptr;
    size_t guarded_bytes_ = 0;
    uint8_t* GuardedFrame(size_t bytes);
    int16_t audio_[2048] = {};
};
