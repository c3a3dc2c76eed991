#include "tests/native/simulated_editor.h"

#include <algorithm>
#include <cstdlib>
#include <limits>

#include "tests/common/frame_pattern.h"

SimulatedEditor::SimulatedEditor(int width, int height, int frame_count)
    : width_(width), height_(height), frame_count_(frame_count) {
    // Computed wide: tests use frames too large for 32 bits.
    frame_bytes = static_cast<int>(
        std::min<int64_t>(std::numeric_limits<int32_t>::max(), static_cast<int64_t>(width) * height * 3));
}

OutputInfo SimulatedEditor::Info() const {
    OutputInfo info{};
    info.width = width_;
    info.height = height_;
    info.frame_count = frame_count_;
    info.frame_bytes = frame_bytes;
    FillServices(&info);
    return info;
}

bool SimulatedEditor::AdmitVideo(int frame, uint32_t format) {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        video_fetches_.push_back({frame, format});
    }
    return frame >= 0 && frame_pattern::FrameBytes(Info(), format) != 0;
}

void* SimulatedEditor::ProduceVideo(int frame, uint32_t format) {
    const size_t bytes = frame_pattern::FrameBytes(Info(), format);
    uint8_t* data = FrameBuffer(bytes);
    if (data == nullptr) std::abort();
    frame_pattern::Fill(data, bytes, frame, format);
    return data;
}

void* SimulatedEditor::PlainVideo(int) {
    // The relay fetches every frame through get_video_ex.
    std::abort();
}

void* SimulatedEditor::Audio(int, int length, int* read) {
    *read = length < 0 ? 0 : length;
    return audio_;
}

int SimulatedEditor::Flag(int frame) {
    std::lock_guard<std::mutex> guard(mutex_);
    flag_fetches_.push_back(frame);
    return frame_pattern::FlagOf(frame);
}

void SimulatedEditor::Progress(int position, int total) {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        progress_calls_.push_back({position, total});
    }
    if (on_show_progress != nullptr) on_show_progress();
}

void SimulatedEditor::Preview() {
    if (on_update_preview != nullptr) on_update_preview();
}

void SimulatedEditor::AbortCheck() {
    if (on_is_abort != nullptr) on_is_abort();
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

void SimulatedEditor::ForgetCalls() {
    Editor::ForgetCalls();
    std::lock_guard<std::mutex> guard(mutex_);
    video_fetches_.clear();
    flag_fetches_.clear();
    progress_calls_.clear();
}
