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
#include "samples/common/export_messages.h"
#include "samples/common/output_file.h"
#include "samples/common/plugin_table.h"
#include "samples/common/windows_text.h"
#include "samples/lossless_avi/avi_file.h"
#include "samples/lossless_avi/avi_layout.h"
#include "samples/lossless_avi/lossless_plan.h"
#include "samples/lossless_avi/lossless_plugin.h"
#include "samples/lossless_avi/png_frame.h"

namespace lossless_avi {

// Pairs of description and pattern; the literal's own NUL ends the list.
const char kFileFilter[] = "AVI ファイル (*.avi)\0*.avi\0すべてのファイル (*.*)\0*.*\0";
LosslessSettings g_settings;

namespace {

const char kName[] = "可逆圧縮AVI出力 (サンプル)";
const char kInformation[] = "映像をPNG (可逆圧縮) で、音声をPCMでAVIに書き出すサンプル出力プラグイン 0.9.0";

const char kTooLargeMessage[] = "画面サイズまたはフレーム数が大きすぎるため出力できません。";
const char kWriteMessage[] = "出力ファイルに書き込めませんでした。出力を中止しました。";
const char kEncodeMessage[] = "映像を圧縮できませんでした。";

using sample_text::Narrow;
using sample_text::SystemMessage;

// A message box captioned with the sample's name: `text` in code page 932,
// then `detail` (UTF-8: paths, the system's words) after an empty line.
void ShowLosslessError(const char* text, const std::string& detail = std::string()) {
    sample_text::ShowError(kName, text, detail);
}

// The words for a refused plan, nullptr for one that holds: the AVI's own
// limits are the sample's, the other refusals read as in every sample.
const char* PlanErrorMessage(PlanError error) {
    return error == PlanError::kTooLarge ? kTooLargeMessage : sample_text::PlanErrorMessage(error);
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
    ExportPlan plan;
    const PlanError error = MakeExportPlan(*info, &plan);
    // Refused before the file exists: nothing half-written is left behind.
    sample_output::PartialOutput files;
    if (!sample_output::ChooseFiles(*info, g_settings.path, PlanErrorMessage(error), kName, &files)) return 0;

    PngFrameEncoder encoder;
    AudioReader audio(info, plan);
    if (!encoder.Prepare(plan.width, plan.height, g_settings.level) || !audio.Allocate()) {
        ShowLosslessError(sample_text::kMemoryMessage);
        return 0;
    }
    AviFileSink file;
    if (!file.Create(files.partial)) {
        ShowLosslessError(sample_text::kCreateMessage,
                          Narrow(files.partial, CP_UTF8) + "\n" + SystemMessage(file.Error()));
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
            case Outcome::kFrameFailed: ShowLosslessError(sample_text::kFrameMessage); break;
            case Outcome::kEncodeFailed: ShowLosslessError(kEncodeMessage); break;
            case Outcome::kWriteFailed:
                if (layout.Error() == LayoutError::kMemory) {
                    ShowLosslessError(sample_text::kMemoryMessage);
                } else if (write_error == 0) {
                    // The file needed more index than the plan foresaw.
                    ShowLosslessError(kTooLargeMessage);
                } else {
                    ShowLosslessError(kWriteMessage,
                                      Narrow(files.partial, CP_UTF8) + "\n" + SystemMessage(write_error));
                }
                break;
            case Outcome::kCancelled:
            case Outcome::kComplete: break;
        }
        return 0;
    }
    return sample_output::GiveFinalName(files, kName) ? 1 : 0;
}

int LosslessConfigGet(void* data, int size) { return kSettingsRecord.Get(g_settings, data, size); }

int LosslessConfigSet(void* data, int size) { return kSettingsRecord.Read(data, size, &g_settings); }

OutputPluginTable g_table = sample_plugin::MakeTable(kName, kFileFilter, kInformation, LosslessOutput, LosslessConfig,
                                                     LosslessConfigGet, LosslessConfigSet);

}  // namespace

}  // namespace lossless_avi

extern "C" OutputPluginTable* GetOutputPluginTable() { return &lossless_avi::g_table; }
