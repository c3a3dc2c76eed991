// The editor's side of an export, for every program that plays the editor:
// one object answers the seven service functions that an output plugin is
// handed in its OutputInfo, checks that each call comes from the editor's
// own thread, counts what was asked, adds up the time spent answering, and
// misbehaves on request as an editor may (a frame it cannot give, audio it
// has not got, a user who cancels). What the frames, flags and audio are,
// and what else a call leaves behind, is the derived class's.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "plugin/output_plugin.h"
#include "simulator/editor/editor_system.h"
#include "simulator/editor/fetch_timeline.h"

namespace editor_sim {

// Ticks of the clock that times the service calls.
using Clock = int64_t (*)();
// std::chrono's steady clock, in nanoseconds.
int64_t SteadyNanoseconds();

// What a call from a thread other than the editor's gets. It is always
// counted; refused, it is answered with null or 0 and changes nothing else.
enum class ForeignCalls {
    kRefuse,
    kServe,  // one call at a time, so that the counts stay right
};

// How get_audio answers every third call, when told to misbehave.
enum class AudioFault {
    None,
    NullAndNothingRead,     // null, *read 0
    PointerAndNothingRead,  // a buffer, *read 0
};

// Frames handed out from here end where an inaccessible page begins, so
// that whoever reads a byte past a frame ends the program at once.
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
    size_t usable_ = 0;
};

class Editor {
public:
    // Becomes the editor that the service functions reach, with the calling
    // thread as the editor's own.
    explicit Editor(ForeignCalls foreign = ForeignCalls::kRefuse, Clock clock = SteadyNanoseconds);
    virtual ~Editor();
    Editor(const Editor&) = delete;
    Editor& operator=(const Editor&) = delete;

    void BecomeCurrent();
    // The seven service functions; the rest of the record is the caller's.
    static void FillServices(OutputInfo* info);

    // As the user's cancel button: is_abort answers 1 from now on. Any thread.
    void Cancel() { cancel_requested_.store(true); }
    bool CancelRequested() const { return cancel_requested_.load(); }
    // Starts the log of fetches (FetchTimeline) for frames 0 .. frame_count - 1.
    void KeepFetchTimeline(int32_t frame_count) { fetches_.Reserve(frame_count); }
    const FetchTimeline& Fetches() const { return fetches_; }
    // The time spent inside served calls, in the clock's ticks.
    int64_t ServiceTicks() const { return service_ticks_; }
    // Forgets what was asked and any cancellation; keeps how to answer.
    void ForgetCalls();
    // Service calls made to any editor of the process so far, served or not:
    // what a watch on a stuck export sees move.
    static long CallsAnywhere() { return calls_anywhere_.load(std::memory_order_relaxed); }

    // How to misbehave. The atomic ones may be changed during an export.
    std::atomic<int> null_frame{-1};          // get_video(_ex) answers null for this frame
    int null_from = -1;                       // and for this one and every later one
    std::atomic<int> cancel_after_frame{-1};  // the user cancels once this frame has been delivered
    long cancel_after_deliveries = 0;         // or once this many frames have been (0: never)
    std::atomic<int> cancel_from_check{0};    // or from the n-th is_abort on, counted from 1
    AudioFault audio_fault = AudioFault::None;
    bool guarded_frames = false;  // FrameBuffer places frames before a guard page

    // What was asked. Calls are counted once served, off_thread whatever
    // becomes of them.
    std::atomic<long> off_thread{0};
    std::atomic<long> video_fetches{0};  // get_video_ex
    std::atomic<long> plain_video_calls{0};
    std::atomic<long> null_frames{0};  // video requests answered null, for any reason
    std::atomic<long> audio_calls{0};
    std::atomic<long> audio_read_null{0};  // get_audio without a place for the count
    std::atomic<long> misbehaved_audio{0};
    std::atomic<long> abort_checks{0};
    std::atomic<long> progress_calls{0};
    std::atomic<long> flag_fetches{0};
    std::atomic<long> previews{0};
    std::atomic<long> delivered{0};  // frames handed out
    int max_delivered = -1;
    // From the first is_abort that answered "cancelled" on.
    std::atomic<bool> cancelled{false};
    std::atomic<long> delivered_at_cancel{-1};
    int max_delivered_at_cancel = -1;
    std::atomic<long> calls_after_cancel{0};
    // From the first frame answered null on purpose (null_frame, null_from) on.
    bool answered_null = false;
    std::atomic<long> flags_after_null{0};
    std::atomic<long> calls_after_null{0};  // other than flags

protected:
    // The hooks of the derived class, called on a served call only.
    // False refuses a video request before any fault applies: null.
    virtual bool AdmitVideo(int frame, uint32_t format);
    // The frame's bytes, or null when there are none.
    virtual void* ProduceVideo(int frame, uint32_t format);
    // get_video; by default the frame in the default format.
    virtual void* PlainVideo(int frame);
    virtual void* Audio(int start, int length, int* read);
    virtual int Flag(int frame);
    virtual void Progress(int position, int total);
    virtual void Preview();
    // Before the answer to is_abort is decided.
    virtual void AbortCheck();

    // A fresh buffer per call (a reader that kept the last one reads freed
    // memory, which the address sanitizer reports), or with guarded_frames
    // the guarded one; null if it cannot be had.
    uint8_t* FrameBuffer(size_t bytes);

private:
    class Call;
    static Editor& Current();
    void* ServeVideo(int frame, uint32_t format);

    static void* GetVideo(int frame);
    static void* GetVideoEx(int frame, uint32_t format);
    static void* GetAudio(int start, int length, int* read);
    static int IsAbort();
    static int ShowProgress(int position, int total);
    static int GetFlag(int frame);
    static int UpdatePreview();

    static Editor* current_;
    const ForeignCalls foreign_;
    const Clock clock_;
    uint64_t thread_ = 0;
    CallLock lock_;
    std::atomic<bool> cancel_requested_{false};
    static std::atomic<long> calls_anywhere_;
    int64_t service_ticks_ = 0;
    FetchTimeline fetches_;
    int fetched_frame_ = -1;  // delivered by the call being served
    std::vector<uint8_t> frame_;
    GuardedFrame guarded_;
    int16_t fault_audio_[2] = {};
};

}  // namespace editor_sim
