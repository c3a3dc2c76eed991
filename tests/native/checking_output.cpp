#include "tests/native/checking_output.h"

#include <mutex>
#include <thread>

#include "tests/common/frame_pattern.h"

namespace checking_output {

namespace {

Plan g_plan;
Verdict g_verdict;
std::mutex g_verdict_mutex;  // the two threads of the sub-plugin both report
std::mutex g_video_mutex;    // the sub-plugin's own: a video call and the use of its bytes

struct Tally {
    long video_requests = 0;
    long wrong_bytes = 0;
    long flag_requests = 0;
    long wrong_flags = 0;
    long audio_requests = 0;
    long wrong_audio = 0;
    long abort_seen = 0;
    std::set<int> asked_past_end;

    void AddTo(Verdict& verdict) const {
        std::lock_guard<std::mutex> guard(g_verdict_mutex);
        verdict.video_requests += video_requests;
        verdict.wrong_bytes += wrong_bytes;
        verdict.flag_requests += flag_requests;
        verdict.wrong_flags += wrong_flags;
        verdict.audio_requests += audio_requests;
        verdict.wrong_audio += wrong_audio;
        verdict.abort_seen += abort_seen;
        verdict.asked_past_end.insert(asked_past_end.begin(), asked_past_end.end());
    }
};

void CheckVideo(OutputInfo* info, int frame, uint32_t format, bool plain_call, Tally& tally) {
    std::lock_guard<std::mutex> guard(g_video_mutex);
    // The default format is asked for both ways: they share one ring.
    const void* data = plain_call ? info->get_video(frame) : info->get_video_ex(frame, format);
    const size_t bytes = frame_pattern::FrameBytes(*info, format);
    // Now and then the sub-plugin does something else before it reads the
    // frame, so that the read-ahead runs in between: the bytes must still be
    // the frame's own.
    if (tally.video_requests % 5 == 0) std::this_thread::yield();
    tally.wrong_bytes += data == nullptr
                             ? static_cast<long>(bytes)
                             : frame_pattern::WrongBytes(static_cast<const uint8_t*>(data), bytes, frame, format);
    ++tally.video_requests;
    if (frame >= info->frame_count) tally.asked_past_end.insert(frame);
}

void CheckFlag(OutputInfo* info, int frame, Tally& tally) {
    tally.wrong_flags += info->get_flag(frame) != frame_pattern::FlagOf(frame);
    ++tally.flag_requests;
    if (frame >= info->frame_count) tally.asked_past_end.insert(frame);
}

// The second thread: everything but the main walk, at positions of its own.
void SideCalls(OutputInfo* info, std::atomic<bool>* done, Tally* tally) {
    access_pattern::FrameWalk walk(access_pattern::Pattern::RandomJumps, info->frame_count, g_plan.seed + 7);
    for (int i = 0; !done->load(std::memory_order_acquire); ++i) {
        const int frame = walk.Next();
        CheckFlag(info, frame, *tally);
        if (i % 3 == 0) {
            int read = -1;
            void* audio = info->get_audio(i, 100 + i % 50, &read);
            ++tally->audio_requests;
            tally->wrong_audio += audio != g_plan.editor_audio || read != 100 + i % 50;
        }
        if (i % 5 == 0) tally->abort_seen += info->is_abort() != 0;
        info->show_progress(i, info->frame_count);
        if (i % 4 == 0) info->update_preview();
        // Now and then a frame of its own: video calls come from both threads.
        if (i % 16 == 0) CheckVideo(info, frame, access_pattern::FormatOf(g_plan.formats, i), false, *tally);
    }
}

}  // namespace

void Prepare(const Plan& plan) {
    g_plan = plan;
    g_verdict = Verdict{};
}

int Output(OutputInfo* info) {
    Tally tally;
    std::atomic<bool> done{false};
    Tally side_tally;
    std::thread side;
    if (g_plan.second_thread) side = std::thread(SideCalls, info, &done, &side_tally);

    access_pattern::FrameWalk walk(g_plan.pattern, info->frame_count, g_plan.seed);
    for (int i = 0; i < g_plan.requests; ++i) {
        const int frame = walk.Next();
        const uint32_t format = access_pattern::FormatOf(g_plan.formats, i);
        CheckVideo(info, frame, format, format == kFormatDefault && (frame & 1) != 0, tally);
        CheckFlag(info, frame, tally);
        if (i % 64 == 63) tally.abort_seen += info->is_abort() != 0;
    }
    done.store(true, std::memory_order_release);
    if (side.joinable()) side.join();
    tally.AddTo(g_verdict);
    side_tally.AddTo(g_verdict);
    return g_plan.result;
}

const Verdict& Result() { return g_verdict; }

}  // namespace checking_output
