// When each frame's first fetch returned to the plugin, and when the next
// service call on the editor's thread began. A relay stores a frame for its
// encoder between the two, so a request that the encoder made after the
// second was answered from the relay's buffers, and one made before the
// first waited for the editor (tools/bench.sh). Kept in arrays sized before
// the export: a record costs two stores.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace editor_sim {

class FetchTimeline {
public:
    static constexpr int64_t kNone = -1;

    // Nothing is kept until this is called.
    void Reserve(int32_t frame_count);
    bool Active() const { return !end_.empty(); }
    void FetchEnded(int32_t frame, int64_t ticks) {
        if (frame < 0 || static_cast<size_t>(frame) >= end_.size()) return;
        if (end_[static_cast<size_t>(frame)] != kNone) {
            ++refetches_;
            return;
        }
        end_[static_cast<size_t>(frame)] = ticks;
        awaiting_next_ = frame;
    }
    void CallStarted(int64_t ticks) {
        if (awaiting_next_ < 0) return;
        next_[static_cast<size_t>(awaiting_next_)] = ticks;
        awaiting_next_ = -1;
    }
    // "ticks_per_second=", "refetches=", then "fetch FRAME END NEXT" per
    // frame, -1 where there was none.
    bool Write(const std::string& path, int64_t ticks_per_second) const;

private:
    std::vector<int64_t> end_;
    std::vector<int64_t> next_;
    int32_t awaiting_next_ = -1;
    int32_t refetches_ = 0;
};

}  // namespace editor_sim
