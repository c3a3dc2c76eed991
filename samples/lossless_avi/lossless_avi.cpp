// A sample encoder that compresses, and does it on the thread that calls
// its output: every frame becomes a PNG image (lossless, zlib), stored in an
// AVI beside the 16-bit PCM audio. Loaded directly, that thread is the
// editor's, which produces no frame while one is compressed; run by the
// relay (lossless_avi.auo_ in the sidecar folder), the editor produces the
// next frames while the relay's thread compresses. That difference is what
// the sample is for.
//
// The AVI is written with plain WriteFile, not the AVI file library, which
// corrupts files past 2 GiB without a word and hides the system's reason
// for a failed write: lossless video passes 2 GiB within minutes, and a
// full disk must be reported as one. Its layout (avi_layout.h) carries
// OpenDML indexes, so exports of any length play.
//
// It writes "<name>.partial.avi" and gives the file its name only when it is
// complete. A cancelled or failed export deletes the partial file and
// leaves any older file of that name as it was; a complete file that cannot
// take its name stays under the partial one, and the message says where.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "plugin/output_plugin.h"
#include "samples/common/windows_text.h"
#include "samples/lossless_avi/avi_file.h"
#include "samples/lossless_avi/avi_layout.h"
#include "samples/lossless_avi/lossless_plan.h"
#include "samples/lossless_avi/lossless_plugin.h"
#include "samples/lossless_avi/png_frame.h"

namespace lossless_avi {

const char kName[] = "可逆圧縮AVI出力 (サンプル)";
// Pairs of description and pattern; the literal's own NUL ends the list.
const char kFileFilter[] = "AVI ファイル (*.avi)\0*.avi\0すべてのファイル (*.*)\0*.*\0";
LosslessSettings g_settings;

namespace {

const char kInformation[] = "映像をPNG (可逆圧縮) で、音声をPCMでAVIに書き出すサンプル出力プラグイン 0.9.0";

const char kNoPathMessage[] = "出力ファイルが指定されていません。設定画面で出力ファイルを指定してください。";
const char kNoVideoMessage[] = "出力する映像がありません。";
const char kVideoFormatMessage[] = "映像の形式に対応していません。";
const char kAudioFormatMessage[] = "音声の形式に対応していません。16ビットPCMのみ出力できます。";
const char kTooLargeMessage[] = "画面サイズまたはフレーム数が大きすぎるため出力できません。";
const char kPathTooLongMessage[] =
    "出力ファイルのパスが長すぎるため出力できません。フォルダーまたはファイルの名前を短くしてください。";
const char kMemoryMessage[] = "メモリが確保できませんでした。";
const char kCreateMessage[] = "出力ファイルを作成できませんでした。";
const char kWriteMessage[] = "出力ファイルに書き込めませんでした。出力を中止しました。";
const char kFrameMessage[] = "映像を取得できませんでした。";
const char kEncodeMessage[] = "映像を圧縮できませんでした。";
const char kRenameMessage[] =
    "出力ファイルを指定の名前にできませんでした。エンコードしたファイルは一時的な名前のまま残してあります。";
const char kPartialLabel[] = "エンコードしたファイル: ";
const char kFinalLabel[] = "指定の名前: ";

using sample_text::Narrow;
using sample_text::SystemMessage;
using sample_text::Utf8;
using sample_text::Widen;

const char* PlanErrorMessage(PlanError error) {
    switch (error) {
        case PlanError::kNoVideo: return kNoVideoMessage;
        case PlanError::kVideoFormat: return kVideoFormatMessage;
        case PlanError::kAudioFormat: return kAudioFormatMessage;
        case PlanError::kTooLarge: return kTooLargeMessage;
        case PlanError::kNone: break;
    }
    return nullptr;
}

// The file to write, as a full path, so that the messages name it whole.
std::wstring OutputPath(OutputInfo* info) {
    const char* host_path = nullptr;
    std::memcpy(&host_path, info->passthrough_3, sizeof host_path);
    const char* path = host_path != nullptr && host_path[0] != '\0' ? host_path : g_settings.path;
    if (path[0] == '\0') return std::wstring();
    std::wstring given = Widen(path, 932);
    wchar_t full[MAX_PATH * 2];
    const DWORD length = GetFullPathNameW(given.c_str(), MAX_PATH * 2, full, nullptr);
    return length > 0 && length < MAX_PATH * 2 ? std::wstring(full, length) : given;
}

// The editor's audio, read a second at a time and handed out per frame.
// Under the relay every audio request waits for the editor's thread to
// finish the frame it is producing; one request a second instead of one a
// frame keeps that wait rare.
class AudioReader {
public:
    AudioReader(OutputInfo* info, const ExportPlan& plan) : info_(info), plan_(plan) {}
    ~AudioReader() { delete[] bytes_; }
    AudioReader(const AudioReader&) = delete;
    AudioReader& operator=(const AudioReader&) = delete;

    bool Allocate() {
        if (!plan_.audio) return true;
        bytes_ = new (std::nothrow)
            uint8_t[static_cast<size_t>(plan_.audio_chunk_samples) * static_cast<size_t>(plan_.audio_block)];
        return bytes_ != nullptr;
    }

    // Up to `wanted` samples from `position` on (never more than a
    // second's); 0 once the editor has no more.
    int32_t Take(int32_t position, int32_t wanted, const uint8_t** samples) {
        const int32_t capacity = plan_.audio_chunk_samples;
        wanted = std::min(wanted, capacity);
        if (position < begin_ || position > begin_ + count_) return 0;
        if (begin_ + count_ - position < wanted && !ended_) {
            // What is left moves to the front, and the rest of the second
            // comes from the editor, so that no frame's audio is split.
            const int32_t kept = begin_ + count_ - position;
            std::memmove(bytes_, At(position), static_cast<size_t>(kept) * static_cast<size_t>(plan_.audio_block));
            begin_ = position;
            count_ = kept;
            Fill();
        }
        *samples = At(position);
        return std::min(wanted, begin_ + count_ - position);
    }

private:
    uint8_t* At(int32_t position) {
        return bytes_ + static_cast<size_t>(position - begin_) * static_cast<size_t>(plan_.audio_block);
    }

    void Fill() {
        const int32_t capacity = plan_.audio_chunk_samples;
        while (count_ < capacity && begin_ + count_ < plan_.audio_samples) {
            const int32_t next = begin_ + count_;
            const int32_t asked = std::min(capacity - count_, plan_.audio_samples - next);
            int read = 0;
            void* samples = info_->get_audio(next, asked, &read);
            if (samples == nullptr || read <= 0) {
                // The editor has no more audio than this; the video goes on.
                ended_ = true;
                return;
            }
            read = std::min(read, asked);
            std::memcpy(At(next), samples, static_cast<size_t>(read) * static_cast<size_t>(plan_.audio_block));
            count_ += read;
        }
    }

    OutputInfo* info_;
    const ExportPlan& plan_;
    uint8_t* bytes_ = nullptr;
    int32_t begin_ = 0;  // the first sample held
    int32_t count_ = 0;
    bool ended_ = false;
};

enum class Outcome {
    kComplete,
    kCancelled,
    kFrameFailed,   // the editor gave no frame
    kEncodeFailed,  // zlib refused
    kWriteFailed,   // the file or its index; the layout knows which
};

Outcome WriteFrames(OutputInfo* info, const ExportPlan& plan, PngFrameEncoder* encoder, AudioReader* audio,
                    AviLayout* layout) {
    info->show_progress(0, plan.frame_count);
    for (int32_t frame = 0; frame < plan.frame_count; ++frame) {
        void* pixels = info->get_video(frame);
        // Asked after the frame, not before: once an export is cancelled a
        // relay may answer with whatever its buffer holds, which must not
        // reach the file. A missing frame after a cancellation is expected.
        if (info->is_abort()) return Outcome::kCancelled;
        if (pixels == nullptr) return Outcome::kFrameFailed;
        const size_t png_bytes = encoder->Encode(static_cast<const uint8_t*>(pixels));
        if (png_bytes == 0) return Outcome::kEncodeFailed;
        if (!layout->AddVideo(encoder->Png(), static_cast<uint32_t>(png_bytes))) return Outcome::kWriteFailed;

        const SampleSpan span = AudioSpanOfFrame(plan, frame);
        for (int32_t position = span.begin; position < span.end;) {
            const uint8_t* samples = nullptr;
            const int32_t count = audio->Take(position, span.end - position, &samples);
            if (count == 0) break;
            if (!layout->AddAudio(samples, static_cast<uint32_t>(count) * static_cast<uint32_t>(plan.audio_block))) {
                return Outcome::kWriteFailed;
            }
            position += count;
        }
        info->show_progress(frame + 1, plan.frame_count);
    }
    return Outcome::kComplete;
}

int LosslessOutput(OutputInfo* info) {
    if (info == nullptr) return 0;
    const std::wstring path = OutputPath(info);
    if (path.empty()) {
        ShowLosslessError(kNoPathMessage);
        return 0;
    }
    ExportPlan plan;
    const PlanError error = MakeExportPlan(*info, &plan);
    // Refused before the file exists: nothing half-written is left behind.
    if (error != PlanError::kNone) {
        ShowLosslessError(PlanErrorMessage(error));
        return 0;
    }
    const std::wstring partial = Widen(PartialPath(Narrow(path, CP_UTF8)), CP_UTF8);
    // Refused before anything is encoded: neither the rename nor the
    // clean-up could reach a file of that name.
    if (partial.size() >= MAX_PATH) {
        ShowLosslessError(kPathTooLongMessage, Narrow(path, CP_UTF8));
        return 0;
    }

    PngFrameEncoder encoder;
    AudioReader audio(info, plan);
    if (!encoder.Prepare(plan.width, plan.height, g_settings.level) || !audio.Allocate()) {
        ShowLosslessError(kMemoryMessage);
        return 0;
    }
    AviFileSink file;
    if (!file.Create(partial)) {
        ShowLosslessError(kCreateMessage, Narrow(partial, CP_UTF8) + "\n" + SystemMessage(file.Error()));
        return 0;
    }
    AviLayout layout(plan.avi);
    Outcome outcome = layout.Begin(&file) ? WriteFrames(info, plan, &encoder, &audio, &layout) : Outcome::kWriteFailed;
    if (outcome == Outcome::kComplete && !layout.Finish()) outcome = Outcome::kWriteFailed;
    if (outcome == Outcome::kComplete && !file.Close()) outcome = Outcome::kWriteFailed;
    if (outcome != Outcome::kComplete) {
        const DWORD write_error = file.Error();
        file.Discard();
        switch (outcome) {
            case Outcome::kFrameFailed: ShowLosslessError(kFrameMessage); break;
            case Outcome::kEncodeFailed: ShowLosslessError(kEncodeMessage); break;
            case Outcome::kWriteFailed:
                if (layout.Error() == LayoutError::kMemory) {
                    ShowLosslessError(kMemoryMessage);
                } else if (write_error == 0) {
                    // The file needed more index than the plan foresaw.
                    ShowLosslessError(kTooLargeMessage);
                } else {
                    ShowLosslessError(kWriteMessage, Narrow(partial, CP_UTF8) + "\n" + SystemMessage(write_error));
                }
                break;
            case Outcome::kCancelled:
            case Outcome::kComplete: break;
        }
        return 0;
    }
    if (MoveFileExW(partial.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED)) return 1;
    // A finished export may have taken hours: it stays where it is.
    const DWORD rename_error = GetLastError();
    ShowLosslessError(kRenameMessage, Utf8(kPartialLabel) + Narrow(partial, CP_UTF8) + "\n" + Utf8(kFinalLabel) +
                                          Narrow(path, CP_UTF8) + "\n" + SystemMessage(rename_error));
    return 0;
}

int LosslessInit() { return 1; }

int LosslessExit() { return 1; }

int LosslessConfigGet(void* data, int size) {
    if (data == nullptr) return SettingsRecordSize(g_settings);
    return WriteSettingsRecord(g_settings, data, size);
}

int LosslessConfigSet(void* data, int size) { return ReadSettingsRecord(data, size, &g_settings); }

// clang-format off
OutputPluginTable g_table = {
    0,
    kName,
    kFileFilter,
    kInformation,
    LosslessInit,
    LosslessExit,
    LosslessOutput,
    LosslessConfig,
    LosslessConfigGet,
    LosslessConfigSet,
    {},
};
// clang-format on

}  // namespace

void ShowLosslessError(const char* text, const std::string& detail) { sample_text::ShowError(kName, text, detail); }

}  // namespace lossless_avi

extern "C" OutputPluginTable* GetOutputPluginTable() { return &lossless_avi::g_table; }
