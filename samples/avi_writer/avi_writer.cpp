// A sample encoder: writes an uncompressed AVI (24-bit RGB video, 16-bit PCM
// audio) through the AVI file library. It is a plain output plugin: the
// editor can load it directly as avi_writer.auo, or it can be renamed to
// avi_writer.auo_ and run by the relay from the sidecar folder.
//
// It reads one frame at a time through get_video (the editor's default
// format, a bottom-up DIB, which is what a BI_RGB stream holds) and writes
// the audio that belongs to each frame right after it, reading the audio a
// second ahead at a time. It writes the AVI and nothing else.
#include <windows.h>
#include <vfw.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

#include "plugin/output_plugin.h"
#include "samples/avi_writer/writer_plan.h"
#include "samples/avi_writer/writer_resource.h"
#include "samples/common/export_messages.h"
#include "samples/common/output_file.h"
#include "samples/common/plugin_table.h"
#include "samples/common/settings_dialog.h"
#include "samples/common/windows_text.h"
#include "simulator/workload/smoothing.h"

namespace {

using avi_writer::ExportPlan;
using avi_writer::PlanError;
using avi_writer::WriterSettings;

const char kName[] = "無圧縮AVI出力 (サンプル)";
// Pairs of description and pattern; the literal's own NUL ends the list.
const char kFileFilter[] = "AVI ファイル (*.avi)\0*.avi\0";
const char kInformation[] = "無圧縮AVI (RGB24 + PCM) を書き出すサンプル出力プラグイン 0.9.0";

const char kTooLargeMessage[] =
    "出力ファイルが2GBを超えるため出力できません。フレーム数か画面サイズを減らしてください。";
const char kStreamMessage[] = "AVIストリームを作成できませんでした。";
const char kWriteMessage[] = "ファイルの書き込みに失敗しました。";
const char kCostMessage[] = "エンコード負荷には0から100000までの数を入力してください。";

// update_preview about twice a second of 30 fps video: often enough to show
// life, rarely enough to cost nothing.
constexpr int32_t kPreviewInterval = 15;

WriterSettings g_settings;

void ShowWriterError(const char* text, const char* detail = nullptr) {
    char message[1024];
    if (detail != nullptr) {
        std::snprintf(message, sizeof message, "%s\n%s", text, detail);
    } else {
        std::snprintf(message, sizeof message, "%s", text);
    }
    MessageBoxA(nullptr, message, kName, MB_OK | MB_ICONERROR | MB_TASKMODAL);
}

// COM for the AVI library. It is reference counted: under the relay the
// worker has already initialised it, loaded directly nobody has.
class ComScope {
public:
    ComScope() : initialised_(SUCCEEDED(CoInitialize(nullptr))) {}
    ~ComScope() {
        if (initialised_) CoUninitialize();
    }
    ComScope(const ComScope&) = delete;
    ComScope& operator=(const ComScope&) = delete;

private:
    bool initialised_;
};

class AviLibraryScope {
public:
    AviLibraryScope() { AVIFileInit(); }
    ~AviLibraryScope() { AVIFileExit(); }
    AviLibraryScope(const AviLibraryScope&) = delete;
    AviLibraryScope& operator=(const AviLibraryScope&) = delete;
};

// Releasing the file is what writes its headers and index.
class AviFile {
public:
    AviFile() = default;
    ~AviFile() { Close(); }
    AviFile(const AviFile&) = delete;
    AviFile& operator=(const AviFile&) = delete;
    PAVIFILE* Receive() { return &file_; }
    PAVIFILE Get() const { return file_; }
    void Close() {
        if (file_ != nullptr) AVIFileRelease(file_);
        file_ = nullptr;
    }

private:
    PAVIFILE file_ = nullptr;
};

class AviStream {
public:
    AviStream() = default;
    ~AviStream() { Close(); }
    AviStream(const AviStream&) = delete;
    AviStream& operator=(const AviStream&) = delete;
    PAVISTREAM* Receive() { return &stream_; }
    PAVISTREAM Get() const { return stream_; }
    void Close() {
        if (stream_ != nullptr) AVIStreamRelease(stream_);
        stream_ = nullptr;
    }

private:
    PAVISTREAM stream_ = nullptr;
};

class ScratchFrame {
public:
    ScratchFrame() = default;
    ~ScratchFrame() { delete[] bytes_; }
    ScratchFrame(const ScratchFrame&) = delete;
    ScratchFrame& operator=(const ScratchFrame&) = delete;
    bool Allocate(size_t frame_bytes, size_t row_bytes) {
        bytes_ = new (std::nothrow) uint8_t[frame_bytes + row_bytes];
        return bytes_ != nullptr;
    }
    uint8_t* Frame() { return bytes_; }
    uint8_t* Row(size_t frame_bytes) { return bytes_ + frame_bytes; }

private:
    uint8_t* bytes_ = nullptr;
};

bool CreateVideoStream(PAVIFILE file, const ExportPlan& plan, AviStream* stream) {
    AVISTREAMINFOA info;
    std::memset(&info, 0, sizeof info);
    info.fccType = streamtypeVIDEO;
    info.dwScale = static_cast<DWORD>(plan.scale);
    info.dwRate = static_cast<DWORD>(plan.rate);
    info.dwSuggestedBufferSize = static_cast<DWORD>(plan.image_bytes);
    SetRect(&info.rcFrame, 0, 0, plan.width, plan.height);
    if (AVIFileCreateStreamA(file, stream->Receive(), &info) != AVIERR_OK) return false;
    BITMAPINFOHEADER format;
    std::memset(&format, 0, sizeof format);
    format.biSize = sizeof format;
    format.biWidth = plan.width;
    format.biHeight = plan.height;  // positive: bottom-up rows, as the editor delivers them
    format.biPlanes = 1;
    format.biBitCount = 24;
    format.biCompression = BI_RGB;
    format.biSizeImage = static_cast<DWORD>(plan.image_bytes);
    return AVIStreamSetFormat(stream->Get(), 0, &format, sizeof format) == AVIERR_OK;
}

bool CreateAudioStream(PAVIFILE file, const ExportPlan& plan, AviStream* stream) {
    AVISTREAMINFOA info;
    std::memset(&info, 0, sizeof info);
    info.fccType = streamtypeAUDIO;
    info.dwScale = static_cast<DWORD>(plan.audio_block);
    info.dwRate = static_cast<DWORD>(plan.audio_rate) * static_cast<DWORD>(plan.audio_block);
    info.dwSampleSize = static_cast<DWORD>(plan.audio_block);
    if (AVIFileCreateStreamA(file, stream->Receive(), &info) != AVIERR_OK) return false;
    WAVEFORMATEX format;
    std::memset(&format, 0, sizeof format);
    format.wFormatTag = WAVE_FORMAT_PCM;
    format.nChannels = static_cast<WORD>(plan.audio_channels);
    format.nSamplesPerSec = static_cast<DWORD>(plan.audio_rate);
    format.nAvgBytesPerSec = static_cast<DWORD>(plan.audio_rate) * static_cast<DWORD>(plan.audio_block);
    format.nBlockAlign = static_cast<WORD>(plan.audio_block);
    format.wBitsPerSample = 16;
    return AVIStreamSetFormat(stream->Get(), 0, &format, sizeof format) == AVIERR_OK;
}

// The words for a refused plan, nullptr for one that holds: the size limit
// is the writer's own, the other refusals read as in every sample.
const char* PlanErrorMessage(PlanError error) {
    return error == PlanError::kTooLarge ? kTooLargeMessage : sample_text::PlanErrorMessage(error);
}

// Reads the next block of audio from `position` on; false when the host
// delivers none.
bool StageAudio(OutputInfo* info, const ExportPlan& plan, int32_t position, avi_writer::AudioStaging* staging) {
    staging->Restart(position);
    const int32_t end = position + std::min(staging->Capacity(), plan.audio_samples - position);
    for (int32_t next = position; next < end;) {
        int read = 0;
        void* samples = info->get_audio(next, end - next, &read);
        if (samples == nullptr || read <= 0) break;
        if (read > end - next) read = end - next;
        staging->Append(samples, read);
        next += read;
    }
    return staging->Available(position) > 0;
}

// Writes the frames and their audio; false on a failure already reported,
// or on a cancellation.
bool WriteFrames(OutputInfo* info, const ExportPlan& plan, int32_t cost, PAVISTREAM video, PAVISTREAM audio) {
    ScratchFrame scratch;
    const size_t row_bytes = static_cast<size_t>(plan.width) * 3;
    if (cost > 0 && !scratch.Allocate(static_cast<size_t>(plan.image_bytes), row_bytes)) {
        ShowWriterError(sample_text::kMemoryMessage);
        return false;
    }
    // One second of audio at a time.
    avi_writer::AudioStaging staging;
    if (audio != nullptr && !staging.Reserve(plan.audio_rate, plan.audio_block)) {
        ShowWriterError(sample_text::kMemoryMessage);
        return false;
    }
    volatile uint32_t cost_sink = 0;
    bool audio_ended = audio == nullptr;
    info->show_progress(0, plan.frame_count);
    for (int32_t frame = 0; frame < plan.frame_count; ++frame) {
        void* pixels = info->get_video(frame);
        // Asked after the frame, not before: once an export is cancelled a
        // relay may answer with whatever its buffer holds, which must not
        // reach the file. A missing frame after a cancellation is expected.
        if (info->is_abort()) return false;
        if (pixels == nullptr) {
            ShowWriterError(sample_text::kFrameMessage);
            return false;
        }
        if (cost > 0) {
            std::memcpy(scratch.Frame(), pixels, static_cast<size_t>(plan.image_bytes));
            cost_sink = cost_sink + smoothing::SmoothingPasses(scratch.Frame(), (plan.width * 3 + 3) / 4 * 4,
                                                               plan.width, plan.height, cost,
                                                               scratch.Row(static_cast<size_t>(plan.image_bytes)));
        }
        // Where an encoder asks for the frame's flag (a keyframe the user
        // set). Uncompressed frames stand alone: each one is a keyframe
        // whatever the answer.
        info->get_flag(frame);
        if (AVIStreamWrite(video, frame, 1, pixels, plan.image_bytes, AVIIF_KEYFRAME, nullptr, nullptr) != AVIERR_OK) {
            ShowWriterError(kWriteMessage);
            return false;
        }

        avi_writer::SampleSpan span = avi_writer::AudioSpanOfFrame(plan, frame);
        for (int32_t position = span.begin; !audio_ended && position < span.end;) {
            if (staging.Available(position) == 0 && !StageAudio(info, plan, position, &staging)) {
                // The host has no more audio than this; the video goes on.
                audio_ended = true;
                break;
            }
            int32_t count = staging.Available(position);
            if (count > span.end - position) count = span.end - position;
            // The library counts audio positions in chunks, not samples: the
            // stream's length is the next position in either count.
            if (AVIStreamWrite(audio, AVIStreamLength(audio), count, const_cast<uint8_t*>(staging.At(position)),
                               count * plan.audio_block, 0, nullptr, nullptr) != AVIERR_OK) {
                ShowWriterError(kWriteMessage);
                return false;
            }
            position += count;
        }
        info->show_progress(frame + 1, plan.frame_count);
        if ((frame + 1) % kPreviewInterval == 0) info->update_preview();
    }
    return true;
}

int WriterOutput(OutputInfo* info) {
    if (info == nullptr) return 0;
    const char* path = sample_output::OutputPathSetting(*info, g_settings.path);
    if (path[0] == '\0') {
        ShowWriterError(sample_text::kNoPathMessage);
        return 0;
    }
    ExportPlan plan;
    PlanError error = avi_writer::MakeExportPlan(*info, &plan);
    // Refused before the file exists: nothing half-written is left behind.
    if (error != PlanError::kNone) {
        ShowWriterError(PlanErrorMessage(error));
        return 0;
    }
    const int32_t cost = g_settings.cost;

    ComScope com;
    AviLibraryScope library;
    AviFile file;
    if (AVIFileOpenA(file.Receive(), path, OF_CREATE | OF_WRITE, nullptr) != AVIERR_OK) {
        ShowWriterError(sample_text::kCreateMessage, path);
        return 0;
    }
    AviStream video;
    AviStream audio;
    if (!CreateVideoStream(file.Get(), plan, &video) || (plan.audio && !CreateAudioStream(file.Get(), plan, &audio))) {
        ShowWriterError(kStreamMessage);
        return 0;
    }
    bool complete = WriteFrames(info, plan, cost, video.Get(), audio.Get());
    audio.Close();
    video.Close();
    file.Close();
    // A cancelled export leaves a valid, shorter file, but it is not the
    // export that was asked for.
    return complete ? 1 : 0;
}

// The settings dialog: the encoding cost, and the output file.
void ShowSettings(HWND dialog) { SetDlgItemInt(dialog, IDC_WRITER_COST, static_cast<UINT>(g_settings.cost), FALSE); }

bool AcceptSettings(HWND dialog) {
    BOOL valid = FALSE;
    UINT cost = GetDlgItemInt(dialog, IDC_WRITER_COST, &valid, FALSE);
    if (!valid || cost > static_cast<UINT>(avi_writer::kMaxCost)) {
        MessageBoxA(dialog, kCostMessage, kName, MB_OK | MB_ICONWARNING);
        return false;
    }
    g_settings.cost = static_cast<int32_t>(cost);
    return true;
}

const sample_dialog::SettingsDialog kSettingsDialog = {
    IDD_WRITER_SETTINGS, ShowSettings, nullptr, AcceptSettings,
    sample_dialog::OutputFile(IDC_WRITER_PATH, IDC_WRITER_BROWSE, kFileFilter, "avi", g_settings.path)};

int WriterConfig(WindowHandle parent, ModuleHandle) {
    return sample_dialog::RunSettingsDialog(parent, kSettingsDialog);
}

int WriterConfigGet(void* data, int size) { return avi_writer::kSettingsRecord.Get(g_settings, data, size); }

int WriterConfigSet(void* data, int size) { return avi_writer::kSettingsRecord.Read(data, size, &g_settings); }

OutputPluginTable g_table = sample_plugin::MakeTable(kName, kFileFilter, kInformation, WriterOutput, WriterConfig,
                                                     WriterConfigGet, WriterConfigSet);

}  // namespace

extern "C" OutputPluginTable* GetOutputPluginTable() { return &g_table; }
