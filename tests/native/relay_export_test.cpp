// Whole exports through the relay, natively: a simulated editor whose frames
// and flags are functions of the frame number, and sub-plugins that check
// every byte they receive.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/posix/test_hooks.h"
#include "plugin/entry_points.h"
#include "plugin/relay_context.h"
#include "tests/native/temp_folder.h"

namespace {

// The editor's side: every call must come from the thread that called output.
struct SimulatedEditor {
    static SimulatedEditor* current;
    std::thread::id thread = std::this_thread::get_id();
    std::atomic<int> calls_off_thread{0};
    std::vector<uint8_t> frame;
    int width = 16;
    int height = 8;
    int frame_count = 120;
    std::atomic<int> video_fetches{0};
    std::atomic<int> flag_fetches{0};
    std::atomic<int> abort_after{-1};

    static uint8_t ByteOf(int frame, uint32_t format, size_t index) {
        return static_cast<uint8_t>(frame * 31 + format * 7 + index * 13 + (index >> 8));
    }
    static int FlagOf(int frame) { return frame * 3 + 1; }

    size_t BytesFor(uint32_t format) const {
        return format == 0 ? static_cast<size_t>(width * height * 3) : static_cast<size_t>(width * height * 2);
    }
    void Check() {
        if (std::this_thread::get_id() != thread) calls_off_thread.fetch_add(1);
    }
    static void* GetVideoEx(int frame, uint32_t format) {
        SimulatedEditor& e = *current;
        e.Check();
        e.video_fetches.fetch_add(1);
        e.frame.resize(e.BytesFor(format));
        for (size_t i = 0; i < e.frame.size(); ++i) e.frame[i] = ByteOf(frame, format, i);
        return e.frame.data();
    }
    static void* GetVideo(int frame) { return GetVideoEx(frame, 0); }
    static int GetFlag(int frame) {
        current->Check();
        current->flag_fetches.fetch_add(1);
        return FlagOf(frame);
    }
    static void* GetAudio(int, int length, int* read) {
        current->Check();
        static int16_t samples[4096];
        *read = length;
        return samples;
    }
    static int IsAbort() {
        current->Check();
        return 0;
    }
    static int ShowProgress(int, int) {
        current->Check();
        return 1;
    }
    static int UpdatePreview() {
        current->Check();
        return 1;
    }
    OutputInfo Info() {
        OutputInfo info{};
        info.width = width;
        info.height = height;
        info.frame_count = frame_count;
        info.frame_bytes = width * height * 3;
        info.get_video = GetVideo;
        info.get_audio = GetAudio;
        info.is_abort = IsAbort;
        info.show_progress = ShowProgress;
        info.get_flag = GetFlag;
        info.update_preview = UpdatePreview;
        info.get_video_ex = GetVideoEx;
        return info;
    }
};
SimulatedEditor* SimulatedEditor::current = nullptr;

std::atomic<long> g_wrong_bytes{0};
std::atomic<long> g_checked_frames{0};

bool FrameIsRight(const OutputInfo* info, int frame, uint32_t format, const uint8_t* data) {
    if (data == nullptr) return false;
    size_t bytes = format == 0 ? static_cast<size_t>(info->frame_bytes)
                               : static_cast<size_t>(info->width * info->height * 2);
    for (size_t i = 0; i < bytes; ++i) {
        if (data[i] != SimulatedEditor::ByteOf(frame, format, i)) return false;
    }
    return true;
}

int SequentialOutput(OutputInfo* info) {
    for (int f = 0; f < info->frame_count; ++f) {
        auto* data = static_cast<uint8_t*>(info->get_video(f));
        if (!FrameIsRight(info, f, 0, data)) g_wrong_bytes.fetch_add(1);
        if (info->get_flag(f) != SimulatedEditor::FlagOf(f)) g_wrong_bytes.fetch_add(1);
        g_checked_frames.fetch_add(1);
        info->show_progress(f, info->frame_count);
        if (info->is_abort()) return 0;
    }
    return 7;
}

class RelayExport : public ::testing::Test {
protected:
    void SetUp() override {
        platform::test_hooks::SetHostExecutablePath(folder_.Child("editor.exe"));
        ASSERT_EQ(PluginInit(), 1);
        context_ = ModuleContext();
        SimulatedEditor::current = &editor_;
        g_wrong_bytes = 0;
        g_checked_frames = 0;
    }
    void TearDown() override {
        PluginExit();
        platform::test_hooks::SetHostExecutablePath("");
        platform::test_hooks::TakeMessageBoxes();
    }
    int Export(int (*output)(OutputInfo*), int buffer_count) {
        table_ = OutputPluginTable{};
        table_.name = "simulated";
        table_.output = output;
        context_->selected = &table_;
        context_->buffer_count = buffer_count;
        OutputInfo info = editor_.Info();
        return PluginOutput(&info);
    }

    TempFolder folder_;
    RelayContext* context_ = nullptr;
    SimulatedEditor editor_;
    OutputPluginTable table_{};
};

TEST_F(RelayExport, SequentialExportDeliversEveryFrameAndFlag) {
    for (int buffers : {1, 2, 3, 8, 48}) {
        g_wrong_bytes = 0;
        g_checked_frames = 0;
        EXPECT_EQ(Export(SequentialOutput, buffers), 7) << buffers;
        EXPECT_EQ(g_wrong_bytes.load(), 0) << buffers;
        EXPECT_EQ(g_checked_frames.load(), editor_.frame_count) << buffers;
        EXPECT_EQ(editor_.calls_off_thread.load(), 0) << buffers;
    }
}

}  // namespace
