#include "tests/wine/host_editor.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "tests/common/frame_pattern.h"
#include "tests/wine/check.h"
#include "tests/wine/settings_bytes.h"

namespace host_editor {

const char kChecking[] = "checking.auo_";
HostEditor g_host;

namespace {
using checking_verdict::Verdict;
}  // namespace

bool HostEditor::AdmitVideo(int frame, uint32_t format) {
    if (frame < 0 || frame_pattern::FrameBytes(info, format) == 0) {
        ++refused_fetches;
        return false;
    }
    const int count = info.frame_count;
    if (frame >= count) past_end_frames.push_back(frame);
    if (frame >= count && frame - count < 31) past_end_fetched |= 1 << (frame - count);
    if (frame < count) ++fetches_per_frame[static_cast<size_t>(frame)];
    return true;
}

void* HostEditor::ProduceVideo(int frame, uint32_t format) {
    const size_t bytes = frame_pattern::FrameBytes(info, format);
    uint8_t* data = FrameBuffer(bytes);
    if (data != nullptr) frame_pattern::Fill(data, bytes, frame, format);
    return data;
}

void* HostEditor::Audio(int start, int length, int* read) {
    const int delivered = length < 0 ? 0 : (length > 4096 ? 4096 : length);
    for (int i = 0; i < delivered; ++i) audio[i] = frame_pattern::AudioSampleOf(start + i);
    *read = delivered;
    return audio;
}

int HostEditor::Flag(int frame) {
    return odd_flags ? checking_verdict::OddFlagOf(frame) : frame_pattern::FlagOf(frame);
}

void HostEditor::Progress(int position, int total) {
    if ((position == last_position && total == last_total) || (position == -1 && total == -1)) {
        ++repeated_progress;
    }
    last_position = position;
    last_total = total;
}

void PrepareHost(const Export& e) {
    g_host.~HostEditor();
    new (&g_host) HostEditor();
    g_host.cancel_after_frame = e.cancel_after_frame;
    g_host.null_frame = e.null_frame;
    g_host.null_from = e.null_past_end ? e.frame_count : -1;
    g_host.audio_fault = e.audio_fault;
    g_host.odd_flags = (e.options & checking_verdict::kOddFlags) != 0;
    g_host.fetches_per_frame.assign(static_cast<size_t>(e.frame_count > 0 ? e.frame_count : 0), 0);
    OutputInfo& info = g_host.info;
    info.flags = 0x10;
    info.width = e.width;
    info.height = e.height;
    info.frame_count = e.frame_count;
    info.frame_bytes = e.width * e.height * 3;
    info.passthrough_1[0] = e.options;
    info.passthrough_1[1] = static_cast<int32_t>(e.seed);
    info.passthrough_2[checking_verdict::kPlanAndPatternField] =
        checking_verdict::PlanAndPattern(static_cast<int>(e.formats), static_cast<int>(e.pattern));
    info.passthrough_2[checking_verdict::kRequestsField] = e.requests;
    info.passthrough_2[checking_verdict::kResultField] = e.result;
    info.passthrough_2[checking_verdict::kSampleBytesField] = checking_verdict::kSampleBytes;
    // The output file's name, as the editor points at it; it carries the
    // editor's window for the cases that need one.
    static char file_name[32];
    checking_verdict::WindowName(file_name, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(e.owner_window)));
    const char* name = file_name;
    static_assert(sizeof name == sizeof info.passthrough_3, "a pointer in the 4 passthrough bytes");
    std::memcpy(info.passthrough_3, &name, sizeof info.passthrough_3);
    editor_sim::Editor::FillServices(&info);
}

LoadedRelay::LoadedRelay(const std::vector<std::string>& others) {
    editor::ClearSidecar();
    if (!editor::InstallSubPlugin(kChecking) || !editor::InstallSubPlugin("no_output.auo_")) return;
    for (const std::string& other : others) {
        if (!editor::InstallSubPlugin(other)) return;
    }
    if (!editor::LoadRelay(&relay)) return;
    ready = relay.table->init() == 1;
    editor::TakeMessageBoxTexts();
}

LoadedRelay::~LoadedRelay() {
    if (relay.table != nullptr) relay.table->exit();
    editor::UnloadRelay(&relay);
    editor::ClearSidecar();
}

int LoadedRelay::Choose(const std::string& file_name, int32_t buffers) {
    std::vector<uint8_t> record = settings_bytes::MakeRecord(buffers, file_name, "");
    return relay.table->config_set(record.data(), static_cast<int>(record.size()));
}

LoadedRelay::Outcome LoadedRelay::Run(const Export& e) {
    Outcome outcome;
    PrepareHost(e);
    TakeCalls();
    outcome.result = relay.table->output(&g_host.info);
    outcome.calls = TakeCalls();
    std::vector<RecordedCall> outputs = CallsTo(outcome.calls, kChecking, "output");
    if (outputs.size() == 1 && outputs[0].bytes.size() == sizeof(Verdict)) {
        outcome.reported = true;
        outcome.call = outputs[0];
        std::memcpy(&outcome.verdict, outputs[0].bytes.data(), sizeof(Verdict));
    }
    return outcome;
}

std::string Describe(const Export& e) {
    return std::to_string(e.buffers) + " buffers, " + access_pattern::NameOf(e.pattern) + ", " +
           access_pattern::NameOf(e.formats) + ", " + std::to_string(e.width) + "x" + std::to_string(e.height);
}

bool CheckCleanExport(const Export& e, const LoadedRelay::Outcome& outcome) {
    const std::string what = Describe(e);
    bool ok = CHECK_EQ(outcome.result, e.result);
    ok = CHECK(outcome.reported) && ok;
    const Verdict& v = outcome.verdict;
    const int requests = e.requests > 0 ? e.requests : e.frame_count;
    ok = CHECK_EQ(v.frames_checked, requests) && ok;
    ok = CHECK_EQ(v.wrong_bytes, 0) && ok;
    ok = CHECK_EQ(v.null_frames, 0) && ok;
    ok = CHECK_EQ(v.wrong_flags, 0) && ok;
    ok = CHECK_EQ(v.abort_at, -1) && ok;
    ok = CHECK_EQ(v.wrong_audio, 0) && ok;
    ok = CHECK_EQ(static_cast<long>(g_host.off_thread), 0L) && ok;
    ok = CHECK_EQ(g_host.plain_video_calls, 0) && ok;
    ok = CHECK_EQ(g_host.refused_fetches, 0) && ok;
    ok = CHECK_EQ(g_host.repeated_progress, 0) && ok;
    // Frames past the end reach the editor only when the sub-plugin asked for them.
    ok = CHECK_EQ(g_host.past_end_fetched & ~v.asked_past_end, 0) && ok;
    ok = CHECK_EQ(v.ole_result, 1) && ok;  // S_FALSE: the relay initialised OLE on this thread
    ok = CHECK(v.thread_id != GetCurrentThreadId()) && ok;
    if (!ok) std::printf("      in the export with %s\n", what.c_str());
    return ok;
}

}  // namespace host_editor
