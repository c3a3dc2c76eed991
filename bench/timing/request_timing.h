// The benchmark's record of an encoder's frame requests: how long each took
// and when it was made, on the caller's clock, kept in regions allocated
// before the export so that recording costs a few stores. The timing shim
// (bench/timing_shim) keeps one for any encoder it runs, the native
// benchmark for its own; tools/bench.sh reads what they write.
#pragma once

#include <cstdint>
#include <cstdio>

namespace request_timing {

struct LatencySummary {
    int32_t count = 0;
    double median_us = 0;
    double p99_us = 0;
    double max_us = 0;
    int32_t under_20us = 0;
};

// Durations of the frame requests, in the clock's ticks.
class LatencyRecorder {
public:
    LatencyRecorder() = default;
    ~LatencyRecorder();
    LatencyRecorder(const LatencyRecorder&) = delete;
    LatencyRecorder& operator=(const LatencyRecorder&) = delete;

    // False when the region cannot be had; recording then does nothing.
    bool Reserve(int32_t capacity);
    void Add(int64_t ticks) {
        if (count_ < capacity_) ticks_[count_++] = ticks;
    }
    // Reorders the recorded values.
    LatencySummary Summarise(int64_t ticks_per_second);

private:
    int64_t* ticks_ = nullptr;
    int32_t capacity_ = 0;
    int32_t count_ = 0;
};

// When each frame request began and ended, in the order made. Beside the
// editor's own fetch times, on the same clock in the same process, they tell
// which requests a relay answered from its buffers (tools/bench.sh).
class CallTimeline {
public:
    struct Call {
        int32_t frame;
        int64_t start;
        int64_t end;
    };

    CallTimeline() = default;
    ~CallTimeline();
    CallTimeline(const CallTimeline&) = delete;
    CallTimeline& operator=(const CallTimeline&) = delete;

    // False when the region cannot be had; recording then does nothing.
    bool Reserve(int32_t capacity);
    void Add(int32_t frame, int64_t start, int64_t end) {
        if (count_ < capacity_) calls_[count_++] = Call{frame, start, end};
    }
    int32_t Count() const { return count_; }
    const Call& At(int32_t index) const { return calls_[index]; }

private:
    Call* calls_ = nullptr;
    int32_t capacity_ = 0;
    int32_t count_ = 0;
};

// Both records of one export's frame requests.
class RequestLog {
public:
    bool Reserve(int32_t capacity) { return latencies_.Reserve(capacity) && timeline_.Reserve(capacity); }
    void Add(int32_t frame, int64_t start, int64_t end) {
        latencies_.Add(end - start);
        timeline_.Add(frame, start, end);
    }
    int32_t Count() const { return timeline_.Count(); }
    // The summary as get_video_calls=, get_video_median_us=, get_video_p99_us=,
    // get_video_max_us=, get_video_under_20us=, ticks_per_second= lines, then
    // "call FRAME START END" per request; false when the file fails.
    // Reorders the latencies.
    bool Write(FILE* file, int64_t ticks_per_second);

private:
    LatencyRecorder latencies_;
    CallTimeline timeline_;
};

}  // namespace request_timing
