// The benchmark's floor must read ahead in the format the encoder works in,
// or every frame of such an encoder (the ffmpeg sample asks for YUY2) is a
// round trip, and relay / floor flatters the relay.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>

#include "bench/floor/floor_handoff.h"
#include "plugin/output_plugin.h"
#include "tests/native/relay_harness.h"
#include "tests/native/simulated_editor.h"

namespace {

std::atomic<uint32_t> g_format{kFormatDefault};
std::atomic<long> g_wrong{0};

int EveryFrameInOrder(OutputInfo* info) {
    const uint32_t format = g_format.load();
    for (int frame = 0; frame < info->frame_count; ++frame) {
        g_wrong += relay_test::WrongBytesOf(info, frame, format, info->get_video_ex(frame, format));
        if (info->is_abort()) return 0;
    }
    return 1;
}

TEST(FloorHandoff, FramesComeFromTheRingInTheFormatOfTheEncodersFirstRequest) {
    for (uint32_t format : {kFormatDefault, kFormatYUY2, kFormatYC48}) {
        SimulatedEditor editor(64, 36, 60);
        OutputInfo info = editor.Info();
        OutputPluginTable encoder{};
        encoder.output = EveryFrameInOrder;
        g_format = format;
        g_wrong = 0;
        floor_handoff::Counters counters;
        EXPECT_EQ(floor_handoff::RunExport(&info, &encoder, 8, {}, &counters), 1) << format;
        EXPECT_EQ(g_wrong.load(), 0) << format;
        EXPECT_EQ(counters.round_trips, 0) << "format " << format << ": frames went through the mailbox";
        EXPECT_EQ(editor.VideoFetchCount(), 60u) << format;
        for (const SimulatedEditor::VideoFetch& fetch : editor.VideoFetches()) {
            ASSERT_EQ(fetch.format, format) << "frame " << fetch.frame;
        }
    }
}

}  // namespace
