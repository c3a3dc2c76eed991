#include "simulator/editor/service_editor.h"

#include <chrono>
#include <cstdlib>

namespace editor_sim {

int64_t SteadyNanoseconds() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

GuardedFrame::~GuardedFrame() {
    if (region_ != nullptr) ReleaseGuardedRegion(region_, usable_);
}

uint8_t* GuardedFrame::Place(size_t bytes) {
    if (region_ == nullptr || usable_ < bytes) {
        if (region_ != nullptr) ReleaseGuardedRegion(region_, usable_);
        const size_t page = PageBytes();
        usable_ = (bytes + page - 1) / page * page;
        region_ = ReserveGuardedRegion(usable_);
        if (region_ == nullptr) {
            usable_ = 0;
            return nullptr;
        }
    }
    return static_cast<uint8_t*>(region_) + usable_ - bytes;
}

Editor* Editor::current_ = nullptr;
std::atomic<long> Editor::calls_anywhere_{0};

// Every service call runs inside one: it checks the caller's thread, keeps
// the fetch log and adds the call's duration to the editor's share.
class Editor::Call {
public:
    Call(Editor& editor, bool flag = false) : editor_(editor) {
        calls_anywhere_.fetch_add(1, std::memory_order_relaxed);
        const bool foreign = CurrentThreadKey() != editor.thread_;
        if (foreign) editor.off_thread.fetch_add(1);
        served_ = !foreign || editor.foreign_ == ForeignCalls::kServe;
        if (!served_) return;
        if (editor.foreign_ == ForeignCalls::kServe) editor.lock_.Enter();
        start_ = editor.clock_();
        editor.fetches_.CallStarted(start_);
        if (editor.cancelled.load()) editor.calls_after_cancel.fetch_add(1);
        if (editor.answered_null) (flag ? editor.flags_after_null : editor.calls_after_null).fetch_add(1);
    }
    ~Call() {
        if (!served_) return;
        const int64_t end = editor_.clock_();
        editor_.service_ticks_ += end - start_;
        if (editor_.fetched_frame_ >= 0) {
            editor_.fetches_.FetchEnded(editor_.fetched_frame_, end);
            editor_.fetched_frame_ = -1;
        }
        if (editor_.foreign_ == ForeignCalls::kServe) editor_.lock_.Leave();
    }
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;
    bool Served() const { return served_; }

private:
    Editor& editor_;
    bool served_ = false;
    int64_t start_ = 0;
};

Editor::Editor(ForeignCalls foreign, Clock clock) : foreign_(foreign), clock_(clock) { BecomeCurrent(); }

Editor::~Editor() {
    if (current_ == this) current_ = nullptr;
}

void Editor::BecomeCurrent() {
    thread_ = CurrentThreadKey();
    current_ = this;
}

Editor& Editor::Current() {
    if (current_ == nullptr) std::abort();  // a service call outside any export
    return *current_;
}

void Editor::FillServices(OutputInfo* info) {
    info->get_video = GetVideo;
    info->get_audio = GetAudio;
    info->is_abort = IsAbort;
    info->show_progress = ShowProgress;
    info->get_flag = GetFlag;
    info->update_preview = UpdatePreview;
    info->get_video_ex = GetVideoEx;
}

void Editor::ForgetCalls() {
    for (std::atomic<long>* count :
         {&off_thread, &video_fetches, &plain_video_calls, &null_frames, &audio_calls, &audio_read_null,
          &misbehaved_audio, &abort_checks, &progress_calls, &flag_fetches, &previews, &delivered, &calls_after_cancel,
          &flags_after_null, &calls_after_null}) {
        count->store(0);
    }
    max_delivered = -1;
    cancel_requested_.store(false);
    cancelled.store(false);
    delivered_at_cancel.store(-1);
    max_delivered_at_cancel = -1;
    answered_null = false;
}

uint8_t* Editor::FrameBuffer(size_t bytes) {
    if (guarded_frames) return guarded_.Place(bytes);
    std::vector<uint8_t> fresh(bytes);
    frame_.swap(fresh);
    return frame_.data();
}

bool Editor::AdmitVideo(int frame, uint32_t) { return frame >= 0; }
void* Editor::ProduceVideo(int, uint32_t) { return nullptr; }
void* Editor::PlainVideo(int frame) { return ServeVideo(frame, kFormatDefault); }
void* Editor::Audio(int, int, int* read) {
    *read = 0;
    return nullptr;
}
int Editor::Flag(int) { return 0; }
void Editor::Progress(int, int) {}
void Editor::Preview() {}
void Editor::AbortCheck() {}

void* Editor::ServeVideo(int frame, uint32_t format) {
    if (!AdmitVideo(frame, format)) {
        null_frames.fetch_add(1);
        return nullptr;
    }
    if (frame == null_frame.load() || (null_from >= 0 && frame >= null_from)) {
        answered_null = true;
        null_frames.fetch_add(1);
        return nullptr;
    }
    void* data = ProduceVideo(frame, format);
    if (data == nullptr) {
        null_frames.fetch_add(1);
        return nullptr;
    }
    const long count = delivered.fetch_add(1) + 1;
    if (frame > max_delivered) max_delivered = frame;
    fetched_frame_ = frame;
    const int after = cancel_after_frame.load();
    if ((after >= 0 && frame >= after) || count == cancel_after_deliveries) Cancel();
    return data;
}

void* Editor::GetVideoEx(int frame, uint32_t format) {
    Editor& e = Current();
    Call call(e);
    if (!call.Served()) return nullptr;
    e.video_fetches.fetch_add(1);
    return e.ServeVideo(frame, format);
}

void* Editor::GetVideo(int frame) {
    Editor& e = Current();
    Call call(e);
    if (!call.Served()) return nullptr;
    e.plain_video_calls.fetch_add(1);
    return e.PlainVideo(frame);
}

void* Editor::GetAudio(int start, int length, int* read) {
    Editor& e = Current();
    Call call(e);
    if (!call.Served()) return nullptr;
    const long index = e.audio_calls.fetch_add(1);
    if (read == nullptr) {
        e.audio_read_null.fetch_add(1);
        return nullptr;
    }
    if (e.audio_fault != AudioFault::None && index % 3 == 2) {
        e.misbehaved_audio.fetch_add(1);
        *read = 0;
        return e.audio_fault == AudioFault::NullAndNothingRead ? nullptr : e.fault_audio_;
    }
    return e.Audio(start, length, read);
}

int Editor::IsAbort() {
    Editor& e = Current();
    Call call(e);
    if (!call.Served()) return 0;
    e.AbortCheck();
    const long check = e.abort_checks.fetch_add(1) + 1;
    const int from = e.cancel_from_check.load();
    if (!e.cancel_requested_.load() && !(from > 0 && check >= from)) return 0;
    if (!e.cancelled.exchange(true)) {
        e.delivered_at_cancel.store(e.delivered.load());
        e.max_delivered_at_cancel = e.max_delivered;
    }
    return 1;
}

int Editor::ShowProgress(int position, int total) {
    Editor& e = Current();
    Call call(e);
    if (!call.Served()) return 0;
    e.progress_calls.fetch_add(1);
    e.Progress(position, total);
    return 1;
}

int Editor::GetFlag(int frame) {
    Editor& e = Current();
    Call call(e, true);
    if (!call.Served()) return 0;
    e.flag_fetches.fetch_add(1);
    return e.Flag(frame);
}

int Editor::UpdatePreview() {
    Editor& e = Current();
    Call call(e);
    if (!call.Served()) return 0;
    e.previews.fetch_add(1);
    e.Preview();
    return 1;
}

}  // namespace editor_sim
