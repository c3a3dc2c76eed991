// Whole exports through the relay, natively: a simulated editor whose frames
// and flags are functions of the frame number, and sub-plugins that check
// every byte they receive, over the ways encoders and previews read.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/thread.h"
#include "plugin/entry/entry_points.h"
#include "plugin/relay_context.h"
#include "tests/common/frame_pattern.h"
#include "tests/common/relay_context_probe.h"
#include "tests/common/rewritten_record.h"
#include "tests/native/fakes/fakes.h"
#include "tests/native/relay_harness.h"
#include "tests/native/simulated_editor.h"

namespace {

using relay_test::Eventually;
using relay_test::RelayHarness;
using relay_test::TakeMessageTexts;
using relay_test::WrongBytesOf;

std::atomic<long> g_wrong{0};
std::atomic<long> g_checked{0};

int SequentialOutput(OutputInfo* info) {
    for (int f = 0; f < info->frame_count; ++f) {
        g_wrong += WrongBytesOf(info, f, kFormatDefault, info->get_video(f));
        g_wrong += info->get_flag(f) != frame_pattern::FlagOf(f);
        ++g_checked;
        info->show_progress(f, info->frame_count);
        if (info->is_abort()) return 0;
    }
    return 7;
}

class RelayExport : public RelayHarness {
protected:
    void SetUp() override {
        RelayHarness::SetUp();
        g_wrong = 0;
        g_checked = 0;
    }
    void ExpectTheEditorWasCalledOnItsThreadOnly() { EXPECT_EQ(editor_.CallsOffThread(), 0); }

    SimulatedEditor editor_{16, 8, 120};
};

TEST_F(RelayExport, SequentialExportDeliversEveryFrameAndFlag) {
    for (int buffers : {1, 2, 3, 8, 48, 100}) {
        g_wrong = 0;
        g_checked = 0;
        editor_.ForgetCalls();
        EXPECT_EQ(Export(editor_, SequentialOutput, buffers), 7) << buffers;
        EXPECT_EQ(g_wrong.load(), 0) << buffers;
        EXPECT_EQ(g_checked.load(), editor_.frame_count()) << buffers;
        ExpectTheEditorWasCalledOnItsThreadOnly();
        // Read in order, every frame is fetched exactly once.
        EXPECT_EQ(editor_.VideoFetchCount(), 120u) << buffers;
        EXPECT_EQ(editor_.FlagFetchCount(), 120u) << buffers;
    }
}

// --- Read-ahead as the editor sees it ---------------------------------------

struct PausedRequests {
    int buffers;
    std::vector<int> frames;
};

std::vector<int> g_paused_frames;
std::vector<size_t> g_paused_fetch_counts;  // what the editor has been asked for once each request settles
size_t g_paused_flag_count = 0;
SimulatedEditor* g_paused_editor = nullptr;
std::atomic<int> g_paused_failures{0};

bool ServingThreadWaits() { return Inside(*ModuleContext()).handoff.serving_wait.load() != 0; }

// Asks for one frame at a time and waits until the read-ahead has done what
// it will around it, and the serving thread waits, before asking for the next.
int PausingOutput(OutputInfo* info) {
    for (size_t i = 0; i < g_paused_frames.size(); ++i) {
        const int frame = g_paused_frames[i];
        g_wrong += WrongBytesOf(info, frame, kFormatDefault, info->get_video(frame));
        const size_t expected = g_paused_fetch_counts[i];
        if (!Eventually([&] { return g_paused_editor->VideoFetchCount() >= expected && ServingThreadWaits(); })) {
            ++g_paused_failures;
        }
    }
    // Pausing once more gives the flag read-ahead idle passes of its own.
    if (!Eventually([] { return g_paused_editor->FlagFetchCount() >= g_paused_flag_count; })) ++g_paused_failures;
    return 5;
}

class ReadAheadInAnExport : public RelayHarness, public ::testing::WithParamInterface<PausedRequests> {
protected:
    SimulatedEditor editor_{4, 4, 120};
};

TEST_P(ReadAheadInAnExport, TheEditorIsAskedForTheWindowLowestFirstAndNeverTwice) {
    const PausedRequests& c = GetParam();
    const relay_test::WindowShape shape = relay_test::ShapeOf(c.buffers);
    std::vector<int> expected;
    g_paused_fetch_counts.clear();
    for (size_t i = 0; i < c.frames.size(); ++i) {
        expected = relay_test::ExpectedVideoFetches(
            c.buffers, 120, std::vector<int>(c.frames.begin(), c.frames.begin() + static_cast<long>(i) + 1));
        g_paused_fetch_counts.push_back(expected.size());
    }
    g_paused_frames = c.frames;
    g_paused_flag_count = static_cast<size_t>(shape.ahead);
    g_paused_editor = &editor_;
    g_paused_failures = 0;
    g_wrong = 0;
    EXPECT_EQ(Export(editor_, PausingOutput, c.buffers), 5);
    EXPECT_EQ(g_paused_failures.load(), 0);
    EXPECT_EQ(g_wrong.load(), 0);

    std::vector<int> fetched;
    for (const auto& fetch : editor_.VideoFetches()) {
        fetched.push_back(fetch.frame);
        EXPECT_EQ(fetch.format, kFormatDefault);
    }
    ASSERT_EQ(fetched.size(), expected.size());
    // Request by request: the same frames, each once. A jump may be seen by an
    // idle pass before the request itself (the worker moves its position
    // first), so the new window's frames behind the requested one can come
    // before it; all that the read-ahead adds still comes lowest first.
    for (size_t i = 0, begin = 0; i < c.frames.size(); begin = g_paused_fetch_counts[i++]) {
        const auto from = static_cast<long>(begin);
        const auto to = static_cast<long>(g_paused_fetch_counts[i]);
        std::vector<int> got(fetched.begin() + from, fetched.begin() + to);
        std::vector<int> want(expected.begin() + from, expected.begin() + to);
        std::vector<int> read_ahead;
        for (int frame : got) {
            if (frame != c.frames[i]) read_ahead.push_back(frame);
        }
        EXPECT_TRUE(std::is_sorted(read_ahead.begin(), read_ahead.end())) << "after the request for " << c.frames[i];
        std::sort(got.begin(), got.end());
        std::sort(want.begin(), want.end());
        EXPECT_EQ(got, want) << "after the request for " << c.frames[i];
    }
    // The sub-plugin never asked for a flag: only those of frames 0 .. ahead - 1
    // are read, around the position every export starts from.
    std::vector<int> flags;
    for (int f = 0; f < shape.ahead; ++f) flags.push_back(f);
    EXPECT_EQ(editor_.FlagFetches(), flags);
    EXPECT_EQ(editor_.CallsOffThread(), 0);
}

INSTANTIATE_TEST_SUITE_P(Requests, ReadAheadInAnExport,
                         ::testing::Values(PausedRequests{1, {10, 11, 0, 119}}, PausedRequests{2, {10, 11, 12, 0}},
                                           PausedRequests{3, {10, 11, 13, 119, 0}},
                                           PausedRequests{8, {10, 11, 12, 0, 119, 0, 40, 38}},
                                           PausedRequests{48, {10, 11, 119, 0, 60, 59}},
                                           PausedRequests{100, {10, 11, 119, 0, 5}}),
                         [](const auto& info) { return std::to_string(info.param.buffers) + "Buffers"; });

// --- Results, passthrough and notes ----------------------------------------

OutputInfo g_seen_info{};
int ReturnsItsNumber(OutputInfo* info) {
    g_seen_info = *info;
    return static_cast<int>(info->passthrough_2[0]);
}

TEST_F(RelayExport, TheSubPluginsResultAndTheEditorsFieldsPassThroughUnchanged) {
    for (int result : {12345, 0, -7, INT_MIN, INT_MAX}) {
        OutputInfo info = editor_.Info();
        info.flags = 0x5A;
        info.passthrough_1[0] = 101;
        info.passthrough_1[1] = 102;
        info.passthrough_2[0] = result;
        info.passthrough_2[3] = -4;
        info.passthrough_3[2] = 0xEE;
        EXPECT_EQ(Export(info, ReturnsItsNumber, 8), result);
        EXPECT_EQ(g_seen_info.flags, 0x5A);
        EXPECT_EQ(g_seen_info.width, 16);
        EXPECT_EQ(g_seen_info.height, 8);
        EXPECT_EQ(g_seen_info.frame_count, 120);
        EXPECT_EQ(g_seen_info.frame_bytes, 16 * 8 * 3);
        EXPECT_EQ(g_seen_info.passthrough_1[1], 102);
        EXPECT_EQ(g_seen_info.passthrough_2[3], -4);
        EXPECT_EQ(g_seen_info.passthrough_3[2], 0xEE);
        // The sub-plugin reaches the editor only through the relay.
        EXPECT_NE(g_seen_info.get_video_ex, info.get_video_ex);
        EXPECT_NE(g_seen_info.is_abort, info.is_abort);
    }
    // A sub-plugin without output: the export succeeds at once.
    EXPECT_EQ(Export(editor_, nullptr, 8), 1);
    EXPECT_TRUE(TakeMessageTexts().empty());
}

int RewritesItsRecord(OutputInfo* info) {
    const OutputInfo own = *info;
    const uint32_t formats[] = {kFormatDefault, kFormatYUY2, kFormatYC48};
    for (int f = 0; f < own.frame_count; ++f) {
        rewritten_record::RewriteEveryField(info, own, f);
        // A new format every fourth frame sets the ring up again.
        const uint32_t format = formats[f / 4 % 3];
        g_wrong += WrongBytesOf(&own, f, format, own.get_video_ex(f, format));
        g_wrong += own.get_flag(f) != frame_pattern::FlagOf(f);
        ++g_checked;
        own.show_progress(f, own.frame_count);
        if (own.is_abort()) return 0;
    }
    return 3;
}

TEST_F(RelayExport, ASubPluginThatRewritesItsRecordCannotMakeTheRelayReadPastTheEditorsFrames) {
    editor_.guarded_frames = true;
    for (int buffers : {1, 8, 48}) {
        g_wrong = 0;
        g_checked = 0;
        editor_.ForgetCalls();
        EXPECT_EQ(Export(editor_, RewritesItsRecord, buffers), 3) << buffers;
        EXPECT_EQ(g_wrong.load(), 0) << buffers;
        EXPECT_EQ(g_checked.load(), 120) << buffers;
        // The read-ahead keeps to the editor's frame count.
        for (const auto& fetch : editor_.VideoFetches()) EXPECT_LT(fetch.frame, 120) << buffers;
        for (int frame : editor_.FlagFetches()) EXPECT_LT(frame, 120) << buffers;
        ExpectTheEditorWasCalledOnItsThreadOnly();
    }
    EXPECT_TRUE(TakeMessageTexts().empty());
}

int ReportsProgressAndPreviews(OutputInfo* info) {
    for (int f = 0; f < info->frame_count; ++f) {
        g_wrong += WrongBytesOf(info, f, kFormatYUY2, info->get_video_ex(f, kFormatYUY2));
        info->show_progress(f, info->frame_count);
        info->show_progress(f, info->frame_count);  // a repeat is no news
        info->update_preview();
    }
    return 1;
}

TEST_F(RelayExport, ProgressReachesTheEditorOncePerNewPairAndEndsWithTheLast) {
    for (int buffers : {1, 8, 48}) {
        editor_.ForgetCalls();
        EXPECT_EQ(Export(editor_, ReportsProgressAndPreviews, buffers), 1);
        const auto pairs = editor_.ProgressCalls();
        ASSERT_FALSE(pairs.empty());
        for (size_t i = 0; i < pairs.size(); ++i) {
            EXPECT_NE(pairs[i], SimulatedEditor::ProgressPair(-1, -1));
            // The pair is two stores: the first report may be seen with the old total.
            EXPECT_TRUE(pairs[i].second == 120 || (i == 0 && pairs[i].second == -1)) << pairs[i].second;
            if (i > 0) {
                EXPECT_NE(pairs[i], pairs[i - 1]) << "a pair forwarded twice";
                EXPECT_GE(pairs[i].first, pairs[i - 1].first);
            }
        }
        EXPECT_EQ(pairs.back(), SimulatedEditor::ProgressPair(119, 120)) << "the last report is not lost";
        EXPECT_GE(editor_.PreviewCalls(), 1);
        EXPECT_LE(editor_.PreviewCalls(), 120);
        EXPECT_EQ(g_wrong.load(), 0);
        ExpectTheEditorWasCalledOnItsThreadOnly();
    }
}

// --- Refused exports -------------------------------------------------------

std::atomic<int> g_output_calls{0};
int CountsItsCalls(OutputInfo*) {
    ++g_output_calls;
    return 1;
}

TEST_F(RelayExport, AnInvalidBufferCountOrNoSelectionIsRefusedWithItsMessage) {
    struct Case {
        int buffers;
        bool selected;
        std::string message;
    };
    const Case cases[] = {
        {0, true, relay_test::kInvalidCountText},
        {-1, true, relay_test::kInvalidCountText},
        {INT_MIN, true, relay_test::kInvalidCountText},
        {0, false, relay_test::kInvalidCountText},  // the count is looked at first
        {8, false, relay_test::kNoSelectionText},
        // Arrays whose byte size does not fit 32 bits cannot be allocated.
        {INT_MAX, true, relay_test::kArrayMemoryText},
        {0x40000000, true, relay_test::kArrayMemoryText},
    };
    for (const Case& c : cases) {
        g_output_calls = 0;
        table_ = OutputPluginTable{};
        table_.output = CountsItsCalls;
        context_->selected = c.selected ? &table_ : nullptr;
        context_->buffer_count = c.buffers;
        OutputInfo info = editor_.Info();
        EXPECT_EQ(PluginOutput(&info), 0) << c.buffers;
        EXPECT_EQ(TakeMessageTexts(), std::vector<std::string>{c.message}) << c.buffers;
        EXPECT_EQ(g_output_calls.load(), 0);
        EXPECT_EQ(fakes::TakeWorkerLibraryCalls().starts, 0) << "no worker was started";
        EXPECT_FALSE(static_cast<bool>(Inside(*context_).buffers.video_tags)) << "no arrays are left behind";
    }
    // The refusals change nothing that a later export needs.
    EXPECT_EQ(Export(editor_, SequentialOutput, 8), 7);
    EXPECT_EQ(g_wrong.load(), 0);
}

// --- The worker thread -----------------------------------------------------

struct WorkerView {
    uint32_t thread = 0;
    int priority = -99;
    fakes::WorkerLibraryCalls libraries{};
    fakes::MessageQueueCalls queue{};
};
WorkerView g_worker_view;

int LooksAtItsThread(OutputInfo* info) {
    g_worker_view.thread = platform::CurrentThreadId();
    g_worker_view.priority = Inside(*ModuleContext()).worker_thread.Priority();
    g_worker_view.libraries = fakes::TakeWorkerLibraryCalls();
    g_worker_view.queue = fakes::TakeMessageQueueCalls();
    info->is_abort();
    info->is_abort();
    return 3;
}

TEST_F(RelayExport, TheWorkerRunsAtTheEditorThreadsPriority) {
    for (int priority : {2, -1, 15, 0}) {
        fakes::SetCurrentThreadPriority(priority);
        EXPECT_EQ(Export(editor_, LooksAtItsThread, 8), 3);
        EXPECT_EQ(g_worker_view.priority, priority);
    }
    // A priority that cannot be read is not copied.
    fakes::SetCurrentThreadPriority(platform::kPriorityReadFailed);
    EXPECT_EQ(Export(editor_, LooksAtItsThread, 8), 3);
    EXPECT_EQ(g_worker_view.priority, 0);
}

TEST_F(RelayExport, TheWorkerHasOleTheAviLibraryAndAMessageQueueBeforeOutput) {
    EXPECT_EQ(Export(editor_, LooksAtItsThread, 8), 3);
    EXPECT_NE(g_worker_view.thread, platform::CurrentThreadId());
    EXPECT_EQ(g_worker_view.libraries.starts, 1);
    EXPECT_EQ(g_worker_view.libraries.stops, 0);
    EXPECT_EQ(g_worker_view.libraries.last_start_thread, g_worker_view.thread);
    EXPECT_EQ(g_worker_view.queue.queues_created, 1);
    EXPECT_EQ(g_worker_view.queue.last_queue_thread, g_worker_view.thread);
    EXPECT_EQ(g_worker_view.queue.pumps, 0) << "nothing pumps the queue before is_abort";

    // is_abort pumps the calling thread's queue; the libraries end with the worker.
    const auto queue = fakes::TakeMessageQueueCalls();
    EXPECT_EQ(queue.pumps, 2);
    EXPECT_EQ(queue.last_pump_thread, g_worker_view.thread);
    const auto libraries = fakes::TakeWorkerLibraryCalls();
    EXPECT_EQ(libraries.starts, 0);
    EXPECT_EQ(libraries.stops, 1);
}

int EndsItsThread(OutputInfo* info) {
    for (int f = 0; f < 10; ++f) g_wrong += WrongBytesOf(info, f, kFormatDefault, info->get_video(f));
    info->show_progress(9, info->frame_count);
    platform::EndCurrentThread(41);
}

// A sub-plugin that ends the thread itself never lets the worker post
// Finished; the editor must get its thread back all the same.
TEST_F(RelayExport, AWorkerThatEndsWithoutFinishingEndsTheExport) {
    EXPECT_EQ(Export(editor_, EndsItsThread, 8), 41);
    EXPECT_EQ(g_wrong.load(), 0);
    ExpectTheEditorWasCalledOnItsThreadOnly();
    // The relay is ready for the next export.
    EXPECT_EQ(Export(editor_, SequentialOutput, 8), 7);
    EXPECT_EQ(g_wrong.load(), 0);
    EXPECT_EQ(g_checked.load(), 120);
}

// --- Cancellation ------------------------------------------------------------

struct CancelView {
    long accepted = 0;            // frames taken as good before is_abort answered "cancelled"
    long after_cancel_calls = 0;  // video calls made once the editor had answered "cancelled"
    bool saw_cancel = false;
    void* audio_after = reinterpret_cast<void*>(1);
    int read_after = -1;
};
CancelView g_cancel_view;
SimulatedEditor* g_cancel_editor = nullptr;

int StopsWhenCancelled(OutputInfo* info) {
    for (int f = 0; f < info->frame_count; ++f) {
        if (g_cancel_editor->DeliveredAtCancel() >= 0) ++g_cancel_view.after_cancel_calls;
        const void* data = info->get_video(f);
        const int flag = info->get_flag(f);
        if (info->is_abort()) {
            g_cancel_view.saw_cancel = true;
            g_cancel_view.audio_after = info->get_audio(0, 100, &g_cancel_view.read_after);
            return 0;
        }
        // Once the relay has answered "not cancelled", what it handed out is right.
        g_wrong += WrongBytesOf(info, f, kFormatDefault, data);
        g_wrong += flag != frame_pattern::FlagOf(f);
        ++g_cancel_view.accepted;
    }
    return 1;
}

TEST_F(RelayExport, CancellingInTheEditorStopsTheSubPluginWithinTheRing) {
    for (int buffers : {1, 2, 8, 48}) {
        SCOPED_TRACE(std::to_string(buffers) + " buffers");
        editor_.ForgetCalls();
        editor_.cancel_from_check = 0;
        editor_.cancel_after_frame = 30;
        g_cancel_view = CancelView{};
        g_cancel_editor = &editor_;
        EXPECT_EQ(Export(editor_, StopsWhenCancelled, buffers), 0);
        EXPECT_TRUE(g_cancel_view.saw_cancel);
        EXPECT_EQ(g_wrong.load(), 0);
        EXPECT_LT(g_cancel_view.accepted, 120);
        EXPECT_GE(editor_.DeliveredAtCancel(), 0);
        // Every accepted frame was produced before the cancellation, and the
        // sub-plugin cannot read far ahead of what the relay asked for.
        EXPECT_LE(g_cancel_view.accepted, editor_.DeliveredAtCancel());
        EXPECT_LE(g_cancel_view.after_cancel_calls, buffers + 2);
        EXPECT_EQ(editor_.CallsAfterCancel(), 0) << "nothing reaches the editor after it cancelled";
        EXPECT_EQ(g_cancel_view.audio_after, nullptr);
        EXPECT_EQ(g_cancel_view.read_after, 0);
        ExpectTheEditorWasCalledOnItsThreadOnly();
    }
    editor_.cancel_after_frame = -1;
}

// --- Exports in a row ------------------------------------------------------

struct IdleView {
    uint32_t format = 0;
    int last_video = -1;
    int last_flag = -1;
    int aborted = -1;
    int position = 0;
    int total = 0;
    bool slots = true;
    int command = -1;
};
IdleView g_idle_view;

int FirstOfTwo(OutputInfo* info) {
    for (int f = 50; f < 60; ++f) {
        g_wrong += WrongBytesOf(info, f, kFormatYUY2, info->get_video_ex(f, kFormatYUY2));
        info->get_flag(f);
    }
    info->show_progress(7, info->frame_count);
    info->get_video_ex(0, 0x12345678);  // refused: the export ends aborted
    return info->is_abort() ? 2 : 20;
}

int SecondOfTwo(OutputInfo* info) {
    RelayContext* context = ModuleContext();
    g_idle_view.format = Inside(*context).video_ring.format.load();
    g_idle_view.last_video = Inside(*context).video_ring.position.load();
    g_idle_view.last_flag = Inside(*context).flag_ring.position.load();
    g_idle_view.aborted = Inside(*context).aborted.load();
    g_idle_view.position = Inside(*context).notes.progress_position.load();
    g_idle_view.total = Inside(*context).notes.progress_total.load();
    g_idle_view.slots = Inside(*context).buffers.video_slots.load() != nullptr;
    g_idle_view.command = Inside(*context).mailbox.command.load();
    if (info->is_abort()) return 30;
    info->show_progress(7, info->frame_count);
    return SequentialOutput(info);
}

TEST_F(RelayExport, ASecondExportStartsFromTheIdleValues) {
    EXPECT_EQ(Export(editor_, FirstOfTwo, 8), 2);
    EXPECT_EQ(fakes::LivePageRegions(), 0u) << "the slots end with the export";
    editor_.ForgetCalls();
    EXPECT_EQ(Export(editor_, SecondOfTwo, 8), 7);
    EXPECT_EQ(g_idle_view.format, kNoFormat);
    EXPECT_EQ(g_idle_view.last_video, 0);
    EXPECT_EQ(g_idle_view.last_flag, 0);
    EXPECT_EQ(g_idle_view.aborted, 0);
    EXPECT_EQ(g_idle_view.position, -1);
    EXPECT_EQ(g_idle_view.total, -1);
    EXPECT_FALSE(g_idle_view.slots);
    EXPECT_EQ(g_idle_view.command, static_cast<int>(RelayCommand::Idle));
    EXPECT_EQ(g_wrong.load(), 0);
    EXPECT_EQ(g_checked.load(), 120);
    // The second export's first report is news to it, though the first one sent it too.
    const auto pairs = editor_.ProgressCalls();
    EXPECT_NE(std::find(pairs.begin(), pairs.end(), SimulatedEditor::ProgressPair(7, 120)), pairs.end());
    // Its first video request set up slots of its own, in its own format.
    const auto fetches = editor_.VideoFetches();
    ASSERT_FALSE(fetches.empty());
    EXPECT_EQ(fetches.front(), (SimulatedEditor::VideoFetch{0, kFormatDefault}));
    EXPECT_EQ(editor_.FlagFetches().front(), 0);
    ExpectTheEditorWasCalledOnItsThreadOnly();
}

}  // namespace
