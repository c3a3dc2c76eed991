#include "tests/native/simulated_editor.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <limits>

#include "tests/common/frame_pattern.h"

SimulatedEditor* SimulatedEditor::current_ = nullptr;

SimulatedEditor::SimulatedEditor(int width, int height, int frame_count)
    : width_(width), height_(height), frame_count_(frame_count) {
    // Computed wide: tests use frames too large for 32 bits.
    frame_bytes = static_cast<int>(std::min<int64_t>(std::numeric_limits<int32_t>::max(),
                                                     static_cast<int64_t>(width) * height * 3));
    current_ = this;
}

SimulatedEditor::~SimulatedEditor() {
    if (current_ == this) current_ = nullptr;
    if (guarded_region_ != nullptr) munmap(guarded_region_, guarded_bytes_);
}

uint8_t* SimulatedEditor::GuardedFrame(size_t bytes) {
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    const size_t usable = (bytes + page - 1) / page * page;
    if (guarded_region_ == nullptr || guarded_bytes_ - page < usable) {
        if (guarded_region_ != nullptr) munmap(guarded_region_, guarded_bytes_);
        guarded_bytes_ = usable + page;
        guarded_region_ = mmap(nullptr, guarded_bytes_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (guarded_region_ == MAP_FAILED) std::abort();
        if (mprotect(static_cast<uint8_t*>(guarded_region_) + guarded_bytes_ - page, page, PROT_NONE) != 0) {
            std::abort();
        }
    }
    return static_cast<uint8_t*>(guarded_region_) + guarded_bytes_ - page - bytes;
}

OutputInfo SimulatedEditor::Info() const {
    OutputInfo info{};
    info.width = width_;
    info.height = height_;
    info.frame_count = frame_count_;
    info.frame_bytes = frame_bytes;
    info.get_video = GetVideo;
    info.get_audio = GetAudio;
    info.is_abort = IsAbort;
    info.show_progress = ShowProgress;
    info.get_flag = GetFlag;
    info.update_preview = UpdatePreview;
    info.get_video_ex = GetVideoEx;
    return info;
}

SimulatedEditor& SimulatedEditor::Current() {
    if (current_ == nullptr) std::abort();  // a service call outside any test's export
    return *current_;
}

bool SimulatedEditor::Enter() {
    if (std::this_thread::get_id() != thread_) {
        calls_off_thread_.fetch_add(1);
        return false;
    }
    if (cancelled_) calls_after_cancel_.fetch_add(1);
    return true;
}

void* SimulatedEditor::GetVideoEx(int frame, uint32_t format) {
    SimulatedEditor& e = Current();
    if (!e.Enter()) return nullptr;
    OutputInfo info = e.Info();
    {
        std::lock_guard<std::mutex> guard(e.mutex_);
        e.video_fetches_.push_back({frame, format});
    }
    const size_t bytes = frame_pattern::FrameBytes(info, format);
    if (frame < 0 || bytes == 0 || frame == e.missing_frame.load()) return nullptr;
    uint8_t* data = nullptr;
    if (e.guarded_frames) {
        data = e.GuardedFrame(bytes);
    } else {
        // A new buffer per call: a relay that read it after the next call
        // would read freed memory, which the address sanitizer reports.
        std::vector<uint8_t> fresh(bytes);
        e.frame_.swap(fresh);
        data = e.frame_.data();
    }
    frame_pattern::Fill(data, bytes, frame, format);
    ++e.delivered_;
    if (e.cancel_after_frame.load() >= 0 && frame >= e.cancel_after_frame.load() &&
        e.delivered_at_cancel_.load() < 0) {
        // The cancellation takes effect from the next is_abort on.
        e.cancel_from_check.store(e.abort_checks_ + 1);
    }
    return data;
}

void* SimulatedEditor::GetVideo(int) {
    // The relay fetches every frame through get_video_ex.
    std::abort();
}

void* SimulatedEditor::GetAudio(int, int length, int* read) {
    SimulatedEditor& e = Current();
    if (!e.Enter()) return nullptr;
    std::lock_guard<std::mutex> guard(e.mutex_);
    ++e.audio_calls_;
    if (read == nullptr) {
        e.audio_read_was_null_ = true;
        return nullptr;
    }
    *read = length < 0 ? 0 : length;
    return e.audio_;
}

int SimulatedEditor::IsAbort() {
    SimulatedEditor& e = Current();
    if (!e.Enter()) return 0;
    if (e.on_is_abort != nullptr) e.on_is_abort();
    std::lock_guard<std::mutex> guard(e.mutex_);
    ++e.abort_checks_;
    const int from = e.cancel_from_check.load();
    if (from > 0 && e.abort_checks_ >= from) {
        if (!e.cancelled_) e.delivered_at_cancel_.store(e.delivered_);
        e.cancelled_ = true;
        return 1;
    }
    return 0;
}

int SimulatedEditor::ShowProgress(int position, int total) {
    SimulatedEditor& e = Current();
    if (!e.Enter()) return 0;
    {
        std::lock_guard<std::mutex> guard(e.mutex_);
        e.progress_calls_.push_back({position, total});
    }
    if (e.on_show_progress != nullptr) e.on_show_progress();
    return 1;
}

int SimulatedEditor::GetFlag(int frame) {
    SimulatedEditor& e = Current();
    if (!e.Enter()) return 0;
    std::lock_guard<std::mutex> guard(e.mutex_);
    e.flag_fetches_.push_back(frame);
    return frame_pattern::FlagOf(frame);
}

int SimulatedEditor::UpdatePreview() {
    SimulatedEditor& e = Current();
    if (!e.Enter()) return 0;
    {
        std::lock_guard<std::mutex> guard(e.mutex_);
        ++e.preview_calls_;
    }
    if (e.on_update_preview != nullptr) e.on_update_preview();
    return 1;
}

std::vector<SimulatedEditor::VideoFetch> SimulatedEditor::VideoFetches() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return video_fetches_;
}
std::vector<int> SimulatedEditor::FlagFetches() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return flag_fetches_;
}
std::vector<SimulatedEditor::ProgressPair> SimulatedEditor::ProgressCalls() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return progress_calls_;
}
size_t SimulatedEditor::VideoFetchCount() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return video_fetches_.size();
}
size_t SimulatedEditor::FlagFetchCount() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return flag_fetches_.size();
}
int SimulatedEditor::PreviewCalls() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return preview_calls_;
}
int SimulatedEditor::AbortChecks() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return abort_checks_;
}
int SimulatedEditor::AudioCalls() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return audio_calls_;
}
bool SimulatedEditor::AudioReadWasNull() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return audio_read_was_null_;
}

void SimulatedEditor::ForgetCalls() {
    std::lock_guard<std::mutex> guard(mutex_);
    video_fetches_.clear();
    flag_fetches_.clear();
    progress_calls_.clear();
    preview_calls_ = 0;
    abort_checks_ = 0;
    audio_calls_ = 0;
    audio_read_was_null_ = false;
    cancelled_ = false;
    delivered_ = 0;
    calls_off_thread_.store(0);
    calls_after_cancel_.store(0);
    delivered_at_cancel_.store(-1);
}
