// The host simulator: a console program that loads any output plugin the way
// the editor does (LoadLibraryA, GetOutputPluginTable, init, config_set from a
// saved settings file, output, config_get into a file, exit, FreeLibrary) and
// exports a synthetic clip through it, timing the export.
//
// The editor's record and service functions are the clip editor's
// (simulator/editor/clip_editor.h).
//
// Every call into the plugin is made from the main thread, and every service
// call is checked to come from it: a call from any other thread is counted
// and reported (and still served, under a lock, so that the count is right).
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "plugin/output_plugin.h"
#include "simulator/editor/clip_editor.h"
#include "simulator/editor/stall_watch.h"
#include "simulator/editor/test_clip.h"

namespace {

using editor_sim::ClipShape;
using editor_sim::ParseCount;
using editor_sim::TestClip;

constexpr int kExitFailedExport = 1;
constexpr int kExitUsage = 2;
constexpr int kExitForeignThread = 3;
static_assert(editor_sim::kStalledExitCode != kExitFailedExport && editor_sim::kStalledExitCode != kExitUsage &&
                  editor_sim::kStalledExitCode != kExitForeignThread,
              "a stalled run has an exit code of its own");
constexpr int32_t kDefaultStallSeconds = 60;
constexpr long kMaxSettingsBytes = 1 << 20;

const char kUsage[] =
    "usage: host_simulator [options]\n"
    "  --plugin FILE            output plugin to load and export through\n"
    "  --output FILE            output file name handed to the plugin\n"
    "  --width N --height N     frame size (default 320x240)\n"
    "  --frames N               frame count (default 60)\n"
    "  --rate N --scale N       frame rate rate/scale (default 30/1)\n"
    "  --no-audio               a clip without audio\n"
    "  --keyframe-every N       get_flag answers 1 on every N-th frame (default 30)\n"
    "  --host-cost N            box-blur passes per frame served (default 0)\n"
    "  --settings FILE          restore the plugin's settings from FILE (config_set)\n"
    "  --then-settings FILE     after the export, restore FILE and export again, as a user\n"
    "                           who chooses another encoder after a failed export\n"
    "  --configure              show the plugin's configuration before exporting\n"
    "  --save-settings FILE     store the plugin's settings (config_get) into FILE\n"
    "  --no-export              load, restore, configure and save, but do not export\n"
    "  --dump-frames FILE       write every frame as top-down BGR rows without padding\n"
    "  --dump-audio FILE        write the whole audio as 16-bit little-endian stereo\n"
    "  --close-message-boxes    close the message boxes that this process shows\n"
    "  --cancel-after N         cancel as Ctrl+C would once N frames have been served\n"
    "  --cancel-after-seconds N cancel as Ctrl+C would N seconds into the export\n"
    "  --stall-seconds N        end with the stacks of every thread and exit code 4 when\n"
    "                           the plugin makes no progress for N seconds (default 60,\n"
    "                           0: never)\n"
    "  --trace-marks            name an event just before output and one just after it\n"
    "                           (offloader-export-begin, -end): marks in a trace of\n"
    "                           Wine's server (bench/server_calls.sh)\n"
    "  --fetch-log FILE         write when each frame's first fetch ended, and when the\n"
    "                           next service call began (performance-counter ticks)\n"
    "  --time-host-cost         without a plugin: produce every frame (YUY2) at the\n"
    "                           --host-cost and print host_seconds=S, the editor's\n"
    "                           share of an export on its own\n"
    "Ctrl+C cancels an export: is_abort answers 1 from then on.\n"
    "The last line reads: result=R seconds=S frames=N ...\n";

struct Options {
    std::string plugin;
    std::string output;
    std::string settings;
    std::string then_settings;
    std::string save_settings;
    std::string dump_frames;
    std::string dump_audio;
    std::string fetch_log;
    ClipShape shape;
    int32_t host_cost = 0;
    int32_t cancel_after = -1;
    int32_t cancel_after_seconds = 0;
    int32_t stall_seconds = kDefaultStallSeconds;
    bool configure = false;
    bool export_clip = true;
    bool close_message_boxes = false;
    bool time_host_cost = false;
    bool trace_marks = false;
};

bool ParseOptions(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        auto text = [&](std::string* target) {
            if (i + 1 >= argc) return false;
            *target = argv[++i];
            return true;
        };
        auto count = [&](int32_t minimum, int32_t* target) {
            if (i + 1 >= argc || !ParseCount(argv[i + 1], minimum, target)) return false;
            ++i;
            return true;
        };
        bool ok = true;
        if (name == "--plugin")
            ok = text(&options->plugin);
        else if (name == "--output")
            ok = text(&options->output);
        else if (name == "--settings")
            ok = text(&options->settings);
        else if (name == "--then-settings")
            ok = text(&options->then_settings);
        else if (name == "--save-settings")
            ok = text(&options->save_settings);
        else if (name == "--dump-frames")
            ok = text(&options->dump_frames);
        else if (name == "--dump-audio")
            ok = text(&options->dump_audio);
        else if (name == "--fetch-log")
            ok = text(&options->fetch_log);
        else if (name == "--width")
            ok = count(1, &options->shape.width);
        else if (name == "--height")
            ok = count(1, &options->shape.height);
        else if (name == "--frames")
            ok = count(1, &options->shape.frame_count);
        else if (name == "--rate")
            ok = count(1, &options->shape.rate);
        else if (name == "--scale")
            ok = count(1, &options->shape.scale);
        else if (name == "--keyframe-every")
            ok = count(0, &options->shape.keyframe_interval);
        else if (name == "--host-cost")
            ok = count(0, &options->host_cost);
        else if (name == "--cancel-after")
            ok = count(0, &options->cancel_after);
        else if (name == "--cancel-after-seconds")
            ok = count(1, &options->cancel_after_seconds);
        else if (name == "--stall-seconds")
            ok = count(0, &options->stall_seconds);
        else if (name == "--no-audio")
            options->shape.audio = false;
        else if (name == "--configure")
            options->configure = true;
        else if (name == "--no-export")
            options->export_clip = false;
        else if (name == "--close-message-boxes")
            options->close_message_boxes = true;
        else if (name == "--time-host-cost")
            options->time_host_cost = true;
        else if (name == "--trace-marks")
            options->trace_marks = true;
        else
            ok = false;
        if (!ok) {
            std::fprintf(stderr, "host_simulator: bad option %s\n", name.c_str());
            return false;
        }
    }
    return true;
}

int64_t Ticks() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

double Seconds(int64_t ticks) {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(ticks) / static_cast<double>(frequency.QuadPart);
}

// The clip editor with a progress bar on the terminal. Every service call is
// served, one at a time, whatever thread it comes from, so that a call from
// the wrong thread is counted right.
class SimulatorEditor : public editor_sim::ClipEditor {
public:
    SimulatorEditor() : ClipEditor(editor_sim::ForeignCalls::kServe, Ticks) {}
    bool ProgressShown() const { return progress_shown_; }

protected:
    void Progress(int position, int total) override {
        if (total <= 0) return;
        int64_t percent = static_cast<int64_t>(position) * 100 / total;
        if (percent < 0) percent = 0;
        if (percent > 100) percent = 100;
        // Only a change of the whole percentage reaches the terminal.
        if (percent == shown_percent_) return;
        shown_percent_ = static_cast<int32_t>(percent);
        char bar[41];
        int filled = static_cast<int>(percent * 40 / 100);
        for (int i = 0; i < 40; ++i) bar[i] = i < filled ? '#' : '.';
        bar[40] = '\0';
        std::fprintf(stderr, "\r[%s] %3d%% %d/%d", bar, static_cast<int>(percent), position, total);
        std::fflush(stderr);
        progress_shown_ = true;
    }

private:
    int32_t shown_percent_ = -1;
    bool progress_shown_ = false;
};

// Reached from the console's control handler, which runs on a thread of its own.
SimulatorEditor g_editor;

BOOL WINAPI OnConsoleControl(DWORD event) {
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) {
        g_editor.Cancel();
        return TRUE;
    }
    return FALSE;
}

// Closes the message boxes of this process, as a user clicking them away
// would, and keeps their captions and texts for the report. Used by tests
// that export into a failure on purpose.
class MessageBoxCloser {
public:
    MessageBoxCloser() = default;
    ~MessageBoxCloser() { Stop(); }
    MessageBoxCloser(const MessageBoxCloser&) = delete;
    MessageBoxCloser& operator=(const MessageBoxCloser&) = delete;

    // Returns once the watcher has looked at every window once. Wine 8 can
    // deadlock when a thread's first window calls run while another thread
    // loads DLLs: the window system's set-up for the thread loads a cursor,
    // which waits for the loader's lock, while it holds the window system's
    // own lock, which a DLL's start-up (registering its window classes)
    // waits for under the loader's lock (docs/reliability.md). So the
    // watcher's first look comes before the plugin is loaded.
    bool Start() {
        stop_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        ready_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        if (stop_ == nullptr || ready_ == nullptr) return false;
        thread_ = CreateThread(nullptr, 0, Run, this, 0, nullptr);
        return thread_ != nullptr && WaitForSingleObject(ready_, kFirstLookMilliseconds) == WAIT_OBJECT_0;
    }
    void Stop() {
        if (thread_ != nullptr) {
            SetEvent(stop_);
            WaitForSingleObject(thread_, INFINITE);
            CloseHandle(thread_);
            thread_ = nullptr;
        }
        for (HANDLE* event : {&stop_, &ready_}) {
            if (*event != nullptr) CloseHandle(*event);
            *event = nullptr;
        }
    }
    // Only read after Stop().
    const std::vector<std::string>& Boxes() const { return boxes_; }

private:
    static BOOL CALLBACK FindBox(HWND window, LPARAM found) {
        DWORD process = 0;
        GetWindowThreadProcessId(window, &process);
        char class_name[16] = {};
        GetClassNameA(window, class_name, sizeof class_name);
        // A message box is a dialog whose text is the static control 0xFFFF.
        if (process == GetCurrentProcessId() && std::strcmp(class_name, "#32770") == 0 &&
            GetDlgItem(window, 0xFFFF) != nullptr && IsWindowVisible(window)) {
            *reinterpret_cast<HWND*>(found) = window;
            return FALSE;
        }
        return TRUE;
    }

    static DWORD WINAPI Run(void* self) {
        auto* closer = static_cast<MessageBoxCloser*>(self);
        for (bool first = true; first || WaitForSingleObject(closer->stop_, 10) == WAIT_TIMEOUT; first = false) {
            HWND box = nullptr;
            EnumWindows(FindBox, reinterpret_cast<LPARAM>(&box));
            if (first) SetEvent(closer->ready_);
            if (box == nullptr) continue;
            char caption[256] = {};
            char text[1024] = {};
            GetWindowTextA(box, caption, sizeof caption);
            GetDlgItemTextA(box, 0xFFFF, text, sizeof text);
            closer->boxes_.push_back(std::string("[") + caption + "] " + text);
            SendMessageA(box, WM_COMMAND, IDOK, 0);
            for (int i = 0; i < 100 && IsWindow(box); ++i) Sleep(5);
            // A box without an OK button answers to Cancel.
            if (IsWindow(box)) SendMessageA(box, WM_COMMAND, IDCANCEL, 0);
            for (int i = 0; i < 100 && IsWindow(box); ++i) Sleep(5);
        }
        return 0;
    }

    static constexpr DWORD kFirstLookMilliseconds = 30000;
    HANDLE stop_ = nullptr;
    HANDLE ready_ = nullptr;
    HANDLE thread_ = nullptr;
    std::vector<std::string> boxes_;
};

// The user's cancel at a moment of the export rather than at a frame: for
// an encoder that is still at work after the last frame was served.
class CancelTimer {
public:
    CancelTimer() = default;
    ~CancelTimer() { Stop(); }
    CancelTimer(const CancelTimer&) = delete;
    CancelTimer& operator=(const CancelTimer&) = delete;

    bool Start(int32_t seconds) {
        milliseconds_ = static_cast<DWORD>(seconds) * 1000;
        stop_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        if (stop_ == nullptr) return false;
        thread_ = CreateThread(nullptr, 0, Run, this, 0, nullptr);
        return thread_ != nullptr;
    }
    void Stop() {
        if (thread_ != nullptr) {
            SetEvent(stop_);
            WaitForSingleObject(thread_, INFINITE);
            CloseHandle(thread_);
            thread_ = nullptr;
        }
        if (stop_ != nullptr) {
            CloseHandle(stop_);
            stop_ = nullptr;
        }
    }

private:
    static DWORD WINAPI Run(void* self) {
        auto* timer = static_cast<CancelTimer*>(self);
        if (WaitForSingleObject(timer->stop_, timer->milliseconds_) == WAIT_TIMEOUT) g_editor.Cancel();
        return 0;
    }

    DWORD milliseconds_ = 0;
    HANDLE stop_ = nullptr;
    HANDLE thread_ = nullptr;
};

// A request that Wine's server trace shows with this name, from this process.
void Mark(const char* name) {
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, name);
    if (event != nullptr) CloseHandle(event);
}

class LoadedModule {
public:
    explicit LoadedModule(const char* path) : module_(LoadLibraryA(path)) {}
    ~LoadedModule() {
        if (module_ != nullptr) FreeLibrary(module_);
    }
    LoadedModule(const LoadedModule&) = delete;
    LoadedModule& operator=(const LoadedModule&) = delete;
    HMODULE Get() const { return module_; }

private:
    HMODULE module_;
};

class OutputFile {
public:
    explicit OutputFile(const std::string& path)
        : file_(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr)) {}
    ~OutputFile() {
        if (file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
    }
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    bool Valid() const { return file_ != INVALID_HANDLE_VALUE; }
    bool Write(const void* data, size_t size) {
        DWORD written = 0;
        return WriteFile(file_, data, static_cast<DWORD>(size), &written, nullptr) && written == size;
    }

private:
    HANDLE file_;
};

bool DumpFrames(const ClipShape& shape, const std::string& path) {
    TestClip clip;
    OutputFile out(path);
    if (!clip.SetUp(shape) || !out.Valid()) return false;
    const int64_t stride = editor_sim::DibRowBytes(shape.width);
    for (int32_t frame = 0; frame < shape.frame_count; ++frame) {
        const uint8_t* dib = clip.Frame(frame, 0);
        for (int32_t y = 0; y < shape.height; ++y) {
            if (!out.Write(dib + (shape.height - 1 - y) * stride, static_cast<size_t>(shape.width) * 3)) return false;
        }
    }
    return true;
}

bool DumpAudio(const ClipShape& shape, const std::string& path) {
    TestClip clip;
    OutputFile out(path);
    if (!clip.SetUp(shape) || !out.Valid()) return false;
    for (int32_t start = 0; start < clip.AudioSamples();) {
        int32_t read = 0;
        const int16_t* data = clip.Audio(start, editor_sim::kAudioRate, &read);
        if (read <= 0 || !out.Write(data, static_cast<size_t>(read) * editor_sim::kAudioSampleBytes)) return false;
        start += read;
    }
    return true;
}

void RestoreSettings(const OutputPluginTable* table, const std::string& path) {
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        // A first run has nothing saved yet; that is not an error.
        std::fprintf(stderr, "host_simulator: no saved settings in %s\n", path.c_str());
        return;
    }
    std::vector<char> data(kMaxSettingsBytes);
    size_t size = std::fread(data.data(), 1, data.size(), file);
    std::fclose(file);
    if (table->config_set == nullptr) {
        std::fprintf(stderr, "host_simulator: the plugin has no config_set\n");
        return;
    }
    // As in the editor, a refused block only leaves the plugin's settings as
    // they were; the export still runs.
    int taken = table->config_set(data.data(), static_cast<int>(size));
    std::printf("config_set=%d bytes=%d\n", taken, static_cast<int>(size));
    if (taken <= 0) std::fprintf(stderr, "host_simulator: the plugin refused the saved settings\n");
}

bool SaveSettings(const OutputPluginTable* table, const std::string& path) {
    if (table->config_get == nullptr) {
        std::fprintf(stderr, "host_simulator: the plugin has no config_get\n");
        return false;
    }
    int size = table->config_get(nullptr, 0);
    if (size <= 0 || size > kMaxSettingsBytes) {
        std::fprintf(stderr, "host_simulator: config_get reports %d bytes\n", size);
        return false;
    }
    std::vector<char> data(static_cast<size_t>(size));
    int written = table->config_get(data.data(), size);
    if (written <= 0 || written > size) {
        std::fprintf(stderr, "host_simulator: config_get wrote %d of %d bytes\n", written, size);
        return false;
    }
    OutputFile out(path);
    if (!out.Valid() || !out.Write(data.data(), static_cast<size_t>(written))) {
        std::fprintf(stderr, "host_simulator: cannot write %s\n", path.c_str());
        return false;
    }
    std::printf("config_get=%d\n", written);
    return true;
}

// What the editor alone spends on a clip: lets a demo choose a host cost
// that balances an encoder whose own time it has measured.
int TimeHostCost(const Options& options) {
    TestClip clip;
    if (!clip.SetUp(options.shape)) return kExitUsage;
    uint32_t sink = 0;
    const int64_t start = Ticks();
    for (int32_t frame = 0; frame < options.shape.frame_count; ++frame) {
        clip.Frame(frame, kFormatYUY2);
        sink += clip.SpendProductionCost(options.host_cost);
    }
    std::printf("host_seconds=%.3f host_cost=%d checksum=%u\n", Seconds(Ticks() - start),
                static_cast<int>(options.host_cost), static_cast<unsigned>(sink));
    return 0;
}

int Run(const Options& options) {
    if (!options.dump_frames.empty() && !DumpFrames(options.shape, options.dump_frames)) {
        std::fprintf(stderr, "host_simulator: cannot dump the frames into %s\n", options.dump_frames.c_str());
        return kExitUsage;
    }
    if (!options.dump_audio.empty() && !DumpAudio(options.shape, options.dump_audio)) {
        std::fprintf(stderr, "host_simulator: cannot dump the audio into %s\n", options.dump_audio.c_str());
        return kExitUsage;
    }
    if (options.time_host_cost) return TimeHostCost(options);
    if (options.plugin.empty()) return 0;

    g_editor.BecomeCurrent();
    g_editor.host_cost = options.host_cost;
    g_editor.cancel_after_deliveries = options.cancel_after > 0 ? options.cancel_after : 0;
    if (!g_editor.SetUp(options.shape)) {
        std::fprintf(stderr, "host_simulator: the clip is too large for the editor's records\n");
        return kExitUsage;
    }
    if (!options.fetch_log.empty()) g_editor.KeepFetchTimeline(options.shape.frame_count);
    MessageBoxCloser closer;
    if (options.close_message_boxes && !closer.Start()) {
        std::fprintf(stderr, "host_simulator: cannot start the message box watcher\n");
        return kExitUsage;
    }

    editor_sim::StallWatch watch;
    if (options.stall_seconds > 0 && !watch.Start(static_cast<unsigned>(options.stall_seconds))) {
        std::fprintf(stderr, "host_simulator: cannot start the watch on a stalled export\n");
        return kExitUsage;
    }

    int result = 0;
    int64_t export_ticks = 0;
    bool exported = false;
    bool settings_saved = true;
    {
        watch.Step("the plugin's loading");
        LoadedModule module(options.plugin.c_str());
        if (module.Get() == nullptr) {
            std::fprintf(stderr, "host_simulator: cannot load %s (error %lu)\n", options.plugin.c_str(),
                         GetLastError());
            return kExitUsage;
        }
        auto get_table = reinterpret_cast<GetOutputPluginTableFunction>(
            reinterpret_cast<void*>(GetProcAddress(module.Get(), "GetOutputPluginTable")));
        OutputPluginTable* table = get_table != nullptr ? get_table() : nullptr;
        if (table == nullptr) {
            std::fprintf(stderr, "host_simulator: %s is not an output plugin\n", options.plugin.c_str());
            return kExitUsage;
        }
        std::printf("plugin=%s\n", table->name != nullptr ? table->name : "");
        watch.Step("the plugin's init");
        if (table->init != nullptr && table->init() == 0) {
            std::fprintf(stderr, "host_simulator: the plugin's init failed\n");
            return kExitUsage;
        }
        watch.Step("the plugin's config_set");
        if (!options.settings.empty()) RestoreSettings(table, options.settings);
        if (options.configure) {
            if (table->config != nullptr) {
                // The user takes as long as they like in the dialog.
                watch.Step("the plugin's config", false);
                std::printf("config=%d\n", table->config(nullptr, module.Get()));
            } else {
                std::fprintf(stderr, "host_simulator: the plugin has no configuration\n");
            }
        }
        const int exports = options.then_settings.empty() ? 1 : 2;
        for (int pass = 1; options.export_clip && table->output != nullptr && pass <= exports; ++pass) {
            if (pass > 1) {
                std::printf("export=%d result=%d seconds=%.3f\n", pass - 1, result, Seconds(export_ticks));
                watch.Step("the plugin's config_set");
                RestoreSettings(table, options.then_settings);
            }
            OutputInfo info = g_editor.Info(options.output.empty() ? nullptr : options.output.c_str());
            CancelTimer cancel;
            if (options.cancel_after_seconds > 0 && !cancel.Start(options.cancel_after_seconds)) {
                std::fprintf(stderr, "host_simulator: cannot start the cancel timer\n");
                return kExitUsage;
            }
            watch.Step("the export (the plugin's output)");
            if (options.trace_marks) Mark("offloader-export-begin");
            int64_t start = Ticks();
            result = table->output(&info);
            export_ticks = Ticks() - start;
            if (options.trace_marks) Mark("offloader-export-end");
            exported = true;
        }
        if (g_editor.ProgressShown()) std::fprintf(stderr, "\n");
        watch.Step("the plugin's config_get");
        if (!options.save_settings.empty()) settings_saved = SaveSettings(table, options.save_settings);
        watch.Step("the plugin's exit");
        if (table->exit != nullptr) table->exit();
        watch.Step("the plugin's unloading");
    }
    watch.Stop();
    closer.Stop();
    for (const std::string& box : closer.Boxes()) std::printf("message-box: %s\n", box.c_str());
    if (!exported) return settings_saved ? 0 : kExitUsage;
    if (g_editor.Fetches().Active()) {
        LARGE_INTEGER frequency;
        QueryPerformanceFrequency(&frequency);
        if (!g_editor.Fetches().Write(options.fetch_log, frequency.QuadPart)) {
            std::fprintf(stderr, "host_simulator: cannot write %s\n", options.fetch_log.c_str());
            return kExitUsage;
        }
    }

    const long foreign = g_editor.off_thread.load();
    if (foreign != 0) {
        std::printf("foreign-thread calls: %d service calls came from a thread other than the main thread\n",
                    static_cast<int>(foreign));
    }
    std::printf(
        "result=%d seconds=%.3f frames=%d service_seconds=%.3f video_calls=%d null_frames=%d audio_calls=%d "
        "flag_calls=%d progress_calls=%d abort_calls=%d preview_calls=%d foreign_thread_calls=%d boxes=%d "
        "cancelled=%d\n",
        result, Seconds(export_ticks), static_cast<int>(options.shape.frame_count), Seconds(g_editor.ServiceTicks()),
        static_cast<int>(g_editor.video_fetches + g_editor.plain_video_calls), static_cast<int>(g_editor.null_frames),
        static_cast<int>(g_editor.audio_calls), static_cast<int>(g_editor.flag_fetches),
        static_cast<int>(g_editor.progress_calls), static_cast<int>(g_editor.abort_checks),
        static_cast<int>(g_editor.previews), static_cast<int>(foreign), static_cast<int>(closer.Boxes().size()),
        g_editor.CancelRequested() ? 1 : 0);
    if (foreign != 0) return kExitForeignThread;
    if (!settings_saved) return kExitUsage;
    return result != 0 ? 0 : kExitFailedExport;
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    std::setvbuf(stderr, nullptr, _IONBF, 0);
    Options options;
    if (argc < 2 || !ParseOptions(argc, argv, &options)) {
        std::fputs(kUsage, stderr);
        return kExitUsage;
    }
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    return Run(options);
}
