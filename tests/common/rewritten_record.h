// A sub-plugin that rewrites the record it was handed, as it may: the relay
// must take nothing from that record while the export runs. Every field is
// rewritten before each request, the sizes far larger and then far smaller,
// the frame count ten times over and then 0, the functions pointed nowhere.
// The sub-plugin itself works from the copy `own` it took at the start.
#pragma once

#include <cstdint>

#include "plugin/output_plugin.h"

namespace rewritten_record {

inline void RewriteEveryField(OutputInfo* info, const OutputInfo& own, int round) {
    const bool larger = round % 2 == 0;
    info->flags = ~own.flags;
    info->width = larger ? own.width * 4 + 64 : 1;
    info->height = larger ? own.height * 4 + 64 : 1;
    info->passthrough_1[0] = info->passthrough_1[1] = round;
    info->frame_count = larger ? own.frame_count * 10 : 0;
    info->frame_bytes = larger ? own.frame_bytes * 4 + 65536 : 1;
    for (int32_t& field : info->passthrough_2) field = -round;
    for (uint8_t& byte : info->passthrough_3) byte = static_cast<uint8_t>(round);
    info->get_video = nullptr;
    info->get_audio = nullptr;
    info->is_abort = nullptr;
    info->show_progress = nullptr;
    info->get_flag = nullptr;
    info->update_preview = nullptr;
    info->get_video_ex = nullptr;
}

}  // namespace rewritten_record
