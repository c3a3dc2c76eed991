#include "simulator/editor/clip_editor.h"

#include <cstring>

namespace editor_sim {

namespace {
constexpr int32_t kFlagVideo = 1;
constexpr int32_t kFlagAudio = 2;
}  // namespace

OutputInfo ClipEditor::Info(const char* file_name) {
    const ClipShape& shape = clip_.Shape();
    OutputInfo info;
    std::memset(&info, 0, sizeof info);
    info.flags = kFlagVideo | (clip_.AudioSamples() > 0 ? kFlagAudio : 0);
    info.width = shape.width;
    info.height = shape.height;
    info.passthrough_1[0] = shape.rate;
    info.passthrough_1[1] = shape.scale;
    info.frame_count = shape.frame_count;
    info.frame_bytes = clip_.FrameBytes();
    if (clip_.AudioSamples() > 0) {
        info.passthrough_2[0] = kAudioRate;
        info.passthrough_2[1] = kAudioChannels;
        info.passthrough_2[2] = clip_.AudioSamples();
        info.passthrough_2[3] = kAudioSampleBytes;
    }
    // A pointer fills the field on the editor's 32-bit system; natively (the
    // benchmark) no file is named and the field stays 0.
    if constexpr (sizeof file_name == sizeof info.passthrough_3) {
        std::memcpy(info.passthrough_3, &file_name, sizeof file_name);
    }
    FillServices(&info);
    return info;
}

void* ClipEditor::ProduceVideo(int frame, uint32_t format) {
    const uint8_t* data = clip_.Frame(frame, format);
    if (data == nullptr) return nullptr;
    // The editor's filters would run here, between reading the source and
    // handing the frame over.
    cost_sink_ += clip_.SpendProductionCost(host_cost);
    return const_cast<uint8_t*>(data);
}

void* ClipEditor::Audio(int start, int length, int* read) {
    int32_t count = 0;
    const int16_t* data = clip_.Audio(start, length, &count);
    *read = count;
    return const_cast<int16_t*>(data);
}

}  // namespace editor_sim
