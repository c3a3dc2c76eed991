// Exports whose encoder runs on the helper's side: the editor's thread serves
// through the control block's channel as the isolated module does, and a
// thread of the test plays the helper program, running the encoder's output
// as the helper runs it. The two halves meet only in the block and the
// sections the serving side hands over, as they do across two processes
// under Wine; here the sanitizers watch them.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <new>
#include <thread>

#include "isolated/protocol/helper_endpoint.h"
#include "isolated/protocol/output_request.h"
#include "isolated/protocol/section_retirer.h"
#include "isolated/serving/isolated_export.h"
#include "isolated/worker/output_call.h"
#include "platform/shared_memory.h"
#include "tests/common/frame_pattern.h"
#include "tests/common/relay_context_probe.h"
#include "tests/native/relay_harness.h"

namespace {

using relay_test::RelayHarness;
using relay_test::WrongBytesOf;

constexpr int32_t kSampleBytes = 2;  // the simulated editor's mono 16-bit audio

// The helper program on a thread of this process: the block in a section of
// its own, the editor's handoff events taken over, and each Output call run
// to its end by the code the helper program runs.
class ThreadHelper final : public HelperEndpoint {
public:
    ThreadHelper(RelayContext& editor_side, OutputPluginTable& encoder) : editor_side_(editor_side), encoder_(encoder) {
        if (memory_.Create(sizeof(ControlBlock))) block_ = new (memory_.data()) ControlBlock;
        opened_ = OpenExports(Inside(editor_side).done_event.handle(), Inside(editor_side).wake_event.handle());
    }
    ~ThreadHelper() override {
        if (thread_.joinable()) thread_.join();
        CloseExports();
        SetModuleContext(&editor_side_);
        if (block_ != nullptr) block_->~ControlBlock();
    }

    bool Ready() const { return block_ != nullptr && opened_; }
    int ended_unanswering = 0;

    bool EnsureRunning() override { return Ready(); }
    ControlBlock& Block() override { return *block_; }
    void Post(HelperCall code) override {
        ASSERT_EQ(code, HelperCall::Output);
        thread_ = std::thread([this] { result_ = RunOutputCall(*block_, &encoder_); });
    }
    CallOutcome AwaitAnswer(const char*, platform::WhileWaiting) override {
        thread_.join();
        // Both halves are in one process here, and the helper's export used
        // the module-wide pointer for its own context.
        SetModuleContext(&editor_side_);
        LetExportSectionsGo();  // as the helper does once it has answered
        return {CallStatus::Done, result_, false};
    }
    platform::ObjectHandle Process() const override { return 0; }
    platform::ObjectHandle DuplicateIntoPeer(platform::ObjectHandle handle) const override {
        const int copy = dup(static_cast<int>(handle));
        return copy < 0 ? 0 : static_cast<platform::ObjectHandle>(copy);
    }
    void EndUnanswering(const char*) override { ++ended_unanswering; }
    void LetSectionGo(platform::SharedMemory& section) override { retirer_.Retire(section); }

private:
    RelayContext& editor_side_;
    OutputPluginTable& encoder_;
    platform::SharedMemory memory_;
    ControlBlock* block_ = nullptr;
    bool opened_ = false;
    std::thread thread_;
    int result_ = 0;
    SectionRetirer retirer_;
};

std::atomic<long> g_wrong{0};
std::atomic<long> g_frames{0};
std::atomic<long> g_audio_samples{0};
const int16_t* g_editor_audio = nullptr;

// Reads every frame, alternating the default format with YUY2 every few
// frames (each switch a new section of slots), every flag, and the audio of
// each frame, and checks every byte.
int CheckingOutput(OutputInfo* info) {
    for (int f = 0; f < info->frame_count; ++f) {
        const uint32_t format = (f / 5) % 2 == 0 ? kFormatDefault : kFormatYUY2;
        g_wrong += WrongBytesOf(info, f, format, info->get_video_ex(f, format));
        g_wrong += info->get_flag(f) != frame_pattern::FlagOf(f);
        int read = -1;
        const auto* audio = static_cast<const int16_t*>(info->get_audio(f * 100, 100, &read));
        if (audio == nullptr || read != 100 || std::memcmp(audio, g_editor_audio, 100 * kSampleBytes) != 0) {
            ++g_wrong;
        } else {
            g_audio_samples += read;
        }
        ++g_frames;
        info->show_progress(f, info->frame_count);
        if (info->is_abort()) return 0;
    }
    return 9;
}

class IsolatedExport : public RelayHarness {
protected:
    void SetUp() override {
        RelayHarness::SetUp();
        g_wrong = 0;
        g_frames = 0;
        g_audio_samples = 0;
        for (int i = 0; i < 2048; ++i) editor_.AudioBuffer()[i] = frame_pattern::AudioSampleOf(i);
        g_editor_audio = editor_.AudioBuffer();
    }

    // The encoder as the helper's scan would list it: the first entry.
    int Export(int (*output)(OutputInfo*), int buffer_count) {
        encoder_ = OutputPluginTable{};
        encoder_.name = "Checking Encoder";
        encoder_.output = output;
        SubPluginEntry entry;
        entry.file_name = "checking.auo_";
        entry.table = &proxy_;
        context_->plugins.push_back(entry);
        context_->selected = &proxy_;
        context_->buffer_count = buffer_count;
        ThreadHelper helper(*context_, encoder_);
        EXPECT_TRUE(helper.Ready());
        OutputInfo info = editor_.Info();
        info.passthrough_2[3] = kSampleBytes;
        const int result = RunIsolatedExport(*context_, helper, &info);
        EXPECT_EQ(helper.ended_unanswering, 0);
        context_->plugins.clear();
        context_->selected = nullptr;
        return result;
    }

    SimulatedEditor editor_{16, 8, 40};
    OutputPluginTable encoder_{};
    OutputPluginTable proxy_{};  // what the editor's side holds in the encoder's place
};

TEST_F(IsolatedExport, EveryFrameFlagAndSampleArrivesWholeAcrossTheChannelAndTheResultComesBack) {
    for (int buffers : {1, 3, 8, 48}) {
        g_wrong = 0;
        g_frames = 0;
        g_audio_samples = 0;
        EXPECT_EQ(Export(CheckingOutput, buffers), 9) << buffers;
        EXPECT_EQ(g_wrong.load(), 0) << buffers;
        EXPECT_EQ(g_frames.load(), editor_.frame_count()) << buffers;
        EXPECT_EQ(g_audio_samples.load(), 100L * editor_.frame_count()) << buffers;
        EXPECT_EQ(editor_.CallsOffThread(), 0) << buffers;
        // The channel is the context's own again, and nothing stays mapped.
        EXPECT_EQ(Inside(*context_).buffers.video_slots.load(), nullptr);
    }
}

TEST_F(IsolatedExport, ACancelInTheEditorReachesTheEncoderThroughTheChannel) {
    editor_.cancel_after_frame = 12;
    // Once cancelled, the encoder reads zeros and no audio, as in-process.
    EXPECT_EQ(Export(CheckingOutput, 8), 0);
    EXPECT_LT(g_frames.load(), editor_.frame_count());
}

}  // namespace
