// Fuzzes the relay's request channel and read-ahead: each input is decoded
// into a buffer count, a clip length and a script of service calls that a
// sub-plugin makes on the worker thread during a real export. The simulated
// editor's frames and flags are functions of their frame number, so every
// answer can be checked: a frame is its own bytes, or zeros once the export
// is aborted, never another frame's; it is null only where the editor gave
// null for that very request, or the request itself is refused (a frame
// below 0, an unknown format); a flag below frame 0 is 0 and aborts nothing.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "plugin/entry/entry_points.h"
#include "plugin/relay_context.h"
#include "tests/native/fakes/fakes.h"

namespace {

constexpr int kWidth = 6;
constexpr int kHeight = 4;
const uint32_t kFormats[] = {kFormatDefault,      kFormatYUY2, kFormatYC48, kFormatYUY2Reversed,
                             kFormatYC48Reversed, 0x30323449u, kNoFormat,   0x12345678u};

size_t BytesFor(uint32_t format) {
    switch (format) {
        case kFormatDefault: return kWidth * kHeight * 3 + 5;  // an odd frame_bytes, as some editors give
        case kFormatYUY2:
        case kFormatYUY2Reversed: return kWidth * kHeight * 2;
        case kFormatYC48:
        case kFormatYC48Reversed: return kWidth * kHeight * 6;
        default: return 0;
    }
}

uint8_t ByteOf(int frame, uint32_t format, size_t index) {
    return static_cast<uint8_t>(frame * 131 + (format >> 3) + index * 7);
}
int FlagOf(int frame) { return frame ^ 0x5A5A; }

struct Editor {
    std::thread::id thread;
    const uint8_t* script = nullptr;
    size_t script_size = 0;
    int frame_count = 1;
    int fail_modulus = 0;  // a frame f with f % fail_modulus == fail_modulus - 1 cannot be produced
    std::atomic<bool> failed_or_cancelled{false};
    std::atomic<bool> cancel{false};
    // The editor's null answers: how many, and the last one's request.
    std::atomic<int> nulls{0};
    std::atomic<int> null_frame{-1};
    std::atomic<uint32_t> null_format{0};
    std::vector<uint8_t> frame;
    int16_t audio[256] = {};
    int shown_position = -1;
    int shown_total = -1;
} g_editor;

void Fail(const char* what, long a = 0, long b = 0) {
    std::fprintf(stderr, "relay fault: %s (%ld, %ld)\n", what, a, b);
    std::abort();
}

void OnEditorThread() {
    if (std::this_thread::get_id() != g_editor.thread) Fail("editor called off its thread");
}

void* EditorGetVideoEx(int frame, uint32_t format) {
    OnEditorThread();
    if (frame < 0) Fail("editor asked for a negative frame", frame);
    size_t bytes = BytesFor(format);
    if (bytes == 0) Fail("editor asked for a refused format", static_cast<long>(format));
    if (g_editor.fail_modulus != 0 && frame % g_editor.fail_modulus == g_editor.fail_modulus - 1) {
        g_editor.failed_or_cancelled.store(true);
        g_editor.null_frame.store(frame);
        g_editor.null_format.store(format);
        g_editor.nulls.fetch_add(1);
        return nullptr;
    }
    g_editor.frame.assign(bytes, 0);
    for (size_t i = 0; i < bytes; ++i) g_editor.frame[i] = ByteOf(frame, format, i);
    return g_editor.frame.data();
}
void* EditorGetVideo(int) {
    Fail("the relay must fetch through get_video_ex");
    return nullptr;
}
int EditorGetFlag(int frame) {
    OnEditorThread();
    if (frame < 0) Fail("editor asked for a negative flag", frame);
    return FlagOf(frame);
}
void* EditorGetAudio(int, int length, int* read) {
    OnEditorThread();
    if (read == nullptr) Fail("editor got a null read pointer");
    *read = length < 0 ? 0 : (length > 128 ? 128 : length);
    return g_editor.audio;
}
int EditorIsAbort() {
    OnEditorThread();
    if (g_editor.cancel.load()) {
        g_editor.failed_or_cancelled.store(true);
        return 1;
    }
    return 0;
}
int EditorShowProgress(int position, int total) {
    OnEditorThread();
    if (position == g_editor.shown_position && total == g_editor.shown_total) Fail("a repeated pair was forwarded");
    g_editor.shown_position = position;
    g_editor.shown_total = total;
    return 1;
}
int EditorUpdatePreview() {
    OnEditorThread();
    return 1;
}

// The sub-plugin: plays the script and checks every answer.
int ScriptedOutput(OutputInfo* info) {
    const uint8_t* p = g_editor.script;
    const uint8_t* end = p + g_editor.script_size;
    auto next = [&]() -> int { return p < end ? *p++ : 0; };
    auto frame_arg = [&]() { return next() % (g_editor.frame_count + 12) - 2; };
    bool abort_seen = false;
    while (p < end) {
        switch (next() % 9) {
            case 0:
            case 1: {
                int frame = frame_arg();
                uint32_t format = kFormats[next() % 8];
                const int nulls_before = g_editor.nulls.load();
                auto* data = static_cast<const uint8_t*>(format == kFormatDefault && (frame & 1)
                                                             ? info->get_video(frame)
                                                             : info->get_video_ex(frame, format));
                size_t bytes = BytesFor(format);
                if (frame < 0 || bytes == 0) {
                    if (data != nullptr) Fail("a refused request returned data", frame, static_cast<long>(format));
                    // Such a request is a failed fetch: the export is aborted from here on.
                    g_editor.failed_or_cancelled.store(true);
                    break;
                }
                if (data == nullptr) {
                    // Only the editor's own null for this request is passed on.
                    if (g_editor.nulls.load() == nulls_before || g_editor.null_frame.load() != frame ||
                        g_editor.null_format.load() != format) {
                        Fail("a frame came back null that the editor did not refuse", frame, static_cast<long>(format));
                    }
                    break;
                }
                // Once the export is aborted a frame may be zeros; wrong bytes never are.
                bool zeros = g_editor.failed_or_cancelled.load();
                for (size_t i = 0; zeros && i < bytes; ++i) zeros = data[i] == 0;
                if (zeros) break;
                for (size_t i = 0; i < bytes; ++i) {
                    if (data[i] != ByteOf(frame, format, i)) Fail("wrong frame bytes", frame, static_cast<long>(i));
                }
                break;
            }
            case 2: {
                int frame = frame_arg();
                int flag = info->get_flag(frame);
                if (frame < 0 && flag != 0) Fail("a flag below frame 0 was not 0", frame, flag);
                if (frame >= 0 && !g_editor.failed_or_cancelled.load() && flag != FlagOf(frame)) {
                    Fail("wrong flag", frame, flag);
                }
                break;
            }
            case 3: {
                int read = -7;
                bool with_read = next() & 1;
                void* audio = info->get_audio(next(), next() - 8, with_read ? &read : nullptr);
                if (abort_seen && (audio != nullptr || (with_read && read != 0))) Fail("audio after an abort");
                break;
            }
            case 4:
                if (info->is_abort()) {
                    // Only a failed fetch, a refused request or the user ends an export.
                    if (!g_editor.failed_or_cancelled.load()) Fail("aborted without a failure or a cancel");
                    abort_seen = true;
                }
                break;
            case 5: info->show_progress(next() % 4 - 1, next() % 3 - 1); break;
            case 6: info->update_preview(); break;
            case 7:
                if ((next() & 7) == 0) g_editor.cancel.store(true);
                break;
            case 8:
                std::this_thread::yield();  // lets the read-ahead run between calls
                break;
        }
    }
    return 0x5EED;
}

RelayContext* Setup() {
    static char folder[] = "/tmp/offloader-fuzz-XXXXXX";
    if (mkdtemp(folder) == nullptr) std::abort();
    fakes::SetHostExecutablePath(std::string(folder) + "/editor.exe");
    if (PluginInit() != 1) std::abort();
    return ModuleContext();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static RelayContext* context = Setup();
    static OutputPluginTable table = [] {
        OutputPluginTable t{};
        t.name = "scripted";
        t.output = ScriptedOutput;
        return t;
    }();
    if (size < 3) return 0;
    g_editor.thread = std::this_thread::get_id();
    context->buffer_count = 1 + data[0] % 100;
    g_editor.frame_count = 1 + data[1] % 80;
    g_editor.fail_modulus = data[2] % 5 == 0 ? 2 + data[2] % 40 : 0;
    g_editor.failed_or_cancelled.store(false);
    g_editor.cancel.store(false);
    g_editor.nulls.store(0);
    g_editor.null_frame.store(-1);
    g_editor.shown_position = -1;
    g_editor.shown_total = -1;
    g_editor.script = data + 3;
    g_editor.script_size = size - 3;
    context->selected = &table;

    OutputInfo info{};
    info.width = kWidth;
    info.height = kHeight;
    info.frame_count = g_editor.frame_count;
    info.frame_bytes = static_cast<int>(BytesFor(kFormatDefault));
    info.get_video = EditorGetVideo;
    info.get_video_ex = EditorGetVideoEx;
    info.get_audio = EditorGetAudio;
    info.get_flag = EditorGetFlag;
    info.is_abort = EditorIsAbort;
    info.show_progress = EditorShowProgress;
    info.update_preview = EditorUpdatePreview;
    if (PluginOutput(&info) != 0x5EED) Fail("the sub-plugin's result was not passed through");
    fakes::TakeMessageBoxes();
    return 0;
}
