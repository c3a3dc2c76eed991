// One export for the benchmark (tools/bench.sh), natively over the POSIX
// platform: the simulated editor's clip (simulator/editor) with its per-frame
// production cost, and a simulated encoder that does what the sample encoder
// does per frame (get_video, is_abort, its encoding passes, get_flag, the
// write, show_progress, now and then update_preview), or what the lossless
// sample does (its very PNG codec, with the host's zlib, at --png-level). The
// encoder runs either directly on the editor's thread, through the relay as
// the editor loads it (PluginInit, PluginOutput, PluginExit), or through the
// floor handoff (bench/floor/): the least that running both sides at once
// costs on this machine.
//
// It leaves the same records as the programs under Wine, so that one script
// reads both: the result line on stdout, the statistics of the encoder's
// frame requests with the time of each (bench/timing, as the timing shim
// writes them there), and the editor's fetch log. Natively it also counts
// the requests that became round trips exactly (round_trips=).
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "bench/floor/floor_handoff.h"
#include "bench/timing/request_timing.h"
#include "plugin/entry/entry_points.h"
#include "plugin/relay_context.h"
#include "samples/lossless_avi/png_frame.h"
#include "simulator/editor/clip_editor.h"
#include "simulator/editor/test_clip.h"
#include "simulator/workload/smoothing.h"

namespace {

constexpr int kExitFailedExport = 1;
constexpr int kExitUsage = 2;
constexpr int kExitForeignThread = 3;
constexpr int32_t kPreviewInterval = 15;  // as the sample encoder
constexpr int64_t kTicksPerSecond = 1000000000;

const char kUsage[] =
    "usage: native_bench --mode direct|relay|floor [options]\n"
    "  --width N --height N     frame size (default 640x360)\n"
    "  --frames N               frame count (default 120)\n"
    "  --host-cost N            the editor's smoothing passes per frame (default 0)\n"
    "  --encoder-cost N         the encoder's smoothing passes per frame (default 0)\n"
    "  --buffers N              the relay's read-ahead buffers, the floor's slots (default 8)\n"
    "  --png-level N            the encoder compresses each frame as the lossless sample\n"
    "                           does, at zlib level N (1-9), instead of its smoothing\n"
    "  --output FILE            where the encoder writes the frames (default: nowhere)\n"
    "  --stats FILE             the encoder's request statistics and times\n"
    "  --fetch-log FILE         when each frame's first fetch ended, and the next call began\n"
    "The last line reads: result=R seconds=S frames=N service_seconds=H ...\n";

int64_t Ticks() { return editor_sim::SteadyNanoseconds(); }

enum class Mode { Direct, Relay, Floor };

struct Options {
    Mode mode = Mode::Direct;
    editor_sim::ClipShape shape;
    int32_t host_cost = 0;
    int32_t encoder_cost = 0;
    int32_t png_level = 0;  // 0: the synthetic encoder's smoothing
    int32_t buffers = kDefaultBufferCount;
    std::string output;
    std::string stats;
    std::string fetch_log;
};

bool ParseOptions(int argc, char** argv, Options* options) {
    options->shape.width = 640;
    options->shape.height = 360;
    options->shape.frame_count = 120;
    options->shape.audio = false;
    bool mode_given = false;
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        const bool has_value = i + 1 < argc;
        const char* value = has_value ? argv[i + 1] : "";
        bool ok = has_value;
        if (name == "--mode") {
            if (std::strcmp(value, "direct") == 0) {
                options->mode = Mode::Direct;
            } else if (std::strcmp(value, "relay") == 0) {
                options->mode = Mode::Relay;
            } else if (std::strcmp(value, "floor") == 0) {
                options->mode = Mode::Floor;
            } else {
                ok = false;
            }
            mode_given = ok;
        } else if (name == "--width") {
            ok = ok && editor_sim::ParseCount(value, 1, &options->shape.width);
        } else if (name == "--height") {
            ok = ok && editor_sim::ParseCount(value, 1, &options->shape.height);
        } else if (name == "--frames") {
            ok = ok && editor_sim::ParseCount(value, 1, &options->shape.frame_count);
        } else if (name == "--host-cost") {
            ok = ok && editor_sim::ParseCount(value, 0, &options->host_cost);
        } else if (name == "--encoder-cost") {
            ok = ok && editor_sim::ParseCount(value, 0, &options->encoder_cost);
        } else if (name == "--png-level") {
            ok = ok && editor_sim::ParseCount(value, lossless_avi::kMinLevel, &options->png_level) &&
                 options->png_level <= lossless_avi::kMaxLevel;
        } else if (name == "--buffers") {
            ok = ok && editor_sim::ParseCount(value, 1, &options->buffers);
        } else if (name == "--output") {
            options->output = value;
        } else if (name == "--stats") {
            options->stats = value;
        } else if (name == "--fetch-log") {
            options->fetch_log = value;
        } else {
            ok = false;
        }
        if (!ok) {
            std::fprintf(stderr, "native_bench: bad option %s\n", name.c_str());
            return false;
        }
        ++i;
    }
    return mode_given;
}

// The editor's side, on the thread that calls output: its service calls
// are timed on the benchmark's clock, and a call from another thread is
// counted (and served).
editor_sim::ClipEditor g_editor(editor_sim::ForeignCalls::kServe, Ticks);

// The encoder's side.
struct Encoder {
    int32_t cost = 0;
    int32_t png_level = 0;
    lossless_avi::PngFrameEncoder png;
    int fd = -1;
    request_timing::RequestLog requests;
    int32_t round_trips = 0;
    int32_t frames_written = 0;
    int32_t flagged_frames = 0;
    uint32_t cost_sink = 0;
    std::vector<uint8_t> scratch;
};
Encoder g_encoder;

bool WriteAll(int fd, const void* data, size_t size) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    while (size > 0) {
        const ssize_t written = ::write(fd, bytes, size);
        if (written <= 0) return false;
        bytes += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

int EncoderOutput(OutputInfo* info) {
    const size_t image_bytes = static_cast<size_t>(info->frame_bytes);
    const int64_t row_bytes = editor_sim::DibRowBytes(info->width);
    const size_t row_buffer = static_cast<size_t>(info->width) * 3;
    g_encoder.scratch.assign(image_bytes + row_buffer, 0);
    if (g_encoder.png_level > 0 && !g_encoder.png.Prepare(info->width, info->height, g_encoder.png_level)) return 0;
    info->show_progress(0, info->frame_count);
    for (int32_t frame = 0; frame < info->frame_count; ++frame) {
        const int64_t start = Ticks();
        void* pixels = info->get_video(frame);
        const int64_t end = Ticks();
        g_encoder.requests.Add(frame, start, end);
        if (info->is_abort() || pixels == nullptr) return 0;
        const void* written = pixels;
        size_t written_bytes = image_bytes;
        if (g_encoder.png_level > 0) {
            written_bytes = g_encoder.png.Encode(static_cast<const uint8_t*>(pixels));
            if (written_bytes == 0) return 0;
            written = g_encoder.png.Png();
        } else if (g_encoder.cost > 0) {
            std::memcpy(g_encoder.scratch.data(), pixels, image_bytes);
            g_encoder.cost_sink +=
                smoothing::SmoothingPasses(g_encoder.scratch.data(), row_bytes, info->width, info->height,
                                           g_encoder.cost, g_encoder.scratch.data() + image_bytes);
        }
        if (info->get_flag(frame) != 0) ++g_encoder.flagged_frames;
        if (g_encoder.fd >= 0 && !WriteAll(g_encoder.fd, written, written_bytes)) return 0;
        ++g_encoder.frames_written;
        info->show_progress(frame + 1, info->frame_count);
        if ((frame + 1) % kPreviewInterval == 0) info->update_preview();
    }
    return 1;
}

bool WriteStats(const std::string& path) {
    FILE* file = std::fopen(path.c_str(), "w");
    if (file == nullptr) return false;
    bool ok = std::fprintf(file, "frames_written=%d\nflagged_frames=%d\naudio_samples=0\nencoder_cost=%d\n",
                           static_cast<int>(g_encoder.frames_written), static_cast<int>(g_encoder.flagged_frames),
                           static_cast<int>(g_encoder.cost)) > 0;
    ok = ok && g_encoder.requests.Write(file, kTicksPerSecond);
    return std::fclose(file) == 0 && ok;
}

// What the relay counts, as each relay exposes it: the benchmark also builds
// against older relays (--before), whose counts were public fields or not
// there at all.
template <class Context, class = void>
struct HasAccessors : std::false_type {};
template <class Context>
struct HasAccessors<Context, std::void_t<decltype(std::declval<const Context&>().Serving().waits)>> : std::true_type {};
template <class Context, class = void>
struct CountsWaits : std::false_type {};
template <class Context>
struct CountsWaits<Context, std::void_t<decltype(std::declval<Context&>().serving.waits)>> : std::true_type {};

template <class Context>
long long ServingWaits(const Context& context) {
    if constexpr (HasAccessors<Context>::value) {
        return context.Serving().waits;
    } else if constexpr (CountsWaits<Context>::value) {
        return context.serving.waits;
    } else {
        return -1;
    }
}

template <class Context>
uint32_t VideoHits(const Context& context) {
    if constexpr (HasAccessors<Context>::value) {
        return context.Activity().video_hits.load();
    } else {
        return context.activity.video_hits.load();
    }
}

int Run(const Options& options) {
    g_editor.BecomeCurrent();
    if (!g_editor.SetUp(options.shape)) {
        std::fprintf(stderr, "native_bench: the clip is too large for the editor's records\n");
        return kExitUsage;
    }
    g_editor.host_cost = options.host_cost;
    g_editor.KeepFetchTimeline(options.shape.frame_count);
    g_encoder.cost = options.encoder_cost;
    g_encoder.png_level = options.png_level;
    if (!g_encoder.requests.Reserve(options.shape.frame_count)) {
        std::fprintf(stderr, "native_bench: no memory for the statistics\n");
        return kExitUsage;
    }
    if (!options.output.empty()) {
        g_encoder.fd = ::open(options.output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (g_encoder.fd < 0) {
            std::fprintf(stderr, "native_bench: cannot create %s\n", options.output.c_str());
            return kExitUsage;
        }
    }

    OutputPluginTable encoder{};
    encoder.name = "native bench encoder";
    encoder.output = EncoderOutput;
    OutputInfo info = g_editor.Info(nullptr);
    int result = 0;
    int64_t start = 0;
    int64_t end = 0;
    floor_handoff::Counters floor{};
    long long serving_waits = -1;
    if (options.mode == Mode::Floor) {
        start = Ticks();
        result = floor_handoff::RunExport(&info, &encoder, options.buffers, {}, &floor);
        end = Ticks();
    } else if (options.mode == Mode::Relay) {
        if (PluginInit() == 0) {
            std::fprintf(stderr, "native_bench: the relay's init failed\n");
            return kExitUsage;
        }
        ModuleContext()->selected = &encoder;
        ModuleContext()->buffer_count = options.buffers;
        start = Ticks();
        result = PluginOutput(&info);
        end = Ticks();
        // Every video request of the encoder is a hit or a round trip.
        g_encoder.round_trips = g_encoder.requests.Count() - static_cast<int32_t>(VideoHits(*ModuleContext()));
        serving_waits = ServingWaits(*ModuleContext());
        PluginExit();
    } else {
        start = Ticks();
        result = encoder.output(&info);
        end = Ticks();
    }
    if (g_encoder.fd >= 0) ::close(g_encoder.fd);

    if (!options.stats.empty() && !WriteStats(options.stats)) {
        std::fprintf(stderr, "native_bench: cannot write %s\n", options.stats.c_str());
        return kExitUsage;
    }
    if (!options.fetch_log.empty() && !g_editor.Fetches().Write(options.fetch_log, kTicksPerSecond)) {
        std::fprintf(stderr, "native_bench: cannot write %s\n", options.fetch_log.c_str());
        return kExitUsage;
    }
    // How often each side had to wait for the other: for the relay, the
    // serving thread's idle waits and the encoder's round trips; for the
    // floor, the sleeps of either side (and its round trips, if any).
    int round_trips = -1;
    long long editor_waits = 0;
    long long encoder_waits = 0;
    if (options.mode == Mode::Relay) {
        round_trips = static_cast<int>(g_encoder.round_trips);
        editor_waits = serving_waits;
        encoder_waits = round_trips;
    } else if (options.mode == Mode::Floor) {
        round_trips = static_cast<int>(floor.round_trips);
        editor_waits = floor.editor_sleeps;
        encoder_waits = floor.encoder_sleeps + floor.round_trips;
    }
    std::printf(
        "result=%d seconds=%.3f frames=%d service_seconds=%.3f video_calls=%d round_trips=%d "
        "foreign_thread_calls=%d editor_waits=%lld encoder_waits=%lld sinks=%u\n",
        result, static_cast<double>(end - start) / kTicksPerSecond, static_cast<int>(options.shape.frame_count),
        static_cast<double>(g_editor.ServiceTicks()) / kTicksPerSecond, static_cast<int>(g_encoder.requests.Count()),
        round_trips, static_cast<int>(g_editor.off_thread), editor_waits, encoder_waits,
        (g_editor.CostSink() ^ g_encoder.cost_sink) & 1u);
    if (g_editor.off_thread != 0) return kExitForeignThread;
    return result != 0 ? 0 : kExitFailedExport;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, &options)) {
        std::fputs(kUsage, stderr);
        return kExitUsage;
    }
    return Run(options);
}
