// The simulated editor's service functions, which every test of the relay
// relies on to notice what the relay asked and to misbehave on request: if
// they failed to count, to refuse or to cancel, those tests would pass for
// the wrong reason.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "simulator/editor/clip_editor.h"

namespace editor_sim {
namespace {

ClipShape SmallClip() {
    ClipShape shape;
    shape.width = 8;
    shape.height = 4;
    shape.frame_count = 10;
    shape.keyframe_interval = 3;
    return shape;
}

// One tick per reading, so that every duration is a count of readings.
int64_t g_ticks = 0;
int64_t CountingClock() { return ++g_ticks; }

TEST(EditorServices, ACallFromAnotherThreadIsCountedAndServedOnlyWhenTheEditorServesThem) {
    struct Case {
        ForeignCalls foreign;
        bool served;
    };
    for (const Case& c : {Case{ForeignCalls::kRefuse, false}, Case{ForeignCalls::kServe, true}}) {
        ClipEditor editor(c.foreign);
        ASSERT_TRUE(editor.SetUp(SmallClip()));
        OutputInfo info = editor.Info(nullptr);
        void* frame = nullptr;
        int flag = -1;
        std::thread other([&] {
            frame = info.get_video_ex(0, kFormatDefault);
            flag = info.get_flag(0);
        });
        other.join();
        EXPECT_EQ(editor.off_thread.load(), 2);
        EXPECT_EQ(frame != nullptr, c.served);
        EXPECT_EQ(flag, c.served ? 1 : 0);
        EXPECT_EQ(editor.video_fetches.load(), c.served ? 1 : 0);
        EXPECT_EQ(editor.flag_fetches.load(), c.served ? 1 : 0);
        EXPECT_EQ(editor.delivered.load(), c.served ? 1 : 0);
        // The editor's own thread is served either way.
        EXPECT_NE(info.get_video_ex(1, kFormatDefault), nullptr);
        EXPECT_EQ(editor.off_thread.load(), 2);
    }
}

TEST(EditorServices, AFrameAnsweredNullOnPurposeMarksEveryLaterCallFlagsApart) {
    ClipEditor editor(ForeignCalls::kRefuse);
    ASSERT_TRUE(editor.SetUp(SmallClip()));
    OutputInfo info = editor.Info(nullptr);
    editor.null_frame = 3;
    editor.null_from = 8;
    EXPECT_NE(info.get_video_ex(2, kFormatDefault), nullptr);
    info.get_flag(2);
    EXPECT_FALSE(editor.answered_null);
    EXPECT_EQ(info.get_video_ex(3, kFormatDefault), nullptr);
    EXPECT_TRUE(editor.answered_null);
    info.get_flag(3);
    info.is_abort();
    EXPECT_NE(info.get_video_ex(7, kFormatDefault), nullptr);
    EXPECT_EQ(info.get_video_ex(8, kFormatDefault), nullptr);
    EXPECT_EQ(info.get_video_ex(9, kFormatDefault), nullptr);
    EXPECT_EQ(info.get_video(9), nullptr) << "get_video answers as get_video_ex";
    EXPECT_EQ(editor.null_frames.load(), 4);
    EXPECT_EQ(editor.delivered.load(), 2);
    EXPECT_EQ(editor.flags_after_null.load(), 1);
    EXPECT_EQ(editor.calls_after_null.load(), 5);
    // A frame outside the clip is null too, but not a fault of the editor's.
    ClipEditor fresh(ForeignCalls::kRefuse);
    ASSERT_TRUE(fresh.SetUp(SmallClip()));
    info = fresh.Info(nullptr);
    EXPECT_EQ(info.get_video_ex(10, kFormatDefault), nullptr);
    EXPECT_EQ(info.get_video_ex(-1, kFormatDefault), nullptr);
    EXPECT_EQ(fresh.null_frames.load(), 2);
    EXPECT_FALSE(fresh.answered_null);
}

TEST(EditorServices, EachWayOfCancellingAnswersFromTheRightCheckOn) {
    struct Case {
        std::string what;
        std::function<void(Editor&)> arrange;
        int first_cancelled_frame;  // the frame whose is_abort first answers 1
    };
    const std::vector<Case> cases = {
        {"after frame 4 was delivered", [](Editor& e) { e.cancel_after_frame = 4; }, 4},
        {"after 3 deliveries", [](Editor& e) { e.cancel_after_deliveries = 3; }, 2},
        {"from the 6th check", [](Editor& e) { e.cancel_from_check = 6; }, 5},
        {"by the user at once", [](Editor& e) { e.Cancel(); }, 0},
        {"never", [](Editor&) {}, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ClipEditor editor(ForeignCalls::kRefuse);
        ASSERT_TRUE(editor.SetUp(SmallClip()));
        OutputInfo info = editor.Info(nullptr);
        c.arrange(editor);
        int first = -1;
        // As an encoder: a frame, then whether the user has cancelled.
        for (int frame = 0; frame < 10 && first < 0; ++frame) {
            ASSERT_NE(info.get_video_ex(frame, kFormatDefault), nullptr);
            if (info.is_abort() != 0) first = frame;
        }
        EXPECT_EQ(first, c.first_cancelled_frame);
        EXPECT_EQ(editor.cancelled.load(), first >= 0);
        EXPECT_EQ(editor.delivered_at_cancel.load(), first >= 0 ? first + 1 : -1);
        EXPECT_EQ(editor.max_delivered_at_cancel, first);
        EXPECT_EQ(editor.calls_after_cancel.load(), 0);
        info.get_flag(0);
        EXPECT_EQ(info.is_abort(), first >= 0 ? 1 : 0) << "a cancellation holds";
        EXPECT_EQ(editor.calls_after_cancel.load(), first >= 0 ? 2 : 0);
        editor.ForgetCalls();
        EXPECT_FALSE(editor.cancelled.load());
        EXPECT_EQ(editor.delivered.load(), 0);
    }
}

TEST(EditorServices, AudioFaultsAnswerEveryThirdCallWithNothingRead) {
    for (AudioFault fault : {AudioFault::NullAndNothingRead, AudioFault::PointerAndNothingRead}) {
        ClipEditor editor(ForeignCalls::kRefuse);
        ASSERT_TRUE(editor.SetUp(SmallClip()));
        OutputInfo info = editor.Info(nullptr);
        editor.audio_fault = fault;
        std::vector<int> reads;
        std::vector<bool> nulls;
        for (int call = 0; call < 6; ++call) {
            int read = -1;
            nulls.push_back(info.get_audio(call * 100, 100, &read) == nullptr);
            reads.push_back(read);
        }
        EXPECT_EQ(reads, (std::vector<int>{100, 100, 0, 100, 100, 0}));
        const bool null = fault == AudioFault::NullAndNothingRead;
        EXPECT_EQ(nulls, (std::vector<bool>{false, false, null, false, false, null}));
        EXPECT_EQ(editor.misbehaved_audio.load(), 2);
        EXPECT_EQ(info.get_audio(0, 100, nullptr), nullptr) << "no place for the count";
        EXPECT_EQ(editor.audio_read_null.load(), 1);
        EXPECT_EQ(editor.audio_calls.load(), 7);
    }
}

TEST(EditorServices, TheFetchLogNotesWhenAFrameWasHandedOverAndWhenTheNextCallBegan) {
    ClipEditor editor(ForeignCalls::kRefuse, CountingClock);
    ASSERT_TRUE(editor.SetUp(SmallClip()));
    OutputInfo info = editor.Info(nullptr);
    editor.KeepFetchTimeline(10);
    g_ticks = 0;
    info.get_video_ex(0, kFormatDefault);   // ticks 1 and 2
    info.get_flag(0);                       // 3, 4
    info.get_video_ex(1, kFormatDefault);   // 5, 6
    info.get_video_ex(0, kFormatDefault);   // 7, 8: fetched again
    info.get_video_ex(20, kFormatDefault);  // 9, 10: not in the clip
    EXPECT_EQ(editor.ServiceTicks(), 5);
    const std::string path = ::testing::TempDir() + "fetch_log.txt";
    ASSERT_TRUE(editor.Fetches().Write(path, 1000));
    std::vector<std::string> lines;
    FILE* file = std::fopen(path.c_str(), "r");
    ASSERT_NE(file, nullptr);
    char line[128];
    while (std::fgets(line, sizeof line, file) != nullptr) lines.emplace_back(line);
    std::fclose(file);
    std::remove(path.c_str());
    ASSERT_EQ(lines.size(), 12u);
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 5),
              (std::vector<std::string>{"ticks_per_second=1000\n", "refetches=1\n", "fetch 0 2 3\n", "fetch 1 6 7\n",
                                        "fetch 2 -1 -1\n"}));
}

TEST(EditorServicesDeathTest, AReadPastAGuardedFrameEndsTheProgram) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    struct Buffers : Editor {
        using Editor::FrameBuffer;
    } editor;
    editor.guarded_frames = true;
    // An odd size, so that the frame does not fill its pages.
    volatile uint8_t* frame = editor.FrameBuffer(1001);
    ASSERT_NE(frame, nullptr);
    frame[0] = 1;
    frame[1000] = 2;
    EXPECT_DEATH(frame[1001] = 3, "");
}

}  // namespace
}  // namespace editor_sim
