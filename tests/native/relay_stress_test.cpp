// Many exports with tiny frames, so that the two threads meet in every way
// they can: every access pattern and format plan for each buffer count, and
// every pattern again with a sub-plugin that uses two threads of its own. Every byte of every frame and
// every flag is checked; none may be wrong. Meant for the thread and address
// sanitizers as much as for the plain build.
//
// OFFLOADER_STRESS_SCALE multiplies the number of requests (default 1: over
// a million video requests in all, each with its flag; the thread
// sanitizer's build defaults to two fifths of that to stay quick).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/common/access_pattern.h"
#include "tests/native/checking_output.h"
#include "tests/native/fakes/fakes.h"
#include "tests/native/relay_harness.h"
#include "tests/native/simulated_editor.h"

#if defined(__SANITIZE_THREAD__)
#define OFFLOADER_UNDER_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define OFFLOADER_UNDER_TSAN 1
#endif
#endif

namespace {

using access_pattern::FormatPlan;
using access_pattern::Pattern;

// 240 exports of this many video requests each make 1,008,000.
constexpr int kRequestsPerExport = 4200;

double Scale() {
    if (const char* text = std::getenv("OFFLOADER_STRESS_SCALE")) {
        const double scale = std::atof(text);
        if (scale > 0) return scale;
    }
#if defined(OFFLOADER_UNDER_TSAN)
    return 0.4;
#else
    return 1.0;
#endif
}

class RelayStress : public relay_test::RelayHarness, public ::testing::WithParamInterface<int> {
protected:
    void Run(const checking_output::Plan& plan) {
        editor_.ForgetCalls();
        checking_output::Prepare(plan);
        ASSERT_EQ(Export(editor_, checking_output::Output, GetParam()), plan.result);
        // Export after export, with the format changing under the ring: every
        // slot region goes back when the export ends.
        EXPECT_EQ(fakes::LivePageRegions(), 0u);
        const checking_output::Verdict& verdict = checking_output::Result();
        EXPECT_GE(verdict.video_requests, plan.requests);
        EXPECT_EQ(verdict.wrong_bytes, 0);
        EXPECT_GE(verdict.flag_requests, plan.requests);
        EXPECT_EQ(verdict.wrong_flags, 0);
        EXPECT_EQ(verdict.wrong_audio, 0);
        EXPECT_EQ(verdict.abort_seen, 0) << "nothing failed, nothing was cancelled";
        EXPECT_EQ(editor_.CallsOffThread(), 0);
        // The editor is asked for a frame at or past the end only when the
        // sub-plugin asked for that frame itself.
        for (const auto& fetch : editor_.VideoFetches()) {
            if (fetch.frame >= editor_.frame_count()) {
                EXPECT_EQ(verdict.asked_past_end.count(fetch.frame), 1u) << fetch.frame;
            }
        }
        for (int frame : editor_.FlagFetches()) {
            if (frame >= editor_.frame_count()) {
                EXPECT_EQ(verdict.asked_past_end.count(frame), 1u) << frame;
            }
        }
        const auto pairs = editor_.ProgressCalls();
        for (size_t i = 0; i < pairs.size(); ++i) {
            EXPECT_NE(pairs[i], SimulatedEditor::ProgressPair(-1, -1));
            if (i > 0) {
                EXPECT_NE(pairs[i], pairs[i - 1]) << "a pair forwarded twice";
            }
        }
        verified_frames_ += verdict.video_requests;
        verified_flags_ += verdict.flag_requests;
    }

    // 4 × 2 pixels: frames of 27 (an odd size, as some editors give), 16
    // and 48 bytes.
    SimulatedEditor editor_{4, 2, 150};
    long verified_frames_ = 0;
    long verified_flags_ = 0;
};

TEST_P(RelayStress, EveryPatternAndFormatPlanDeliversOnlyRightBytes) {
    editor_.frame_bytes = 27;
    const int requests = static_cast<int>(kRequestsPerExport * Scale());
    int exports = 0;
    for (int p = 0; p < access_pattern::kPatternCount; ++p) {
        for (int f = 0; f < access_pattern::kFormatPlanCount; ++f) {
            SCOPED_TRACE(std::string(access_pattern::NameOf(static_cast<Pattern>(p))) + ", " +
                         access_pattern::NameOf(static_cast<FormatPlan>(f)));
            checking_output::Plan plan;
            plan.pattern = static_cast<Pattern>(p);
            plan.formats = static_cast<FormatPlan>(f);
            plan.requests = requests;
            plan.seed = static_cast<uint32_t>(GetParam() * 1000 + p * 10 + f);
            plan.result = 500 + exports;
            Run(plan);
            ++exports;
        }
    }
    for (int p = 0; p < access_pattern::kPatternCount; ++p) {
        SCOPED_TRACE(std::string(access_pattern::NameOf(static_cast<Pattern>(p))) +
                     ", two threads of the sub-plugin's own");
        checking_output::Plan plan;
        plan.pattern = static_cast<Pattern>(p);
        plan.formats = p % 2 == 0 ? FormatPlan::Blocks : FormatPlan::YC48;
        plan.requests = requests;
        plan.seed = static_cast<uint32_t>(GetParam() * 1000 + 900 + p);
        plan.second_thread = true;
        plan.editor_audio = editor_.AudioBuffer();
        plan.result = 500 + exports;
        Run(plan);
        ++exports;
    }
    EXPECT_GE(verified_frames_, static_cast<long>(exports) * requests);
    std::printf("[ stress   ] %d buffers: %ld frame requests and %ld flag requests verified (scale %.2f)\n", GetParam(),
                verified_frames_, verified_flags_, Scale());
    RecordProperty("verified_frame_requests", std::to_string(verified_frames_));
}

INSTANTIATE_TEST_SUITE_P(BufferCounts, RelayStress, ::testing::Values(1, 2, 3, 8, 48, 100),
                         [](const auto& info) { return std::to_string(info.param) + "Buffers"; });

}  // namespace
