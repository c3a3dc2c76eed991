// A sample encoder that hands the work to an external ffmpeg: it starts
// ffmpeg, streams the editor's frames (YUY2, from get_video_ex) and its audio
// (16-bit PCM, from get_audio) to it over two loopback TCP connections, and
// ffmpeg writes H.264 and AAC (by default) into the output file. It is a
// plain output plugin: the editor can load it directly as ffmpeg_pipe.auo,
// or the relay can run it from the sidecar folder as ffmpeg_pipe.auo_.
//
// Why TCP: it is the one transport that a Windows ffmpeg and, under Wine, a
// Linux ffmpeg both open by name (tcp://127.0.0.1:PORT), and that the sample
// can write to without blocking. Under Wine an anonymous pipe does not reach
// a Linux program at all (see ffmpeg_process.h); a FIFO would, but Windows
// has none and a Windows program cannot make one.
//
// ffmpeg reads its inputs in an order of its own, and how far one may run
// ahead of the other depends on its version. The sample therefore never
// blocks on either: it waits until one of the two connections can take
// bytes, writes what fits, and fetches the next frame or second of audio
// only for the stream whose bytes are all gone. Whatever ffmpeg wants next
// is always on its way, so the two inputs cannot hold each other up.
//
// ffmpeg writes to "<name>.partial.<ext>"; only a complete export is renamed
// to the file asked for. ffmpeg's exit status says whether it is complete:
// arguments such as -t or -frames:v end an encode early, and well. A
// cancelled or failed export stops ffmpeg, removes the partial file and
// leaves any older file of that name as it was. A complete file that cannot
// take its final name is never removed: it stays under its partial name.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "plugin/output_plugin.h"
#include "samples/common/export_messages.h"
#include "samples/common/output_file.h"
#include "samples/common/plugin_table.h"
#include "samples/ffmpeg_pipe/ffmpeg_process.h"
#include "samples/ffmpeg_pipe/pipe_plan.h"
#include "samples/ffmpeg_pipe/pipe_plugin.h"
#include "samples/ffmpeg_pipe/stream_link.h"

namespace ffmpeg_pipe {

const char kName[] = "ffmpeg (H.264/MP4) 出力 (サンプル)";
// Pairs of description and pattern; the literal's own NUL ends the list.
const char kFileFilter[] = "MP4 ファイル (*.mp4)\0*.mp4\0すべてのファイル (*.*)\0*.*\0";
PipeSettings g_settings;

namespace {

const char kInformation[] = "外部の ffmpeg で H.264/AAC に変換するサンプル出力プラグイン 0.9.0";

const char kOddSizeMessage[] =
    "映像の幅と高さが偶数でないため出力できません。H.264 (4:2:0) では幅と高さを偶数にしてください。";
const char kConnectionMessage[] = "ffmpeg へデータを送る通信路 (127.0.0.1) を用意できませんでした。";
const char kMissingMessage[] = "ffmpeg が見つかりません。設定画面で ffmpeg のパスを確認してください。";
const char kStartMessage[] = "ffmpeg を起動できませんでした。設定画面で ffmpeg のパスを確認してください。";
const char kEndedEarlyMessage[] = "ffmpeg が出力の途中で終了しました。エンコーダーの引数を確認してください。";
const char kFailedMessage[] = "ffmpeg がエラーで終了しました。";
const char kStuckMessage[] = "ffmpeg が終了しないため、出力を中止しました。";

// How often the sample looks at the editor's cancel button and at ffmpeg
// while it waits for ffmpeg.
constexpr DWORD kPollMilliseconds = 100;
// After a cancellation or failure while ffmpeg still reads: with its inputs
// reset it normally ends within a fraction of a second; past this, or at
// once when it has read everything already, it is ended by force.
constexpr DWORD kStopGraceMilliseconds = 1000;
constexpr DWORD kStopLimitMilliseconds = 30000;

using sample_text::Utf8;

// A message box captioned with the sample's name: `text` in code page 932,
// then `detail` (UTF-8, e.g. ffmpeg's own words) after an empty line.
void ShowPipeError(const char* text, const std::string& detail = std::string()) {
    sample_text::ShowError(kName, text, detail);
}

std::string ExitCodeText(int code) {
    char text[64];
    if (code >= 0 && code < 256) {
        std::snprintf(text, sizeof text, "終了コード %d", code);
    } else {
        std::snprintf(text, sizeof text, "終了コード 0x%08X", static_cast<unsigned>(code));
    }
    return Utf8(text);
}

// The words for a refused plan, nullptr for one that holds: the sizes
// H.264 cannot take are the sample's, the other refusals read as in every
// sample.
const char* PlanErrorMessage(PlanError error) {
    return error == PlanError::kOddSize ? kOddSizeMessage : sample_text::PlanErrorMessage(error);
}

// One input of ffmpeg and the bytes on their way into it.
struct Outgoing {
    StreamLink link;
    std::unique_ptr<uint8_t[]> bytes;
    int32_t size = 0;
    int32_t sent = 0;
    bool finished = false;  // everything sent, and the end announced

    bool Allocate(int32_t capacity) {
        bytes.reset(new (std::nothrow) uint8_t[static_cast<size_t>(capacity)]);
        return bytes != nullptr;
    }
    bool Pending() const { return !finished && sent < size; }
    bool Ready() const { return link.Connected() && !Pending() && !finished; }
    void Finish() {
        link.Finish();
        finished = true;
    }
    // ffmpeg no longer reads this input: it has what it wanted of it (-t,
    // -frames:v, -shortest) or it has failed; its exit status tells which.
    void Left() {
        link.Abort();
        finished = true;
        left = true;
    }
    bool left = false;
};

enum class Outcome {
    kDelivered,    // every frame and sample is with ffmpeg
    kCancelled,    // the user cancelled
    kFrameFailed,  // the editor gave no frame
    kFfmpegEnded,  // ffmpeg ended, or stopped reading, before it had everything
};

class ExportRun {
public:
    ExportRun(OutputInfo* info, const ExportPlan& plan, FfmpegProcess* ffmpeg)
        : info_(info), plan_(plan), ffmpeg_(ffmpeg) {}

    bool Prepare(int* video_port, int* audio_port) {
        if (!video_.Allocate(plan_.frame_bytes) || (plan_.audio && !audio_.Allocate(AudioChunkBytes()))) {
            ShowPipeError(sample_text::kMemoryMessage);
            return false;
        }
        if (!video_.link.Listen() || (plan_.audio && !audio_.link.Listen())) {
            ShowPipeError(kConnectionMessage);
            return false;
        }
        *video_port = video_.link.Port();
        *audio_port = plan_.audio ? audio_.link.Port() : 0;
        return true;
    }

    Outcome Deliver() {
        if (!plan_.audio) audio_.finished = true;
        info_->show_progress(0, plan_.frame_count);
        ULONGLONG next_look = 0;
        for (;;) {
            if (video_.Ready()) {
                Outcome outcome = NextFrame();
                if (outcome != Outcome::kDelivered) return outcome;
            }
            if (audio_.Ready()) NextAudio();
            if (video_.finished && audio_.finished) {
                return video_.left || audio_.left ? Outcome::kFfmpegEnded : Outcome::kDelivered;
            }

            fd_set readable;
            fd_set writable;
            FD_ZERO(&readable);
            FD_ZERO(&writable);
            for (Outgoing* stream : {&video_, &audio_}) {
                if (stream->link.Listening()) FD_SET(stream->link.Listener(), &readable);
                if (stream->link.Connected() && stream->Pending()) FD_SET(stream->link.Connection(), &writable);
            }
            timeval timeout = {0, static_cast<long>(kPollMilliseconds) * 1000};
            const int ready = select(0, &readable, &writable, nullptr, &timeout);
            // The connections are broken: reset, so that an ffmpeg still
            // waiting on them ends (-xerror) and its status says how.
            if (ready == SOCKET_ERROR) return Broken();
            for (Outgoing* stream : {&video_, &audio_}) {
                if (stream->link.Listening() && FD_ISSET(stream->link.Listener(), &readable) &&
                    !stream->link.Accept()) {
                    return Broken();
                }
                if (stream->link.Connected() && stream->Pending() && FD_ISSET(stream->link.Connection(), &writable)) {
                    const int32_t sent =
                        stream->link.Send(stream->bytes.get() + stream->sent, stream->size - stream->sent);
                    if (sent < 0) {
                        // The other input may still be read (-shortest).
                        stream->Left();
                    } else {
                        stream->sent += sent;
                    }
                }
            }
            // While ffmpeg is slow the loop idles in select; while it is
            // quick the editor is asked at every frame anyway.
            const ULONGLONG now = GetTickCount64();
            if (ready == 0 || now >= next_look) {
                next_look = now + kPollMilliseconds;
                if (info_->is_abort()) return Outcome::kCancelled;
                if (ffmpeg_->Ended()) return Outcome::kFfmpegEnded;
            }
        }
    }

    // Resets both inputs: ffmpeg, started with -xerror, stops at its next read.
    void Abort() {
        video_.link.Abort();
        audio_.link.Abort();
    }

private:
    Outcome Broken() {
        Abort();
        return Outcome::kFfmpegEnded;
    }

    // A second at a time: under the relay every audio request waits for the
    // editor's thread, so few large requests cost less than many small ones.
    int32_t AudioChunkSamples() const { return std::max<int32_t>(1, plan_.audio_rate); }
    int32_t AudioChunkBytes() const { return AudioChunkSamples() * plan_.audio_block; }

    Outcome NextFrame() {
        if (next_frame_ == plan_.frame_count) {
            video_.Finish();
            return Outcome::kDelivered;
        }
        void* pixels = info_->get_video_ex(next_frame_, kFormatYUY2);
        // Asked after the frame, not before: once an export is cancelled a
        // relay may answer with whatever its buffer holds, which must not
        // reach the file. A missing frame after a cancellation is expected.
        if (info_->is_abort()) return Outcome::kCancelled;
        if (pixels == nullptr) return Outcome::kFrameFailed;
        // A copy: the editor's buffer is only lent until its next call, and
        // ffmpeg may take this frame's bytes over several of them.
        std::memcpy(video_.bytes.get(), pixels, static_cast<size_t>(plan_.frame_bytes));
        video_.size = plan_.frame_bytes;
        video_.sent = 0;
        ++next_frame_;
        info_->show_progress(next_frame_, plan_.frame_count);
        return Outcome::kDelivered;
    }

    void NextAudio() {
        const int32_t wanted = std::min(AudioChunkSamples(), plan_.audio_samples - next_sample_);
        int read = 0;
        void* samples = wanted > 0 ? info_->get_audio(next_sample_, wanted, &read) : nullptr;
        if (samples == nullptr || read <= 0) {
            // The editor has no more audio than this; the video goes on.
            audio_.Finish();
            return;
        }
        read = std::min(read, wanted);
        std::memcpy(audio_.bytes.get(), samples, static_cast<size_t>(read) * static_cast<size_t>(plan_.audio_block));
        audio_.size = read * plan_.audio_block;
        audio_.sent = 0;
        next_sample_ += read;
    }

    OutputInfo* info_;
    const ExportPlan& plan_;
    FfmpegProcess* ffmpeg_;
    Outgoing video_;
    Outgoing audio_;
    int32_t next_frame_ = 0;
    int32_t next_sample_ = 0;
};

// Stops ffmpeg after a cancellation or failure; false when it would not end.
// Once ffmpeg has read everything nothing but force stops it: it would go on
// encoding what it holds, or rewriting the file.
bool StopFfmpeg(ExportRun* run, FfmpegProcess* ffmpeg, bool still_reading) {
    run->Abort();
    if (still_reading && ffmpeg->WaitEnded(kStopGraceMilliseconds)) return true;
    ffmpeg->Kill();
    return ffmpeg->WaitEnded(kStopLimitMilliseconds);
}

// Waits for ffmpeg to end on its own, as long as the user lets it; false
// when the user cancelled first.
bool AwaitFfmpeg(OutputInfo* info, FfmpegProcess* ffmpeg) {
    while (!ffmpeg->WaitEnded(kPollMilliseconds)) {
        if (info->is_abort()) return false;
    }
    return true;
}

int PipeOutput(OutputInfo* info) {
    if (info == nullptr) return 0;
    ExportPlan plan;
    const PlanError error = MakeExportPlan(*info, &plan);
    // A full path, as ffmpeg may run in another folder. Refused before
    // anything is encoded: with a partial name too long ffmpeg would write
    // the whole export, and then neither the rename nor the clean-up could
    // reach it.
    sample_output::PartialOutput files;
    if (!sample_output::ChooseFiles(*info, g_settings.path, PlanErrorMessage(error), kName, &files)) return 0;
    const Program program = FindProgram(Widen(UnquotedProgram(g_settings.program), 932));
    if (program.kind == ProgramKind::kMissing) {
        ShowPipeError(kMissingMessage, Utf8(g_settings.program));
        return 0;
    }

    WinsockScope winsock;
    if (!winsock.Valid()) {
        ShowPipeError(kConnectionMessage);
        return 0;
    }
    FfmpegProcess ffmpeg;
    ExportRun run(info, plan, &ffmpeg);
    CommandParts parts;
    if (!run.Prepare(&parts.video_port, &parts.audio_port)) return 0;
    if (program.kind == ProgramKind::kLinux) {
        parts.program = program.unix_path;
        parts.output = UnixPath(files.partial);
        parts.through_shell = true;
    } else {
        parts.program = Narrow(program.path, CP_UTF8);
        parts.output = Narrow(files.partial, CP_UTF8);
    }
    parts.arguments = Utf8(g_settings.arguments);
    DWORD start_error = 0;
    if (program.kind == ProgramKind::kUnknown || parts.output.empty() ||
        !ffmpeg.Start(program, BuildCommandLine(plan, parts), &start_error)) {
        char code[64] = "";
        if (start_error != 0) std::snprintf(code, sizeof code, " (%lu)", static_cast<unsigned long>(start_error));
        ShowPipeError(kStartMessage, Narrow(program.path, CP_UTF8) + code);
        return 0;
    }

    Outcome outcome = run.Deliver();
    // Delivered: ffmpeg still encodes what it holds and writes the index.
    // Ended or stopped reading: it may still be finishing a file it chose
    // to end early. Either way it ends by itself, unless the user cancels.
    const bool delivering = outcome == Outcome::kCancelled || outcome == Outcome::kFrameFailed;
    if (!delivering && !AwaitFfmpeg(info, &ffmpeg)) outcome = Outcome::kCancelled;
    if ((outcome == Outcome::kCancelled || outcome == Outcome::kFrameFailed) &&
        !StopFfmpeg(&run, &ffmpeg, delivering)) {
        ShowPipeError(kStuckMessage, ffmpeg.Log());
        return 0;
    }
    const int exit_code = ffmpeg.ExitCode();
    const LogReport log = ReadLog(ffmpeg.Log());
    if ((outcome == Outcome::kDelivered || outcome == Outcome::kFfmpegEnded) && exit_code == 0) {
        return sample_output::GiveFinalName(files, kName) ? 1 : 0;
    }
    DeleteFileW(files.partial.c_str());
    switch (outcome) {
        case Outcome::kCancelled: break;
        case Outcome::kFrameFailed: ShowPipeError(sample_text::kFrameMessage); break;
        case Outcome::kFfmpegEnded:
            ShowPipeError(kEndedEarlyMessage, (exit_code >= 0 ? ExitCodeText(exit_code) + "\n" : "") + log.message);
            break;
        case Outcome::kDelivered: ShowPipeError(kFailedMessage, ExitCodeText(exit_code) + "\n" + log.message); break;
    }
    return 0;
}

int PipeConfigGet(void* data, int size) { return kSettingsRecord.Get(g_settings, data, size); }

int PipeConfigSet(void* data, int size) { return kSettingsRecord.Read(data, size, &g_settings); }

OutputPluginTable g_table =
    sample_plugin::MakeTable(kName, kFileFilter, kInformation, PipeOutput, PipeConfig, PipeConfigGet, PipeConfigSet);

}  // namespace

}  // namespace ffmpeg_pipe

extern "C" OutputPluginTable* GetOutputPluginTable() { return &ffmpeg_pipe::g_table; }
