// The serving side of the read-ahead rings and of the notes, driven one
// operation at a time on a context of its own, without threads: which frames
// the editor is asked for and in which order, what the rings then hold, and
// what reaches the editor's progress, preview and abort functions.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "plugin/relay_context.h"
#include "relay/read_ahead_ring.h"
#include "tests/common/frame_pattern.h"
#include "tests/common/relay_context_probe.h"
#include "tests/native/fakes/fakes.h"
#include "tests/native/relay_harness.h"
#include "tests/native/simulated_editor.h"

namespace {

using relay_test::ShapeOf;
using relay_test::TakeMessageTexts;
using relay_test::WindowShape;

constexpr uint32_t kUnknownFormat = 0x12345678;

// A context prepared for an export of `editor`, served by hand.
class ServedByHand {
public:
    ServedByHand(SimulatedEditor& editor, int buffers) : editor_(editor), info_(editor.Info()) {
        table_.output = nullptr;
        context.selected = &table_;
        context.buffer_count = buffers;
        shape = ShapeOf(buffers);
        prepared = context.PrepareOutput(&info_);
        Inside(context).handoff.read_ahead_lead = ReadAheadLead(shape.ahead);  // as the serving loop sets it
        editor_.ForgetCalls();
    }
    ~ServedByHand() { context.FinishOutput(); }
    ServedByHand(const ServedByHand&) = delete;
    ServedByHand& operator=(const ServedByHand&) = delete;

    void Video(int frame, uint32_t format = kFormatDefault) {
        Inside(context).mailbox.video_frame = frame;
        Inside(context).mailbox.video_format = format;
        context.FillVideo();
    }
    int Flag(int frame) {
        Inside(context).mailbox.flag_frame = frame;
        context.FillFlag();
        return Inside(context).mailbox.flag_result;
    }
    // Runs the video read-ahead until it has nothing left to do; checks that
    // each step fetched exactly one frame.
    int ReadAheadVideo() {
        int steps = 0;
        for (;;) {
            const size_t before = editor_.VideoFetchCount();
            if (!context.PrefetchVideo(shape.behind, shape.ahead)) {
                EXPECT_EQ(editor_.VideoFetchCount(), before) << "a step that reports no work fetched a frame";
                return steps;
            }
            EXPECT_EQ(editor_.VideoFetchCount(), before + 1) << "one read-ahead step, one frame";
            if (++steps > 1000) return steps;
        }
    }
    int ReadAheadFlags() {
        int steps = 0;
        while (context.PrefetchFlag(shape.behind, shape.ahead) && ++steps < 1000) {
        }
        return steps;
    }
    // The slot that holds `frame`, or null when its tag names another frame.
    const uint8_t* Holding(int frame) {
        const int slot = frame % context.buffer_count;
        if (Inside(context).buffers.video_tags[slot].load() != frame) return nullptr;
        return context.VideoSlot(slot);
    }
    long WrongBytesHeld(int frame, uint32_t format = kFormatDefault) {
        return relay_test::WrongBytesOf(&info_, frame, format, Holding(frame));
    }
    int TagsHeld() {
        int held = 0;
        for (int i = 0; i < context.buffer_count; ++i)
            held += Inside(context).buffers.video_tags[i].load() != kEmptyTag;
        return held;
    }

    RelayContext context;
    WindowShape shape{};
    bool prepared = false;

private:
    SimulatedEditor& editor_;
    OutputInfo info_;
    OutputPluginTable table_{};
};

std::vector<int> FramesOf(const std::vector<SimulatedEditor::VideoFetch>& fetches) {
    std::vector<int> frames;
    for (const auto& fetch : fetches) frames.push_back(fetch.frame);
    return frames;
}

std::vector<int> Range(int first, int end, int except = -1) {
    std::vector<int> frames;
    for (int f = first; f < end; ++f) {
        if (f != except) frames.push_back(f);
    }
    return frames;
}

class ReadAheadWindow : public ::testing::TestWithParam<WindowShape> {
protected:
    SimulatedEditor editor_{5, 3, 120};
};

TEST_P(ReadAheadWindow, AfterARequestTheMissingFramesComeInRisingOrderFromBehind) {
    const WindowShape shape = GetParam();
    for (int p : {0, 1, 10, 60, 116, 119}) {
        ServedByHand relay(editor_, shape.buffers);
        ASSERT_TRUE(relay.prepared);
        relay.Video(p);
        relay.ReadAheadVideo();
        std::vector<int> expected{p};
        for (int f : Range(std::max(0, p - shape.behind), std::min(120, p + shape.ahead), p)) expected.push_back(f);
        EXPECT_EQ(FramesOf(editor_.VideoFetches()), expected) << shape.buffers << " buffers, frame " << p;
        for (int f : expected) EXPECT_EQ(relay.WrongBytesHeld(f), 0) << "frame " << f << " in its slot";
        EXPECT_EQ(Inside(relay.context).aborted.load(), 0);
    }
}

// Every pass of the serving thread reads ahead what its window lacks: moving
// on by a frame fetches the window's new end. (Whether a hit wakes a serving
// thread that waits is another matter: only once the ring runs low.)
TEST_P(ReadAheadWindow, MovingOnByOneFrameFetchesOnlyTheNewEndOfTheWindow) {
    const WindowShape shape = GetParam();
    EXPECT_EQ(ReadAheadLead(shape.ahead), shape.lead);
    ServedByHand relay(editor_, shape.buffers);
    relay.Video(20);
    relay.ReadAheadVideo();
    for (int p = 21; p < 30; ++p) {
        editor_.ForgetCalls();
        // The worker's hit moves the position; the editor is not asked for p.
        if (relay.Holding(p) == nullptr) relay.Video(p);
        Inside(relay.context).video_ring.position.store(p);
        relay.ReadAheadVideo();
        std::vector<int> expected;
        if (shape.buffers == 1) {
            expected = {p};  // nothing is read ahead: every frame is a miss
        } else {
            expected = {p + shape.ahead - 1};
        }
        EXPECT_EQ(FramesOf(editor_.VideoFetches()), expected) << shape.buffers << " buffers, frame " << p;
        EXPECT_EQ(relay.WrongBytesHeld(p), 0);
    }
}

TEST_P(ReadAheadWindow, NothingAtOrBeyondTheLastFrameIsReadAhead) {
    const WindowShape shape = GetParam();
    ServedByHand relay(editor_, shape.buffers);
    for (int p : {119, 118, 125}) {
        editor_.ForgetCalls();
        relay.Video(p);
        relay.ReadAheadVideo();
        relay.ReadAheadFlags();
        for (const auto& fetch : editor_.VideoFetches()) {
            if (fetch.frame >= 120) {
                EXPECT_EQ(fetch.frame, p) << "only the frame asked for goes past the end";
            }
        }
        for (int f : editor_.FlagFetches()) EXPECT_LT(f, 120);
    }
    // A frame past the end goes to the editor unchanged, and is delivered.
    EXPECT_EQ(relay.WrongBytesHeld(125), 0);
}

TEST_P(ReadAheadWindow, FlagsAreReadAheadAroundFrameZeroBeforeAnyRequest) {
    const WindowShape shape = GetParam();
    ServedByHand relay(editor_, shape.buffers);
    EXPECT_FALSE(relay.context.PrefetchVideo(shape.behind, shape.ahead)) << "no video before the first request";
    relay.ReadAheadFlags();
    EXPECT_EQ(editor_.FlagFetches(), Range(0, shape.ahead));
    EXPECT_TRUE(editor_.VideoFetches().empty());
    // A flag already read ahead is answered from the ring.
    editor_.ForgetCalls();
    for (int f = 0; f < shape.ahead; ++f) EXPECT_EQ(relay.Flag(f), frame_pattern::FlagOf(f));
    EXPECT_TRUE(editor_.FlagFetches().empty());
}

INSTANTIATE_TEST_SUITE_P(BufferCounts, ReadAheadWindow, ::testing::ValuesIn(relay_test::kWindowShapes),
                         [](const auto& info) { return std::to_string(info.param.buffers) + "Buffers"; });

TEST(ReadAhead, OneBufferNeverReadsAhead) {
    SimulatedEditor editor(5, 3, 50);
    ServedByHand relay(editor, 1);
    for (int p : {0, 7, 49, 3}) {
        relay.Video(p);
        EXPECT_EQ(relay.ReadAheadVideo(), 0);
        EXPECT_EQ(relay.ReadAheadFlags(), 0);
        EXPECT_EQ(relay.WrongBytesHeld(p), 0);
    }
    EXPECT_EQ(FramesOf(editor.VideoFetches()), (std::vector<int>{0, 7, 49, 3}));
    EXPECT_TRUE(editor.FlagFetches().empty());
}

// A request that jumps out of the window must not have its slot refilled
// with the old window's frame of that slot by the next read-ahead step.
TEST(ReadAhead, AJumpBackKeepsTheRequestedFrameInItsSlot) {
    SimulatedEditor editor(5, 3, 120);
    ServedByHand relay(editor, 8);
    relay.Video(10);  // window 8 .. 14; frame 8 holds slot 0
    relay.ReadAheadVideo();
    editor.ForgetCalls();
    relay.Video(0);  // displaces frame 8
    relay.ReadAheadVideo();
    EXPECT_EQ(FramesOf(editor.VideoFetches()), (std::vector<int>{0, 1, 2, 3, 4}));
    EXPECT_EQ(relay.WrongBytesHeld(0), 0);

    // From the last frame back to 0, as an encoder's second pass does: the
    // last frame's window (118 .. 120) holds frame 120 in slot 0.
    SimulatedEditor second(5, 3, 121);
    ServedByHand again(second, 8);
    again.Video(120);
    again.ReadAheadVideo();
    second.ForgetCalls();
    again.Video(0);
    again.ReadAheadVideo();
    EXPECT_EQ(FramesOf(second.VideoFetches()), (std::vector<int>{0, 1, 2, 3, 4}));
    EXPECT_EQ(again.WrongBytesHeld(0), 0);
}

TEST(ReadAhead, AFlagRequestedOutsideTheWindowKeepsItsSlot) {
    SimulatedEditor editor(5, 3, 120);
    ServedByHand relay(editor, 8);
    EXPECT_EQ(relay.Flag(10), frame_pattern::FlagOf(10));
    relay.ReadAheadFlags();
    editor.ForgetCalls();
    EXPECT_EQ(relay.Flag(0), frame_pattern::FlagOf(0));  // displaces frame 8's flag from slot 0
    relay.ReadAheadFlags();
    EXPECT_EQ(editor.FlagFetches(), (std::vector<int>{0, 1, 2, 3, 4}));
    EXPECT_EQ(Inside(relay.context).buffers.flag_tags[0].load(), 0);
    EXPECT_EQ(Inside(relay.context).buffers.flag_values[0].load(), frame_pattern::FlagOf(0));
}

TEST(VideoFormats, ANewFormatEmptiesTheRingAndSizesItsSlots) {
    // 5 × 3 pixels: the default format is 45 bytes, YUY2 30 and YC48 90.
    struct Case {
        uint32_t format;
        int frame_bytes;
        int stride;
    };
    const Case cases[] = {{kFormatYUY2, 30, 64},
                          {kFormatYC48, 90, 128},
                          {kFormatDefault, 45, 64},
                          {kFormatYC48Reversed, 90, 128},
                          {kFormatYUY2Reversed, 30, 64}};
    SimulatedEditor editor(5, 3, 60);
    ServedByHand relay(editor, 8);
    relay.Video(20);
    relay.ReadAheadVideo();
    for (const Case& c : cases) {
        editor.ForgetCalls();
        relay.Video(21, c.format);
        EXPECT_EQ(relay.TagsHeld(), 1) << "only the requested frame is left";
        EXPECT_EQ(Inside(relay.context).video_ring.format.load(), c.format);
        EXPECT_EQ(Inside(relay.context).buffers.video_frame_bytes, c.frame_bytes);
        EXPECT_EQ(Inside(relay.context).buffers.slot_stride.load(), c.stride);
        EXPECT_EQ(fakes::LivePageRegions(), 1u);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(Inside(relay.context).buffers.video_slots.load()) % 64, 0u);
        relay.ReadAheadVideo();
        for (int f = 19; f < 26; ++f) EXPECT_EQ(relay.WrongBytesHeld(f, c.format), 0) << f;
        for (const auto& fetch : editor.VideoFetches()) EXPECT_EQ(fetch.format, c.format);
    }
    EXPECT_TRUE(TakeMessageTexts().empty());
}

TEST(VideoFormats, AnUnknownCodeEmptiesTheRingAndAbortsSilently) {
    for (uint32_t refused : {kUnknownFormat, kNoFormat, 0x3231564Eu /* NV12 */}) {
        SimulatedEditor editor(5, 3, 60);
        ServedByHand relay(editor, 8);
        relay.Video(20, kFormatYUY2);
        relay.ReadAheadVideo();
        editor.ForgetCalls();
        relay.Video(20, refused);
        EXPECT_EQ(Inside(relay.context).aborted.load(), 1) << std::hex << refused;
        EXPECT_EQ(relay.TagsHeld(), 0);
        EXPECT_EQ(Inside(relay.context).buffers.video_slots.load(), nullptr);
        EXPECT_EQ(Inside(relay.context).buffers.slot_stride.load(), 0);
        EXPECT_EQ(Inside(relay.context).video_ring.format.load(), kNoFormat);
        EXPECT_EQ(fakes::LivePageRegions(), 0u);
        EXPECT_TRUE(editor.VideoFetches().empty());
        EXPECT_FALSE(relay.context.PrefetchVideo(relay.shape.behind, relay.shape.ahead));
        EXPECT_TRUE(TakeMessageTexts().empty());
    }
}

// 0xFFFFFFFF is what the video ring's format holds before the first
// request: as a request it must not be taken for "slots already set up".
TEST(VideoFormats, TheNoFormatCodeAsTheFirstRequestIsRefused) {
    SimulatedEditor editor(5, 3, 60);
    ServedByHand relay(editor, 8);
    relay.Video(3, kNoFormat);
    EXPECT_EQ(Inside(relay.context).aborted.load(), 1);
    EXPECT_EQ(Inside(relay.context).buffers.video_slots.load(), nullptr);
    EXPECT_TRUE(editor.VideoFetches().empty());
    EXPECT_TRUE(TakeMessageTexts().empty());
}

struct AllocationCase {
    const char* what;
    int width;
    int height;
    int frame_bytes;
    uint32_t format;
    int buffers;
    size_t page_limit;  // 0: the machine's own
};

class SlotAllocation : public ::testing::TestWithParam<AllocationCase> {
protected:
    void TearDown() override { fakes::SetPageAllocationLimit(0); }
};

TEST_P(SlotAllocation, FailsWithTheBufferMemoryMessageAndAborts) {
    const AllocationCase& c = GetParam();
    SimulatedEditor editor(c.width, c.height, 100);
    editor.frame_bytes = c.frame_bytes;
    ServedByHand relay(editor, c.buffers);
    ASSERT_TRUE(relay.prepared);
    fakes::SetPageAllocationLimit(c.page_limit);
    relay.Video(0, c.format);
    EXPECT_EQ(Inside(relay.context).aborted.load(), 1);
    EXPECT_EQ(Inside(relay.context).buffers.video_slots.load(), nullptr);
    EXPECT_EQ(Inside(relay.context).video_ring.format.load(), kNoFormat);
    EXPECT_EQ(fakes::LivePageRegions(), 0u);
    EXPECT_TRUE(editor.VideoFetches().empty()) << "nothing to copy into";
    EXPECT_EQ(TakeMessageTexts(), std::vector<std::string>{relay_test::kBufferMemoryText});
    // An aborted export asks the editor for nothing more.
    relay.Video(1, c.format);
    EXPECT_EQ(relay.ReadAheadVideo(), 0);
    EXPECT_TRUE(editor.VideoFetches().empty());
    EXPECT_TRUE(TakeMessageTexts().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, SlotAllocation,
    ::testing::Values(
        // 48 slots of 3840x2160 YC48 are 2.39 GB: more than a 32-bit process can address.
        AllocationCase{"UhdYC48In32Bits", 3840, 2160, 3840 * 2160 * 3, kFormatYC48, 48, 0x7FFFFFFF},
        // 20000x20000 YC48 is one frame of 2.4 GB: its size does not fit 32 bits.
        AllocationCase{"FrameAboveInt32", 20000, 20000, 1, kFormatYC48, 1, 0},
        AllocationCase{"FrameAboveInt32Yuy2", 40000, 30000, 1, kFormatYUY2, 1, 0},
        // A stride rounded up to 64 would no longer fit 32 bits.
        AllocationCase{"StrideAboveInt32", 4, 4, std::numeric_limits<int32_t>::max() - 62, kFormatDefault, 1, 0},
        AllocationCase{"EmptyFrame", 4, 4, 0, kFormatDefault, 8, 0},
        AllocationCase{"NegativeFrameBytes", 4, 4, -48, kFormatDefault, 8, 0},
        AllocationCase{"NegativeWidth", -4, 4, 48, kFormatYUY2, 8, 0},
        AllocationCase{"NoPagesLeft", 16, 16, 768, kFormatDefault, 8, 4096}),
    [](const auto& info) { return std::string(info.param.what); });

TEST(FailedFetch, LeavesTheSlotEmptyAndAbortsTheExport) {
    SimulatedEditor editor(5, 3, 60);
    ServedByHand relay(editor, 8);
    relay.Video(10);
    editor.null_frame = 12;
    for (int step = 0; step < 4; ++step) EXPECT_TRUE(relay.context.PrefetchVideo(2, 5));  // 8, 9, 11, then 12 fails
    EXPECT_EQ(FramesOf(editor.VideoFetches()), (std::vector<int>{10, 8, 9, 11, 12}));
    EXPECT_EQ(Inside(relay.context).aborted.load(), 1);
    EXPECT_EQ(Inside(relay.context).buffers.video_tags[12 % 8].load(), kEmptyTag)
        << "no stale bytes under frame 12's tag";
    relay.Video(12);  // not asked for when it failed: zeros, as after any abort
    EXPECT_NE(Inside(relay.context).mailbox.video_slot, kNoSlot);

    // A busy read-ahead may meet the null of the very frame whose request is
    // on its way (the worker has moved to it): that request gets the
    // editor's null, once; another frame, or the same one again, zeros.
    SimulatedEditor busy(5, 3, 60);
    ServedByHand ahead_of_request(busy, 8);
    ahead_of_request.Video(3);
    busy.null_frame = 40;
    Inside(ahead_of_request.context).video_ring.position.store(40);
    while (ahead_of_request.context.PrefetchVideo(2, 5) && Inside(ahead_of_request.context).aborted.load() == 0) {
    }
    EXPECT_EQ(FramesOf(busy.VideoFetches()), (std::vector<int>{3, 38, 39, 40}));
    std::vector<bool> null_answers;
    for (int frame : {40, 41, 40}) {
        ahead_of_request.Video(frame);
        null_answers.push_back(Inside(ahead_of_request.context).mailbox.video_slot == kNoSlot);
    }
    EXPECT_EQ(null_answers, (std::vector<bool>{true, false, false}));

    SimulatedEditor second(5, 3, 60);
    ServedByHand on_demand(second, 8);
    on_demand.Video(4);
    second.null_frame = 12;
    on_demand.Video(12);  // slot 4: frame 4's bytes must not pass for frame 12's
    EXPECT_EQ(Inside(on_demand.context).aborted.load(), 1);
    EXPECT_EQ(Inside(on_demand.context).buffers.video_tags[4].load(), kEmptyTag);

    // Once aborted, requests are no longer served.
    second.ForgetCalls();
    on_demand.Video(13);
    EXPECT_EQ(on_demand.Flag(13), 0);
    EXPECT_TRUE(second.VideoFetches().empty());
    EXPECT_TRUE(second.FlagFetches().empty());
}

// Once the export is aborted the editor is no longer asked; a request is
// answered from the ring all the same, and a slot that does not hold the
// frame asked for is emptied to zeros rather than left with another frame's
// bytes under the sub-plugin's eyes.
TEST(AbortedExport, RequestsAreAnsweredFromTheRingWithZerosForFramesItDoesNotHold) {
    SimulatedEditor editor(5, 3, 60);
    ServedByHand relay(editor, 8);
    relay.Video(10);
    relay.ReadAheadVideo();  // 8 .. 14
    Inside(relay.context).aborted.store(1);
    editor.ForgetCalls();

    relay.Video(11);  // held: left as it is
    EXPECT_EQ(relay.WrongBytesHeld(11), 0);
    relay.Video(19);  // slot 3, which held frame 11
    const uint8_t* slot3 =
        Inside(relay.context).buffers.video_slots.load() + 3 * Inside(relay.context).buffers.slot_stride.load();
    EXPECT_EQ(Inside(relay.context).buffers.video_tags[3].load(), kEmptyTag);
    EXPECT_TRUE(frame_pattern::AllZero(slot3, 45));
    EXPECT_EQ(relay.WrongBytesHeld(12), 0) << "the other slots keep their frames";

    // Another format after the abort: a ring of its own, zero-filled.
    relay.Video(12, kFormatYC48);
    EXPECT_EQ(Inside(relay.context).video_ring.format.load(), kFormatYC48);
    EXPECT_EQ(relay.TagsHeld(), 0);
    const uint8_t* slot4 =
        Inside(relay.context).buffers.video_slots.load() + 4 * Inside(relay.context).buffers.slot_stride.load();
    EXPECT_TRUE(frame_pattern::AllZero(slot4, 90));

    EXPECT_TRUE(editor.VideoFetches().empty());
    EXPECT_TRUE(TakeMessageTexts().empty());
}

// The worker answers frames below 0 itself; should one reach the serving
// side, it must not index a ring with a negative slot. A video frame below 0
// is a failed fetch; a flag has no failure: it is 0, and the export goes on.
TEST(NegativeFrames, ReachNeitherTheRingsNorTheEditor) {
    SimulatedEditor editor(5, 3, 60);
    ServedByHand relay(editor, 8);
    relay.Video(-3);
    EXPECT_EQ(Inside(relay.context).aborted.load(), 1);
    ServedByHand flags(editor, 8);
    EXPECT_EQ(flags.Flag(-9), 0);
    EXPECT_EQ(flags.Flag(INT32_MIN), 0);
    EXPECT_EQ(Inside(flags.context).aborted.load(), 0);
    EXPECT_EQ(Inside(flags.context).flag_ring.position.load(), 0);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(Inside(flags.context).buffers.flag_tags[i].load(), kEmptyTag);
    EXPECT_TRUE(editor.VideoFetches().empty());
    EXPECT_TRUE(editor.FlagFetches().empty());
}

// --- Notes and audio --------------------------------------------------------

class Notes : public ::testing::Test {
protected:
    void Flush() { relay_.context.FlushNotifications(); }
    void Progress(int position, int total) {
        Inside(relay_.context).notes.progress_position.store(position);
        Inside(relay_.context).notes.progress_total.store(total);
    }
    SimulatedEditor editor_{5, 3, 60};
    ServedByHand relay_{editor_, 8};
    static RelayContext* noting_;
};
RelayContext* Notes::noting_ = nullptr;

TEST_F(Notes, ProgressIsForwardedOncePerDistinctPairAndNeverTheStartingPair) {
    Flush();
    EXPECT_TRUE(editor_.ProgressCalls().empty()) << "(-1, -1) is where both pairs start";
    Progress(3, 60);
    Flush();
    Flush();
    Progress(3, 60);
    Flush();
    Progress(4, 60);
    Progress(5, 60);  // two reports between passes: the latest pair only
    Flush();
    Progress(5, 61);
    Flush();
    using Pair = SimulatedEditor::ProgressPair;
    EXPECT_EQ(editor_.ProgressCalls(), (std::vector<Pair>{{3, 60}, {5, 60}, {5, 61}}));
}

TEST_F(Notes, PreviewAndAbortChecksAreMergedIntoOneCallPerPass) {
    Inside(relay_.context).notes.preview_pending.store(1);
    Inside(relay_.context).notes.abort_check_pending.store(1);
    Flush();
    Flush();
    EXPECT_EQ(editor_.PreviewCalls(), 1);
    EXPECT_EQ(editor_.AbortChecks(), 1);
    EXPECT_EQ(Inside(relay_.context).aborted.load(), 0);
    Flush();
    EXPECT_EQ(editor_.PreviewCalls(), 1);
    EXPECT_EQ(editor_.AbortChecks(), 1);
}

TEST_F(Notes, ANoteLeftWhileTheEditorRunsIsKeptForTheNextPass) {
    noting_ = &relay_.context;
    editor_.on_update_preview = [] { Inside(*noting_).notes.preview_pending.store(1); };
    editor_.on_is_abort = [] { Inside(*noting_).notes.abort_check_pending.store(1); };
    editor_.on_show_progress = [] {
        Inside(*noting_).notes.progress_position.store(9);
        Inside(*noting_).notes.progress_total.store(60);
    };
    Inside(relay_.context).notes.preview_pending.store(1);
    Inside(relay_.context).notes.abort_check_pending.store(1);
    Progress(8, 60);
    Flush();
    EXPECT_EQ(Inside(relay_.context).notes.preview_pending.load(), 1);
    EXPECT_EQ(Inside(relay_.context).notes.abort_check_pending.load(), 1);
    editor_.on_update_preview = nullptr;
    editor_.on_is_abort = nullptr;
    editor_.on_show_progress = nullptr;
    Flush();
    EXPECT_EQ(editor_.PreviewCalls(), 2);
    EXPECT_EQ(editor_.AbortChecks(), 2);
    using Pair = SimulatedEditor::ProgressPair;
    EXPECT_EQ(editor_.ProgressCalls(), (std::vector<Pair>{{8, 60}, {9, 60}}));
}

TEST_F(Notes, TheEditorsCancelAnswerAbortsAndStopsAllFurtherNotes) {
    editor_.cancel_from_check = 1;
    Inside(relay_.context).notes.abort_check_pending.store(1);
    Progress(1, 60);
    Flush();
    EXPECT_EQ(Inside(relay_.context).aborted.load(), 1);
    Inside(relay_.context).notes.abort_check_pending.store(1);
    Inside(relay_.context).notes.preview_pending.store(1);
    Progress(2, 60);
    Flush();
    EXPECT_EQ(editor_.AbortChecks(), 1);
    EXPECT_EQ(editor_.PreviewCalls(), 0);
    using Pair = SimulatedEditor::ProgressPair;
    EXPECT_EQ(editor_.ProgressCalls(), (std::vector<Pair>{{1, 60}}));
}

// The worker may abort the export itself (a frame below 0) while the editor
// answers "not cancelled": that answer must not clear the abort.
TEST_F(Notes, AnAbortRaisedDuringTheCheckIsNotCleared) {
    noting_ = &relay_.context;
    editor_.on_is_abort = [] { Inside(*noting_).aborted.store(1); };
    Inside(relay_.context).notes.abort_check_pending.store(1);
    Flush();
    EXPECT_EQ(editor_.AbortChecks(), 1);
    EXPECT_EQ(Inside(relay_.context).aborted.load(), 1);
}

TEST_F(Notes, AudioIsPassedThroughAndRefusedOnceAborted) {
    int read = -1;
    Inside(relay_.context).mailbox.audio_start = 100;
    Inside(relay_.context).mailbox.audio_length = 640;
    Inside(relay_.context).mailbox.audio_read = &read;
    relay_.context.FillAudio();
    EXPECT_EQ(Inside(relay_.context).mailbox.audio_result, editor_.AudioBuffer());
    EXPECT_EQ(read, 640);

    // A null `read` is never written through; the editor gets somewhere to write.
    Inside(relay_.context).mailbox.audio_read = nullptr;
    relay_.context.FillAudio();
    EXPECT_FALSE(editor_.AudioReadWasNull());
    EXPECT_EQ(Inside(relay_.context).mailbox.audio_result, editor_.AudioBuffer());

    Inside(relay_.context).aborted.store(1);
    read = 77;
    Inside(relay_.context).mailbox.audio_read = &read;
    relay_.context.FillAudio();
    EXPECT_EQ(Inside(relay_.context).mailbox.audio_result, nullptr);
    EXPECT_EQ(read, 0);
    Inside(relay_.context).mailbox.audio_read = nullptr;
    relay_.context.FillAudio();
    EXPECT_EQ(Inside(relay_.context).mailbox.audio_result, nullptr);
    EXPECT_EQ(editor_.AudioCalls(), 2);
}

}  // namespace
