#include "simulator/editor/fetch_timeline.h"

#include <cstdio>

namespace editor_sim {

void FetchTimeline::Reserve(int32_t frame_count) {
    end_.assign(static_cast<size_t>(frame_count), kNone);
    next_.assign(static_cast<size_t>(frame_count), kNone);
    awaiting_next_ = -1;
    refetches_ = 0;
}

bool FetchTimeline::Write(const std::string& path, int64_t ticks_per_second) const {
    FILE* file = std::fopen(path.c_str(), "w");
    if (file == nullptr) return false;
    std::fprintf(file, "ticks_per_second=%lld\nrefetches=%d\n", static_cast<long long>(ticks_per_second),
                 static_cast<int>(refetches_));
    for (size_t frame = 0; frame < end_.size(); ++frame) {
        std::fprintf(file, "fetch %d %lld %lld\n", static_cast<int>(frame), static_cast<long long>(end_[frame]),
                     static_cast<long long>(next_[frame]));
    }
    return std::fclose(file) == 0;
}

}  // namespace editor_sim
