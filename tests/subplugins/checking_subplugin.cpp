// The output function of the checking sub-plugin: it reads frames in the
// order and formats the editor's record asks for (see checking_verdict.h),
// checks every byte of every frame and every flag against frame_pattern, the
// functions the test host produces them with, checks is_abort after each
// frame, and reports its verdict through the call record. Linked with
// test_subplugin.cpp, which provides the table and the record.
#include <windows.h>
#include <ole2.h>

#include <cstring>
#include <limits>
#include <memory>

#include "plugin/output_plugin.h"
#include "tests/common/access_pattern.h"
#include "tests/common/frame_pattern.h"
#include "tests/common/rewritten_record.h"
#include "tests/subplugins/checking_verdict.h"
#include "tests/subplugins/test_subplugin.h"

namespace {

using checking_verdict::Verdict;

// The editor's window, named in the output file name of the record.
HWND EditorWindowOf(const OutputInfo& info) {
    const char* name = nullptr;
    static_assert(sizeof name == sizeof info.passthrough_3, "a pointer in the 4 passthrough bytes");
    std::memcpy(&name, info.passthrough_3, sizeof name);
    return reinterpret_cast<HWND>(static_cast<uintptr_t>(checking_verdict::WindowOf(name)));
}

int32_t ExpectedFlag(int32_t frame, int32_t options) {
    return options & checking_verdict::kOddFlags ? checking_verdict::OddFlagOf(frame) : frame_pattern::FlagOf(frame);
}

// One stretch of audio after frame `frame`, sorted by how it came back.
void CheckAudio(OutputInfo* info, int frame, Verdict* verdict) {
    const int start = frame * checking_verdict::kAudioStretch;
    int read = -1;
    const auto* audio = static_cast<const int16_t*>(info->get_audio(start, checking_verdict::kAudioStretch, &read));
    if (read == 0) {
        ++(audio == nullptr ? verdict->audio_null_empty : verdict->audio_pointer_empty);
        return;
    }
    bool right = audio != nullptr && read == checking_verdict::kAudioStretch;
    for (int k = 0; right && k < read; ++k) right = audio[k] == frame_pattern::AudioSampleOf(start + k);
    ++(right ? verdict->audio_right : verdict->audio_other);
}

// Frames far past the end: whatever the editor answers for them, the relay
// passes on, and nothing but a frame's own bytes.
void AskFarPastTheEnd(OutputInfo* info, int32_t options, Verdict* verdict) {
    const size_t bytes = frame_pattern::FrameBytes(*info, kFormatDefault);
    for (int i = 0; i < checking_verdict::kFarFrames; ++i) {
        const int frame = checking_verdict::FarFrame(info->frame_count, i);
        if (frame - info->frame_count < 31) verdict->asked_past_end |= 1 << (frame - info->frame_count);
        const auto* data = static_cast<const uint8_t*>(info->get_video_ex(frame, kFormatDefault));
        if (data == nullptr) {
            ++verdict->far_null;
        } else if (frame_pattern::WrongBytes(data, bytes, frame, kFormatDefault) != 0) {
            ++(verdict->far_null != 0 && frame_pattern::AllZero(data, bytes) ? verdict->far_zero : verdict->far_wrong);
        }
        // Once a null frame has aborted the export, flags are no longer the editor's.
        const int flag = info->get_flag(frame);
        if (verdict->far_null == 0 && flag != ExpectedFlag(frame, options)) {
            ++verdict->far_wrong;
        }
    }
    verdict->far_abort = info->is_abort() != 0;
}

// After is_abort has said yes, a sub-plugin may still finish the frame in
// hand before it stops: the relay answers as the editor would, with a frame,
// never null, though once the editor is no longer asked the frame is zeros.
void ReadOnAfterAbort(OutputInfo* info, int frame, Verdict* verdict) {
    const struct {
        int frame;
        uint32_t format;
    } reads[checking_verdict::kReadOnFrames] = {
        {frame + 1, kFormatDefault}, {frame + 101, kFormatDefault}, {frame + 1, kFormatYC48}};
    for (const auto& read : reads) {
        const auto* data = static_cast<const uint8_t*>(info->get_video_ex(read.frame, read.format));
        const size_t bytes = frame_pattern::FrameBytes(*info, read.format);
        if (data == nullptr) {
            ++verdict->after_abort_null;
        } else if (frame_pattern::WrongBytes(data, bytes, read.frame, read.format) == 0) {
            ++verdict->after_abort_own;
        } else {
            ++(frame_pattern::AllZero(data, bytes) ? verdict->after_abort_zero : verdict->after_abort_wrong);
        }
    }
}

// With kOwnedWindow: a window of the sub-plugin's own, as a progress window
// is, owned by the editor's window on the editor's thread. Creating, showing
// and activating it, and sending to the editor's window, all wait for that
// thread to take the messages sent to it.
class OwnedWindow {
public:
    OwnedWindow(const OutputInfo& info, Verdict* verdict) : verdict_(verdict) {
        owner_ = EditorWindowOf(info);
        window_ = CreateWindowExA(0, "STATIC", "checking", WS_POPUP | WS_CAPTION | WS_VISIBLE, 40, 40, 240, 80, owner_,
                                  nullptr, GetModuleHandleA(nullptr), nullptr);
        verdict_->window_created = window_ != nullptr;
        if (window_ != nullptr) {
            ShowWindow(window_, SW_SHOWNORMAL);
            SetForegroundWindow(window_);
            SetActiveWindow(window_);
        }
        Send(0);
    }
    ~OwnedWindow() {
        Send(-1);
        if (window_ != nullptr) DestroyWindow(window_);
    }
    OwnedWindow(const OwnedWindow&) = delete;
    OwnedWindow& operator=(const OwnedWindow&) = delete;

    void Send(int request) {
        ++verdict_->window_sends;
        verdict_->window_answers += SendMessageA(owner_, checking_verdict::kEditorMessage, static_cast<WPARAM>(request),
                                                 0) == checking_verdict::kEditorAnswer;
    }

private:
    Verdict* verdict_;
    HWND owner_ = nullptr;
    HWND window_ = nullptr;
};

// With kSendsAsItsThreadEnds: the editor's window, and the thread whose end
// sends to it. The relay joins that thread on the editor's thread.
HWND g_thread_end_window = nullptr;
volatile DWORD g_thread_end_sender = 0;

void SendAsTheThreadEnds() {
    if (g_thread_end_sender == 0 || g_thread_end_sender != GetCurrentThreadId()) return;
    g_thread_end_sender = 0;
    DWORD_PTR answer = 0;
    // Bounded only so that a relay that does not take the message fails the
    // case instead of hanging the test run.
    if (!SendMessageTimeoutA(g_thread_end_window, checking_verdict::kEditorMessage, static_cast<WPARAM>(-2), 0,
                             SMTO_NORMAL, 20000, &answer)) {
        answer = 0;
    }
    test_subplugin::Record("thread_end", 0, static_cast<int>(answer));
}

// The editor's contract: a frame's pointer is valid until the next video
// call by anyone, so the second thread takes no frames.
struct SideThread {
    OutputInfo* info;
    int32_t options;
    volatile LONG stop;
    uint32_t seed;
    int32_t flags_checked;
    int32_t wrong_flags;
    int32_t audio_calls;
    int32_t wrong_audio;
};

DWORD WINAPI SideCalls(void* argument) {
    auto* side = static_cast<SideThread*>(argument);
    OutputInfo* info = side->info;
    access_pattern::FrameWalk walk(access_pattern::Pattern::RandomJumps, info->frame_count, side->seed);
    static int16_t expected[256];
    for (int i = 0; InterlockedCompareExchange(&side->stop, 0, 0) == 0; ++i) {
        const int frame = walk.Next() % (info->frame_count > 0 ? info->frame_count : 1);
        side->wrong_flags += info->get_flag(frame) != ExpectedFlag(frame, side->options);
        ++side->flags_checked;
        if (i % 3 == 0) {
            const int start = i * 256;
            int read = -1;
            const auto* audio = static_cast<const int16_t*>(info->get_audio(start, 256, &read));
            for (int k = 0; k < 256; ++k) expected[k] = frame_pattern::AudioSampleOf(start + k);
            ++side->audio_calls;
            side->wrong_audio += read != 256 || audio == nullptr || std::memcmp(audio, expected, sizeof expected) != 0;
        }
        info->is_abort();
        info->show_progress(i, 1 << 30);
        if (i % 4 == 0) info->update_preview();
    }
    return 0;
}

}  // namespace

int CheckingOutput(OutputInfo* handed) {
    // Everything below works from the copy when the record is rewritten.
    OutputInfo own = *handed;
    const bool rewrites = (own.passthrough_1[0] & checking_verdict::kRewritesItsRecord) != 0;
    OutputInfo* info = rewrites ? &own : handed;
    Verdict verdict = {};
    verdict.abort_at = -1;
    // The relay initialised OLE on this thread already: this only counts up.
    const HRESULT ole = OleInitialize(nullptr);
    verdict.ole_result = static_cast<int32_t>(ole);
    if (SUCCEEDED(ole)) OleUninitialize();

    const int32_t plan_and_pattern = info->passthrough_2[checking_verdict::kPlanAndPatternField];
    const auto plan = static_cast<access_pattern::FormatPlan>(checking_verdict::PlanOf(plan_and_pattern));
    const auto pattern = static_cast<access_pattern::Pattern>(checking_verdict::PatternOf(plan_and_pattern));
    int requests = info->passthrough_2[checking_verdict::kRequestsField];
    if (requests <= 0) requests = info->frame_count;
    const int result = info->passthrough_2[checking_verdict::kResultField];
    const int32_t options = info->passthrough_1[0];
    if (options & checking_verdict::kReturnsAtOnce) {
        verdict.thread_id = GetCurrentThreadId();
        test_subplugin::Record("output", 0, result, &verdict, sizeof verdict, verdict.ole_result);
        return result;
    }

    if (options & checking_verdict::kSendsAsItsThreadEnds) {
        g_thread_end_window = EditorWindowOf(*info);
        g_thread_end_sender = GetCurrentThreadId();
    }
    std::unique_ptr<OwnedWindow> window;
    if (options & checking_verdict::kOwnedWindow) window.reset(new OwnedWindow(*info, &verdict));
    SideThread side = {info, options, 0, static_cast<uint32_t>(info->passthrough_1[1]) + 5, 0, 0, 0, 0};
    HANDLE side_thread = nullptr;
    if (options & checking_verdict::kSecondThread) side_thread = CreateThread(nullptr, 0, SideCalls, &side, 0, nullptr);

    access_pattern::FrameWalk walk(pattern, info->frame_count, static_cast<uint32_t>(info->passthrough_1[1]));
    for (int i = 0; i < requests; ++i) {
        const int frame = walk.Next();
        const uint32_t format = access_pattern::FormatOf(plan, i);
        if (rewrites) rewritten_record::RewriteEveryField(handed, own, i);
        if (frame >= info->frame_count && frame - info->frame_count < 31) {
            verdict.asked_past_end |= 1 << (frame - info->frame_count);
        }
        // The default format is asked for both ways: they share one ring.
        const auto* data = static_cast<const uint8_t*>(
            format == kFormatDefault && (frame & 1) ? info->get_video(frame) : info->get_video_ex(frame, format));
        ++verdict.video_calls;
        // Now and then something else comes first, so that the read-ahead
        // runs before the frame is read: its bytes must still be its own.
        if (i % 5 == 4) SwitchToThread();
        const size_t bytes = frame_pattern::FrameBytes(*info, format);
        const long wrong =
            data == nullptr ? static_cast<long>(bytes) : frame_pattern::WrongBytes(data, bytes, frame, format);
        const int flag = info->get_flag(frame);
        if (options & checking_verdict::kFlagsBelowZero) {
            // As an encoder asks for the flag of the frame before, and of
            // the one "before the first" at frame 0.
            const int before = frame > 0 ? frame - 1 : (i % 2 == 0 ? -1 : std::numeric_limits<int>::min());
            const int32_t answer = info->get_flag(before);
            if (before < 0) {
                ++verdict.flags_below_zero;
                verdict.wrong_flags_below_zero += answer != 0;
            } else {
                verdict.wrong_flags += answer != ExpectedFlag(before, options);
            }
        }
        if (options & checking_verdict::kAudioEveryFrame) CheckAudio(info, frame, &verdict);
        if (info->is_abort()) {
            verdict.abort_at = i;
            if (options & checking_verdict::kReadsOnAfterAbort) ReadOnAfterAbort(info, frame, &verdict);
            int read = -1;
            void* audio = info->get_audio(0, 100, &read);
            verdict.audio_after_abort = audio == nullptr && read == 0;
            // A last report as the sub-plugin gives up: no longer the editor's business.
            info->show_progress(i, requests);
            info->update_preview();
            break;
        }
        if (data == nullptr) ++verdict.null_frames;
        verdict.wrong_bytes += static_cast<int32_t>(wrong);
        verdict.wrong_flags += flag != ExpectedFlag(frame, options);
        ++verdict.frames_checked;
        ++verdict.flags_checked;
        if (i % 8 == 0) info->show_progress(i, requests);
        if (window != nullptr && i % 10 == 9) window->Send(i);
    }

    if ((options & checking_verdict::kFarPastTheEnd) && verdict.abort_at < 0) {
        AskFarPastTheEnd(info, options, &verdict);
    }

    if (side_thread != nullptr) {
        InterlockedExchange(&side.stop, 1);
        WaitForSingleObject(side_thread, INFINITE);
        CloseHandle(side_thread);
        verdict.flags_checked += side.flags_checked;
        verdict.wrong_flags += side.wrong_flags;
        verdict.audio_calls = side.audio_calls;
        verdict.wrong_audio = side.wrong_audio;
    }
    window.reset();  // sends once more, and closes it before the verdict is given
    verdict.thread_id = GetCurrentThreadId();
    verdict.thread_priority = GetThreadPriority(GetCurrentThread());
    test_subplugin::Record("output", verdict.frames_checked, result, &verdict, sizeof verdict, verdict.ole_result);
    if (options & checking_verdict::kEndsItsThread) ExitThread(static_cast<DWORD>(result));
    return result;
}

// Thread-detach code runs on the ending thread, under the loader's lock, as
// every DLL's does; sending from there is what some encoders' clean-up does.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, void*) {
    if (reason == DLL_THREAD_DETACH) SendAsTheThreadEnds();
    return TRUE;
}
