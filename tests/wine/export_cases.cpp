// Exports through the real module, as the editor runs them (host_editor.h):
// the editor's service functions produce every frame, flag and stretch of
// audio and check that they are called on the editor's thread only; the
// checking sub-plugin checks every byte it receives and reports back.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tests/common/access_pattern.h"
#include "tests/common/cp932_texts.h"
#include "tests/subplugins/checking_verdict.h"
#include "tests/wine/check.h"
#include "tests/wine/editor.h"
#include "tests/wine/host_editor.h"
#include "tests/wine/settings_bytes.h"

namespace {

using access_pattern::FormatPlan;
using access_pattern::Pattern;
using checking_verdict::Verdict;
using host_editor::CheckCleanExport;
using host_editor::Export;
using host_editor::g_host;
using host_editor::kChecking;
using host_editor::LoadedRelay;

}  // namespace

TEST_CASE(export, every_frame_and_flag_arrives_intact) {
    LoadedRelay loaded;
    REQUIRE(loaded.ready);
    const Pattern patterns[] = {Pattern::Sequential, Pattern::Backward, Pattern::EndToStart, Pattern::RandomJumps,
                                Pattern::Scrubbing};
    const FormatPlan plans[] = {FormatPlan::Default, FormatPlan::YUY2, FormatPlan::YC48, FormatPlan::YC48Reversed,
                                FormatPlan::Blocks};
    for (int buffers : {1, 8, 48}) {
        CHECK_EQ(loaded.Choose(kChecking, buffers), settings_bytes::kHeader);
        for (Pattern pattern : patterns) {
            for (FormatPlan formats : plans) {
                Export e;
                e.buffers = buffers;
                e.pattern = pattern;
                e.formats = formats;
                e.requests = pattern == Pattern::Sequential ? 0 : 90;
                e.seed =
                    static_cast<uint32_t>(buffers * 100 + static_cast<int>(pattern) * 10 + static_cast<int>(formats));
                e.result = 1000 + static_cast<int>(e.seed);
                LoadedRelay::Outcome outcome = loaded.Run(e);
                if (!CheckCleanExport(e, outcome)) return;
                if (pattern == Pattern::Sequential && formats != FormatPlan::Blocks) {
                    // Read in order, each frame reaches the editor exactly once.
                    int once = 0;
                    for (int count : g_host.fetches_per_frame) once += count == 1;
                    CHECK_EQ(once, e.frame_count);
                    CHECK_EQ(g_host.flag_fetches, static_cast<long>(e.frame_count));
                }
            }
        }
    }
    // Full-size frames, with a second thread of the sub-plugin's own making
    // the other service calls meanwhile.
    Export big;
    big.width = 1920;
    big.height = 1080;
    big.frame_count = 24;
    big.formats = FormatPlan::YUY2;
    big.options = checking_verdict::kSecondThread;
    CHECK_EQ(loaded.Choose(kChecking, 8), settings_bytes::kHeader);
    LoadedRelay::Outcome outcome = loaded.Run(big);
    CheckCleanExport(big, outcome);
    CHECK(outcome.verdict.audio_calls > 0);
    CHECK_EQ(g_host.audio_calls, static_cast<long>(outcome.verdict.audio_calls));
    CHECK(editor::TakeMessageBoxTexts().empty());
}

TEST_CASE(export, two_threads_of_the_sub_plugin_get_their_own_answers) {
    LoadedRelay loaded;
    REQUIRE(loaded.ready);
    for (int buffers : {1, 8, 48}) {
        CHECK_EQ(loaded.Choose(kChecking, buffers), settings_bytes::kHeader);
        Export e;
        e.buffers = buffers;
        e.frame_count = 200;
        e.pattern = Pattern::Scrubbing;
        e.formats = FormatPlan::Blocks;
        e.requests = 400;
        e.options = checking_verdict::kSecondThread;
        LoadedRelay::Outcome outcome = loaded.Run(e);
        CheckCleanExport(e, outcome);
        CHECK(outcome.verdict.flags_checked > e.requests);
    }
}

TEST_CASE(export, the_sub_plugins_result_is_the_exports_result) {
    LoadedRelay loaded;
    REQUIRE(loaded.ready);
    CHECK_EQ(loaded.Choose(kChecking, 8), settings_bytes::kHeader);
    for (int result : {12345, 0, -1, 0x7FFFFFFF}) {
        CheckRow row("the sub-plugin returns " + std::to_string(result));
        Export e;
        e.frame_count = 5;
        e.result = result;
        CHECK_EQ(loaded.Run(e).result, result);
    }
    // A sub-plugin without output: the export succeeds at once.
    CHECK_EQ(loaded.Choose("no_output.auo_", 8), settings_bytes::kHeader);
    Export e;
    CHECK_EQ(loaded.Run(e).result, 1);
    CHECK_EQ(g_host.video_fetches, 0L);
    CHECK(editor::TakeMessageBoxTexts().empty());
}

TEST_CASE(export, the_worker_runs_at_the_editor_threads_priority_with_ole_initialised) {
    LoadedRelay loaded;
    REQUIRE(loaded.ready);
    CHECK_EQ(loaded.Choose(kChecking, 8), settings_bytes::kHeader);
    HANDLE self = GetCurrentThread();
    const int before = GetThreadPriority(self);
    for (int priority : {THREAD_PRIORITY_ABOVE_NORMAL, THREAD_PRIORITY_LOWEST, THREAD_PRIORITY_NORMAL}) {
        CheckRow row("the editor's thread at priority " + std::to_string(priority));
        SetThreadPriority(self, priority);
        Export e;
        e.frame_count = 10;
        LoadedRelay::Outcome outcome = loaded.Run(e);
        SetThreadPriority(self, before);
        REQUIRE(outcome.reported);
        CHECK_EQ(outcome.call.thread_priority, priority);
        CHECK_EQ(outcome.verdict.thread_priority, priority);
        CHECK_EQ(outcome.call.detail, 1);  // OleInitialize answered S_FALSE
        CHECK(outcome.call.thread_id != GetCurrentThreadId());
    }
}

TEST_CASE(export, cancelling_in_the_editor_stops_the_sub_plugin_within_the_ring) {
    LoadedRelay loaded;
    REQUIRE(loaded.ready);
    for (int buffers : {1, 8, 48}) {
        CHECK_EQ(loaded.Choose(kChecking, buffers), settings_bytes::kHeader);
        Export e;
        e.buffers = buffers;
        e.frame_count = 300;
        e.cancel_after_frame = 60;
        e.result = 0;
        LoadedRelay::Outcome outcome = loaded.Run(e);
        REQUIRE(outcome.reported);
        const Verdict& v = outcome.verdict;
        CHECK(g_host.cancelled);
        CHECK(v.abort_at >= 0);
        CHECK(v.frames_checked < e.frame_count);
        CHECK_EQ(v.wrong_bytes, 0);
        CHECK_EQ(v.wrong_flags, 0);
        // Every frame taken as good had been produced before the cancellation,
        // and the sub-plugin got at most one frame past what had been produced.
        CHECK(v.frames_checked <= g_host.delivered_at_cancel);
        CHECK(v.video_calls <= g_host.max_delivered_at_cancel + 2);
        CHECK_EQ(g_host.calls_after_cancel, 0L);
        CHECK_EQ(v.audio_after_abort, 1);
        CHECK_EQ(static_cast<long>(g_host.off_thread), 0L);
        if (v.video_calls > g_host.max_delivered_at_cancel + 2) {
            std::printf("      %d buffers: %d video calls, frame %d delivered at the cancellation\n", buffers,
                        v.video_calls, g_host.max_delivered_at_cancel);
        }
    }
    // The next export starts afresh.
    Export e;
    e.frame_count = 40;
    CheckCleanExport(e, loaded.Run(e));
}

TEST_CASE(export, frames_read_on_after_a_cancel_are_their_own_or_zeros_never_null) {
    LoadedRelay loaded;
    REQUIRE(loaded.ready);
    for (int buffers : {1, 8, 48}) {
        for (FormatPlan formats : {FormatPlan::Default, FormatPlan::YC48}) {
            CHECK_EQ(loaded.Choose(kChecking, buffers), settings_bytes::kHeader);
            Export e;
            e.buffers = buffers;
            e.frame_count = 200;
            e.formats = formats;
            e.cancel_after_frame = 30;
            e.options = checking_verdict::kReadsOnAfterAbort;
            e.result = 0;
            LoadedRelay::Outcome outcome = loaded.Run(e);
            REQUIRE(outcome.reported);
            const Verdict& v = outcome.verdict;
            CHECK(g_host.cancelled);
            CHECK(v.abort_at >= 0);
            CHECK_EQ(v.after_abort_null, 0);
            CHECK_EQ(v.after_abort_wrong, 0);
            CHECK_EQ(v.after_abort_own + v.after_abort_zero, checking_verdict::kReadOnFrames);
            CHECK(v.after_abort_zero >= 1);  // the frame far ahead was never fetched
            CHECK_EQ(v.wrong_bytes, 0);
            CHECK_EQ(g_host.calls_after_cancel, 0L);
            if (v.after_abort_null != 0 || v.after_abort_wrong != 0) {
                std::printf("      in the export with %s\n", host_editor::Describe(e).c_str());
            }
        }
    }
}

TEST_CASE(export, a_flag_below_frame_0_is_0_and_the_export_goes_on) {
    LoadedRelay loaded;
    REQUIRE(loaded.ready);
    for (int buffers : {1, 8, 48}) {
        CHECK_EQ(loaded.Choose(kChecking, buffers), settings_bytes::kHeader);
        for (Pattern pattern : {Pattern::Sequential, Pattern::EndToStart}) {
            Export e;
            e.buffers = buffers;
            e.frame_count = 40;
            e.pattern = pattern;
            e.requests = 80;
            e.options = checking_verdict::kFlagsBelowZero;
            LoadedRelay::Outcome outcome = loaded.Run(e);
            CheckCleanExport(e, outcome);
            CHECK(outcome.verdict.flags_below_zero >= 2);
            CHECK_EQ(outcome.verdict.wrong_flags_below_zero, 0);
        }
    }
}

TEST_CASE(export, a_sub_plugin_that_ends_its_own_thread_ends_the_export) {
    LoadedRelay loaded;
    REQUIRE(loaded.ready);
    CHECK_EQ(loaded.Choose(kChecking, 8), settings_bytes::kHeader);
    Export e;
    e.frame_count = 20;
    e.options = checking_verdict::kEndsItsThread;
    e.result = 4242;
    CheckCleanExport(e, loaded.Run(e));
    // The relay is ready for the next export.
    Export next;
    next.frame_count = 20;
    CheckCleanExport(next, loaded.Run(next));
}

namespace {
using cp932::kArrayMemoryText;
using cp932::kBufferMemoryText;
using cp932::kInvalidCountText;
using cp932::kNoSelectionText;

// The one message box the last call left, or "(none)".
std::string TheMessage() {
    editor::WaitForMessageBoxes(1, 5000);
    std::vector<std::string> texts = editor::TakeMessageBoxTexts();
    if (texts.size() != 1) return "(" + std::to_string(texts.size()) + " messages)";
    return texts[0];
}
}  // namespace

TEST_CASE(export, refused_exports_tell_the_user_why) {
    LoadedRelay loaded;
    REQUIRE(loaded.ready);
    struct Refusal {
        int32_t buffers;
        const char* text;
    };
    const Refusal refusals[] = {
        {0, kInvalidCountText},
        {-3, kInvalidCountText},
        // Slot arrays of 2 GB each, or of a size that does not fit 32 bits.
        {0x20000000, kArrayMemoryText},
        {0x7FFFFFFF, kArrayMemoryText},
    };
    for (const Refusal& refusal : refusals) {
        CheckRow row(std::to_string(refusal.buffers) + " buffers");
        CHECK_EQ(loaded.Choose(kChecking, refusal.buffers), settings_bytes::kHeader);
        Export e;
        LoadedRelay::Outcome outcome = loaded.Run(e);
        CHECK_EQ(outcome.result, 0);
        CHECK(!outcome.reported);
        CHECK_EQ(TheMessage(), std::string(refusal.text));
    }
    // A saved choice of a sub-plugin that is gone clears the selection.
    CHECK_EQ(loaded.Choose("gone.auo_", 8), 0);
    Export e;
    CHECK_EQ(loaded.Run(e).result, 0);
    CHECK_EQ(TheMessage(), std::string(kNoSelectionText));
    CHECK_EQ(g_host.video_fetches + g_host.flag_fetches, 0L);
}

TEST_CASE(export, slots_that_cannot_be_allocated_abort_the_export_with_a_message) {
    LoadedRelay loaded;
    REQUIRE(loaded.ready);
    struct Huge {
        int buffers;
        int width;
        int height;
    };
    // One 20000x20000 YC48 frame is 2.4 GB; 48 slots of 3840x2160 YC48 are
    // 2.39 GB, more than a 32-bit process can address.
    const Huge cases[] = {{1, 20000, 20000}, {8, 20000, 20000}, {48, 3840, 2160}};
    for (const Huge& c : cases) {
        CheckRow row(std::to_string(c.buffers) + " buffers of " + std::to_string(c.width) + "x" +
                     std::to_string(c.height) + " YC48");
        CHECK_EQ(loaded.Choose(kChecking, c.buffers), settings_bytes::kHeader);
        Export e;
        e.buffers = c.buffers;
        e.width = c.width;
        e.height = c.height;
        e.frame_count = 5;
        e.formats = FormatPlan::YC48;
        e.result = 66;
        LoadedRelay::Outcome outcome = loaded.Run(e);
        CHECK_EQ(outcome.result, 66);
        REQUIRE(outcome.reported);
        // The first frame comes back null and is_abort tells why.
        CHECK_EQ(outcome.verdict.abort_at, 0);
        CHECK_EQ(outcome.verdict.video_calls, 1);
        CHECK_EQ(outcome.verdict.audio_after_abort, 1);
        CHECK_EQ(g_host.video_fetches, 0L);
        CHECK_EQ(TheMessage(), std::string(kBufferMemoryText));
    }
    // 4 slots of 3840x2160 YC48 (199 MB) do fit, and work.
    CHECK_EQ(loaded.Choose(kChecking, 4), settings_bytes::kHeader);
    Export fits;
    fits.buffers = 4;
    fits.width = 3840;
    fits.height = 2160;
    fits.frame_count = 3;
    fits.formats = FormatPlan::YC48;
    CheckCleanExport(fits, loaded.Run(fits));
    CHECK(editor::TakeMessageBoxTexts().empty());
}
