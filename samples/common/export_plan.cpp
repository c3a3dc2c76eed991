#include "samples/common/export_plan.h"

namespace sample_plan {

bool ReadVideo(const OutputInfo& info, Streams* streams) {
    if (info.width <= 0 || info.height <= 0 || info.frame_count <= 0) return false;
    streams->width = info.width;
    streams->height = info.height;
    streams->frame_count = info.frame_count;
    streams->rate = info.passthrough_1[0];
    streams->scale = info.passthrough_1[1];
    if (streams->rate <= 0 || streams->scale <= 0) {
        streams->rate = 30;
        streams->scale = 1;
    }
    return true;
}

bool ReadAudio(const OutputInfo& info, int32_t max_rate, Streams* streams) {
    const int32_t audio_rate = info.passthrough_2[0];
    const int32_t audio_channels = info.passthrough_2[1];
    const int32_t audio_samples = info.passthrough_2[2];
    const int32_t audio_block = info.passthrough_2[3];
    if (audio_samples <= 0 || audio_rate <= 0 || audio_channels <= 0) return true;  // no audio: nothing to refuse
    if (audio_channels > 8 || audio_block != audio_channels * 2 || audio_rate > max_rate) return false;
    streams->audio = true;
    streams->audio_rate = audio_rate;
    streams->audio_channels = audio_channels;
    streams->audio_samples = audio_samples;
    streams->audio_block = audio_block;
    return true;
}

int64_t Rgb24FrameBytes(int32_t width, int32_t height) {
    const int64_t row_bytes = (static_cast<int64_t>(width) * 3 + 3) / 4 * 4;
    return row_bytes * height;
}

SampleSpan AudioSpanOfFrame(const Streams& streams, int32_t frame) {
    if (!streams.audio || frame < 0 || frame >= streams.frame_count) return {0, 0};
    auto edge = [&](int64_t f) { return static_cast<int32_t>(f * streams.audio_samples / streams.frame_count); };
    return {edge(frame), edge(static_cast<int64_t>(frame) + 1)};
}

std::string PartialPath(const std::string& path) {
    const size_t name = path.find_last_of("\\/:");
    const size_t start = name == std::string::npos ? 0 : name + 1;
    const size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || dot <= start) return path + ".partial";
    return path.substr(0, dot) + ".partial" + path.substr(dot);
}

}  // namespace sample_plan
