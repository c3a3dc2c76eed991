// The substitute service functions as a sub-plugin meets them during an
// export: which calls are answered from the rings and which reach the
// editor, what frames below 0 and refused formats give, audio, and the
// failures that the sub-plugin learns of through is_abort.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/thread.h"
#include "plugin/relay_context.h"
#include "tests/common/frame_pattern.h"
#include "tests/common/relay_context_probe.h"
#include "tests/native/fakes/fakes.h"
#include "tests/native/relay_harness.h"
#include "tests/native/simulated_editor.h"

namespace {

using relay_test::Eventually;
using relay_test::RelayHarness;
using relay_test::TakeMessageTexts;
using relay_test::WrongBytesOf;

SimulatedEditor* g_editor = nullptr;
std::atomic<long> g_wrong{0};

struct Observed {
    std::vector<const void*> pointers;
    std::vector<int> values;
    std::vector<int> aborts;
    std::vector<size_t> fetch_counts;
};
Observed g_observed;

class ServiceFunctions : public RelayHarness {
protected:
    void SetUp() override {
        RelayHarness::SetUp();
        g_editor = &editor_;
        g_wrong = 0;
        g_observed = Observed{};
    }
    void TearDown() override {
        EXPECT_EQ(editor_.CallsOffThread(), 0);
        RelayHarness::TearDown();
    }
    std::vector<SimulatedEditor::VideoFetch> FetchesOf(int frame) {
        std::vector<SimulatedEditor::VideoFetch> found;
        for (const auto& fetch : editor_.VideoFetches()) {
            if (fetch.frame == frame) found.push_back(fetch);
        }
        return found;
    }

    SimulatedEditor editor_{8, 4, 100};
};

// Waits until the read-ahead around the last request is complete (8
// buffers: two behind, the frame and four after it).
void AwaitWindow(size_t fetches) {
    if (!Eventually([&] { return g_editor->VideoFetchCount() >= fetches; })) ++g_wrong;
}

int SharesTheRingBetweenBothVideoCalls(OutputInfo* info) {
    g_wrong += WrongBytesOf(info, 10, kFormatDefault, info->get_video(10));
    AwaitWindow(7);
    // Frames read ahead are hits, whichever of the two calls asks.
    for (int f : {11, 12, 13, 14}) {
        g_wrong += WrongBytesOf(info, f, kFormatDefault, info->get_video_ex(f, kFormatDefault));
        g_wrong += WrongBytesOf(info, f, kFormatDefault, info->get_video(f));
    }
    // The same frame in another format is always a round trip.
    g_wrong += WrongBytesOf(info, 14, kFormatYUY2, info->get_video_ex(14, kFormatYUY2));
    g_wrong += WrongBytesOf(info, 14, kFormatDefault, info->get_video(14));
    return 1;
}

TEST_F(ServiceFunctions, GetVideoAndGetVideoExInTheDefaultFormatShareTheRing) {
    EXPECT_EQ(Export(editor_, SharesTheRingBetweenBothVideoCalls, 8), 1);
    EXPECT_EQ(g_wrong.load(), 0);
    // Up to the request in YUY2, no frame was fetched twice.
    std::vector<int> before_yuy2;
    for (const auto& fetch : editor_.VideoFetches()) {
        if (fetch.format != kFormatDefault) break;
        EXPECT_EQ(std::count(before_yuy2.begin(), before_yuy2.end(), fetch.frame), 0) << fetch.frame;
        before_yuy2.push_back(fetch.frame);
    }
    EXPECT_GE(before_yuy2.size(), 7u);
    const std::vector<SimulatedEditor::VideoFetch> expected{
        {14, kFormatDefault}, {14, kFormatYUY2}, {14, kFormatDefault}};
    EXPECT_EQ(FetchesOf(14), expected);
}

std::vector<int> g_flags_before_jump;

int ReadsFlagsAheadOfItself(OutputInfo* info) {
    // Flags 0 .. 4 are read ahead before any request.
    if (!Eventually([] { return g_editor->FlagFetchCount() >= 5; })) ++g_wrong;
    for (int f = 0; f < 5; ++f) g_wrong += info->get_flag(f) != frame_pattern::FlagOf(f);
    // Each hit moved the position on; the window around 4 ends at 8.
    if (!Eventually([] { return g_editor->FlagFetchCount() >= 9; })) ++g_wrong;
    g_flags_before_jump = g_editor->FlagFetches();
    // A jump: a round trip, answered with the frame's own flag, and back.
    g_wrong += info->get_flag(70) != frame_pattern::FlagOf(70);
    g_wrong += info->get_flag(0) != frame_pattern::FlagOf(0);
    return 1;
}

TEST_F(ServiceFunctions, AFlagReadAheadIsAnsweredFromTheRing) {
    EXPECT_EQ(Export(editor_, ReadsFlagsAheadOfItself, 8), 1);
    EXPECT_EQ(g_wrong.load(), 0);
    EXPECT_EQ(g_flags_before_jump, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8}));
    const std::vector<int> flags = editor_.FlagFetches();
    EXPECT_EQ(std::count(flags.begin(), flags.end(), 70), 1);
}

int AsksForVideoBelowZero(OutputInfo* info) {
    g_wrong += WrongBytesOf(info, 3, kFormatDefault, info->get_video(3));
    g_observed.aborts.push_back(info->is_abort());
    g_observed.pointers.push_back(info->get_video(-1));
    g_observed.pointers.push_back(info->get_video_ex(-5, kFormatYUY2));
    // The sub-plugin learns of it at once: no answer from the editor is needed.
    g_observed.aborts.push_back(info->is_abort());
    int read = -1;
    g_observed.pointers.push_back(info->get_audio(0, 10, &read));
    g_observed.values.push_back(read);
    return 4;
}

TEST_F(ServiceFunctions, VideoBelowZeroIsAFailedFetchThatAbortsTheExport) {
    EXPECT_EQ(Export(editor_, AsksForVideoBelowZero, 8), 4);
    EXPECT_EQ(g_wrong.load(), 0);
    EXPECT_EQ(g_observed.aborts, (std::vector<int>{0, 1}));
    EXPECT_EQ(g_observed.pointers, (std::vector<const void*>{nullptr, nullptr, nullptr}));
    EXPECT_EQ(g_observed.values, (std::vector<int>{0}));
    for (const auto& fetch : editor_.VideoFetches()) EXPECT_GE(fetch.frame, 0);
    EXPECT_EQ(editor_.AudioCalls(), 0);
    EXPECT_TRUE(TakeMessageTexts().empty());
}

std::vector<int> g_flags_after_asking_below_zero;

// "The flag of the frame before the first" is a question an encoder may ask
// at frame 0; a flag has no failure, so it must not end the export.
int AsksForFlagsBelowZero(OutputInfo* info) {
    g_wrong += info->get_flag(0) != frame_pattern::FlagOf(0);
    g_observed.values.push_back(info->get_flag(-1));
    g_observed.values.push_back(info->get_flag(INT32_MIN));
    g_observed.aborts.push_back(info->is_abort());
    // The read-ahead around frame 0 goes on (frames 0 .. 4 with 8 buffers).
    if (!Eventually([] { return g_editor->FlagFetchCount() >= 5; })) ++g_wrong;
    g_flags_after_asking_below_zero = g_editor->FlagFetches();
    for (int f = 0; f < 10; ++f) {
        g_wrong += WrongBytesOf(info, f, kFormatDefault, info->get_video(f));
        g_wrong += info->get_flag(f) != frame_pattern::FlagOf(f);
        g_observed.aborts.push_back(info->is_abort());
    }
    return 5;
}

TEST_F(ServiceFunctions, AFlagBelowZeroIsZeroAndAbortsNothing) {
    EXPECT_EQ(Export(editor_, AsksForFlagsBelowZero, 8), 5);
    EXPECT_EQ(g_wrong.load(), 0);
    EXPECT_EQ(g_observed.values, (std::vector<int>{0, 0}));
    EXPECT_EQ(g_observed.aborts, std::vector<int>(11, 0));
    EXPECT_EQ(g_flags_after_asking_below_zero, (std::vector<int>{0, 1, 2, 3, 4}));
    for (int frame : editor_.FlagFetches()) EXPECT_GE(frame, 0);
    EXPECT_GT(editor_.AbortChecks(), 0);
    EXPECT_TRUE(TakeMessageTexts().empty());
}

long ZeroFramesOf(const OutputInfo* info, uint32_t format, const std::vector<const void*>& frames) {
    long zero = 0;
    const size_t bytes = frame_pattern::FrameBytes(*info, format);
    for (const void* frame : frames) {
        zero += frame != nullptr && frame_pattern::AllZero(static_cast<const uint8_t*>(frame), bytes);
    }
    return zero;
}

int ReadsOnAfterAFrameTheEditorCannotGive(OutputInfo* info) {
    for (int f = 0; f < 3; ++f) g_wrong += WrongBytesOf(info, f, kFormatDefault, info->get_video(f));
    // Frame 40 is missing in the editor: its own answer, null, is passed on.
    g_observed.pointers.push_back(info->get_video(40));
    g_observed.aborts.push_back(info->is_abort());
    // 48 would share its slot; the editor is not asked for it any more, and
    // the sub-plugin gets zeros rather than a null the editor never gave.
    g_observed.pointers.push_back(info->get_video(48));
    g_observed.values.push_back(ZeroFramesOf(info, kFormatDefault, {g_observed.pointers.back()}));
    // A frame still held from before the failure is a hit and stays right.
    g_wrong += WrongBytesOf(info, 2, kFormatDefault, info->get_video(2));
    return 9;
}

TEST_F(ServiceFunctions, AfterAFailedFetchOnlyThatRequestIsNullAndOtherFramesAreZerosNotAnotherFramesBytes) {
    editor_.null_frame = 40;
    EXPECT_EQ(Export(editor_, ReadsOnAfterAFrameTheEditorCannotGive, 8), 9);
    EXPECT_EQ(g_wrong.load(), 0);
    ASSERT_EQ(g_observed.pointers.size(), 2u);
    EXPECT_EQ(g_observed.pointers[0], nullptr);
    EXPECT_NE(g_observed.pointers[1], nullptr);
    EXPECT_EQ(g_observed.values, (std::vector<int>{1}));
    EXPECT_EQ(g_observed.aborts, (std::vector<int>{1}));
    EXPECT_EQ(FetchesOf(48).size(), 0u);
}

// The user cancels; the sub-plugin reads on until its next is_abort, as an
// encoder that finishes the frame in hand does. The editor never answers a
// cancelled export with null, and neither may the relay: a frame it no
// longer asks for is all zeros (checked at once, as a frame is valid only
// until the next video call).
int ReadsOnAfterTheUserCancelled(OutputInfo* info) {
    for (int f = 0; f < 3; ++f) g_wrong += WrongBytesOf(info, f, kFormatDefault, info->get_video(f));
    AwaitWindow(7);  // frames 0 .. 6 are held
    if (!Eventually([&] { return info->is_abort() != 0; })) ++g_wrong;
    struct Request {
        int frame;
        uint32_t format;
    };
    auto zeros_for = [&](int frame, uint32_t format) {
        const void* data =
            format == kFormatDefault && (frame & 1) ? info->get_video(frame) : info->get_video_ex(frame, format);
        g_observed.pointers.push_back(data);
        g_observed.values.push_back(ZeroFramesOf(info, format, {data}));
    };
    // 50 and 51 are not held, and 8 shares slot 0 with frame 0.
    zeros_for(50, kFormatDefault);
    zeros_for(51, kFormatDefault);
    zeros_for(8, kFormatDefault);
    // A frame still held is its own, and a hit.
    g_wrong += WrongBytesOf(info, 5, kFormatDefault, info->get_video(5));
    // Another format, which no ring holds yet.
    zeros_for(5, kFormatYUY2);
    zeros_for(60, kFormatYUY2);
    return 0;
}

TEST_F(ServiceFunctions, AfterACancelAVideoRequestIsAnsweredWithZerosNeverNull) {
    editor_.cancel_from_check = 1;
    EXPECT_EQ(Export(editor_, ReadsOnAfterTheUserCancelled, 8), 0);
    EXPECT_EQ(g_wrong.load(), 0);
    ASSERT_EQ(g_observed.pointers.size(), 5u);
    for (const void* frame : g_observed.pointers) EXPECT_NE(frame, nullptr);
    EXPECT_EQ(g_observed.values, (std::vector<int>{1, 1, 1, 1, 1}));
    EXPECT_EQ(editor_.CallsAfterCancel(), 0) << "the editor is not asked after it cancelled";
    EXPECT_TRUE(FetchesOf(50).empty());
    EXPECT_TRUE(FetchesOf(60).empty());
    EXPECT_TRUE(TakeMessageTexts().empty());
}

int AsksInARefusedFormat(OutputInfo* info) {
    g_observed.pointers.push_back(info->get_video_ex(0, kNoFormat));
    g_observed.aborts.push_back(info->is_abort());
    // The export is over, but the default format is not refused: zeros.
    const void* data = info->get_video(0);
    g_observed.pointers.push_back(data);
    g_observed.values.push_back(ZeroFramesOf(info, kFormatDefault, {data}));
    return 6;
}

int ChangesToARefusedFormat(OutputInfo* info) {
    for (int f = 0; f < 6; ++f) g_wrong += WrongBytesOf(info, f, kFormatYC48, info->get_video_ex(f, kFormatYC48));
    g_observed.aborts.push_back(info->is_abort());
    g_observed.pointers.push_back(info->get_video_ex(6, 0x30313050u));
    g_observed.aborts.push_back(info->is_abort());
    // The region went with the refused code: a frame that was held comes
    // back as zeros from a new one, not as null and not as its old bytes.
    const void* data = info->get_video_ex(5, kFormatYC48);
    g_observed.pointers.push_back(data);
    g_observed.values.push_back(ZeroFramesOf(info, kFormatYC48, {data}));
    return 6;
}

TEST_F(ServiceFunctions, ARefusedFormatGivesNullAndAbortsWithoutAMessage) {
    EXPECT_EQ(Export(editor_, AsksInARefusedFormat, 8), 6);
    ASSERT_EQ(g_observed.pointers.size(), 2u);
    EXPECT_EQ(g_observed.pointers[0], nullptr);
    EXPECT_EQ(g_observed.values, (std::vector<int>{1}));
    EXPECT_EQ(g_observed.aborts, (std::vector<int>{1}));
    EXPECT_TRUE(editor_.VideoFetches().empty());

    g_observed = Observed{};
    editor_.ForgetCalls();
    EXPECT_EQ(Export(editor_, ChangesToARefusedFormat, 8), 6);
    EXPECT_EQ(g_wrong.load(), 0);
    ASSERT_EQ(g_observed.pointers.size(), 2u);
    EXPECT_EQ(g_observed.pointers[0], nullptr);
    EXPECT_EQ(g_observed.values, (std::vector<int>{1}));
    EXPECT_EQ(g_observed.aborts, (std::vector<int>{0, 1}));
    for (const auto& fetch : editor_.VideoFetches()) EXPECT_EQ(fetch.format, kFormatYC48);
    EXPECT_TRUE(TakeMessageTexts().empty());
    EXPECT_EQ(fakes::LivePageRegions(), 0u);
}

int AsksForAHugeFrame(OutputInfo* info) {
    g_observed.pointers.push_back(info->get_video_ex(0, kFormatYC48));
    g_observed.aborts.push_back(info->is_abort());
    return 8;
}

TEST_F(ServiceFunctions, ASlotRegionThatCannotBeHadIsReportedOnTheEditorsThread) {
    // 48 slots of 3840x2160 YC48, in a process that can address at most 2 GB.
    SimulatedEditor uhd(3840, 2160, 10);
    fakes::SetPageAllocationLimit(0x7FFFFFFF);
    EXPECT_EQ(Export(uhd, AsksForAHugeFrame, 48), 8);
    EXPECT_EQ(g_observed.pointers, (std::vector<const void*>{nullptr}));
    EXPECT_EQ(g_observed.aborts, (std::vector<int>{1}));
    EXPECT_TRUE(uhd.VideoFetches().empty());
    const auto boxes = fakes::TakeMessageBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, relay_test::kBufferMemoryText);
    EXPECT_EQ(boxes[0].thread_id, platform::CurrentThreadId());
    EXPECT_EQ(uhd.CallsOffThread(), 0);
    fakes::SetPageAllocationLimit(0);

    // One frame above 2 GB: 20000x20000 YC48.
    SimulatedEditor huge(20000, 20000, 10);
    g_observed = Observed{};
    EXPECT_EQ(Export(huge, AsksForAHugeFrame, 1), 8);
    EXPECT_EQ(g_observed.pointers, (std::vector<const void*>{nullptr}));
    EXPECT_EQ(g_observed.aborts, (std::vector<int>{1}));
    EXPECT_EQ(TakeMessageTexts(), std::vector<std::string>{relay_test::kBufferMemoryText});
    g_editor = &editor_;
}

int UsesAudio(OutputInfo* info) {
    int read = -1;
    g_observed.pointers.push_back(info->get_audio(480, 1600, &read));
    g_observed.values.push_back(read);
    // Without a count to write to: the relay does not write through null.
    g_observed.pointers.push_back(info->get_audio(2080, 1600, nullptr));
    // A frame the editor cannot produce aborts the export.
    info->get_video(g_editor->null_frame.load());
    g_observed.aborts.push_back(info->is_abort());
    read = -1;
    g_observed.pointers.push_back(info->get_audio(3680, 1600, &read));
    g_observed.values.push_back(read);
    g_observed.pointers.push_back(info->get_audio(3680, 1600, nullptr));
    return 9;
}

TEST_F(ServiceFunctions, AudioIsTheEditorsOwnUntilTheExportIsAborted) {
    editor_.null_frame = 17;
    EXPECT_EQ(Export(editor_, UsesAudio, 8), 9);
    const void* editors = editor_.AudioBuffer();
    EXPECT_EQ(g_observed.pointers, (std::vector<const void*>{editors, editors, nullptr, nullptr}));
    EXPECT_EQ(g_observed.values, (std::vector<int>{1600, 0}));
    EXPECT_EQ(g_observed.aborts, (std::vector<int>{1}));
    EXPECT_EQ(editor_.AudioCalls(), 2);
    EXPECT_FALSE(editor_.AudioReadWasNull());
}

}  // namespace

namespace {

// Jumps (round trips) and runs of hits, with the notes an encoder leaves.
int AsksAndHitsWithoutPause(OutputInfo* info) {
    const int starts[] = {0, 40, 7, 90, 55, 20, 71, 3, 60, 33};
    for (int start : starts) {
        for (int f = start; f < start + 6 && f < info->frame_count; ++f) {
            g_wrong += WrongBytesOf(info, f, kFormatDefault, info->get_video(f));
            g_wrong += info->get_flag(f) != frame_pattern::FlagOf(f);
            info->is_abort();
            info->show_progress(f, info->frame_count);
        }
    }
    return 1;
}

}  // namespace

// The serving thread waits only when it has nothing to do, and each request
// and each video hit that finds it waiting signals it. One that did not would
// be served only when the wait ran into its half-second bound: a lost wake-up
// costs time, not bytes, so it is counted here. One timed-out wait is allowed
// for a worker thread that is slow to start on a loaded machine. With more
// buffers the serving thread may find read-ahead to do at every pass and
// never wait; with one it has none, and waits between requests.
TEST_F(ServiceFunctions, RequestsAndVideoHitsWakeAWaitingEditorThreadBeforeItsBound) {
    uint32_t waits = 0;
    for (int buffers : {1, 8, 48}) {
        g_wrong = 0;
        EXPECT_EQ(Export(editor_, AsksAndHitsWithoutPause, buffers), 1) << buffers;
        EXPECT_EQ(g_wrong.load(), 0) << buffers;
        waits += context_->Serving().waits;
        EXPECT_LE(context_->Serving().timed_out_waits, 1u) << buffers << " buffers";
    }
    EXPECT_GT(waits, 0u) << "the serving thread never waited: nothing was tested";
}

namespace {

ServingWait SeenWait() { return static_cast<ServingWait>(Inside(*ModuleContext()).handoff.serving_wait.load()); }

// A note left while the editor's thread waits: before the frame, nothing
// has been forwarded; with `flowing`, the sub-plugin first reports its
// progress for a while, as an encoder does every frame.
struct NoteCase {
    const char* what;
    bool flowing;
    void (*leave)(OutputInfo* info);
    bool (*arrived)();
};
const NoteCase* g_note_case = nullptr;

int LeavesANoteWhileTheEditorWaits(OutputInfo* info) {
    info->get_video(0);
    if (g_note_case->flowing) {
        for (int i = 0; i < 5; ++i) {
            const size_t before = g_editor->ProgressCalls().size();
            info->show_progress(i, 100);
            if (!Eventually([&] { return g_editor->ProgressCalls().size() > before; })) ++g_wrong;
        }
    }
    // While notes come the wait is brief; a slow machine may let that end
    // before this thread looks, and the wait is then a long one again.
    const bool flowing = g_note_case->flowing;
    if (!Eventually(
            [&] { return flowing ? SeenWait() != ServingWait::None : SeenWait() == ServingWait::ForAnything; })) {
        ++g_wrong;
    }
    g_note_case->leave(info);
    if (!Eventually(g_note_case->arrived)) ++g_wrong;
    return 1;
}

}  // namespace

// A note made while the editor's thread waits reaches the editor before that
// wait's half-second bound: at once when notes are rare (the note ends the
// wait), within a brief bound while they keep coming (they wait for it rather
// than each wake the editor's thread). Counted, not timed: the half-second
// bound must never have ended a wait.
TEST_F(ServiceFunctions, ANoteLeftWhileTheEditorWaitsReachesItBeforeTheHalfSecondBound) {
    static const NoteCase cases[] = {
        {"progress", false, [](OutputInfo* info) { info->show_progress(42, 100); },
         [] { return !g_editor->ProgressCalls().empty() && g_editor->ProgressCalls().back().first == 42; }},
        {"preview", false, [](OutputInfo* info) { info->update_preview(); },
         [] { return g_editor->PreviewCalls() > 0; }},
        {"abort check", false, [](OutputInfo* info) { info->is_abort(); }, [] { return g_editor->AbortChecks() > 0; }},
        {"progress among others", true, [](OutputInfo* info) { info->show_progress(42, 100); },
         [] { return g_editor->ProgressCalls().back().first == 42; }},
        {"abort check among progress", true, [](OutputInfo* info) { info->is_abort(); },
         [] { return g_editor->AbortChecks() > 0; }},
    };
    for (const NoteCase& c : cases) {
        editor_.ForgetCalls();
        g_wrong = 0;
        g_note_case = &c;
        EXPECT_EQ(Export(editor_, LeavesANoteWhileTheEditorWaits, 8), 1) << c.what;
        EXPECT_EQ(g_wrong.load(), 0) << c.what;
        EXPECT_EQ(context_->Serving().timed_out_waits, 0u) << c.what;
    }
}

namespace {

// Reads flags only, each with a little work after it, as an encoder that
// looks at every frame's flag before it decides what to fetch.
int ReadsOnlyFlags(OutputInfo* info) {
    for (int f = 0; f < 100; ++f) {
        g_wrong += info->get_flag(f) != frame_pattern::FlagOf(f);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return 1;
}

}  // namespace

// Flag hits nudge the read-ahead as video hits do, once the ring runs low: a
// reader of flags alone is answered from the ring, not by round trips.
TEST_F(ServiceFunctions, AReaderOfFlagsAloneIsReadAheadAsAReaderOfFramesIs) {
    for (int buffers : {8, 48}) {
        g_wrong = 0;
        EXPECT_EQ(Export(editor_, ReadsOnlyFlags, buffers), 1) << buffers;
        EXPECT_EQ(g_wrong.load(), 0) << buffers;
        EXPECT_LE(context_->Activity().requests_posted.load(), 2u) << buffers << " buffers";
        EXPECT_GE(context_->Activity().flag_hits.load(), 98u) << buffers << " buffers";
    }
}
