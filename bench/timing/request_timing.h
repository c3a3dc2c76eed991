// The benchmark's record of an encoder's frame requests: how long each took
// and when it was made, on the caller's clock, kept in regions allocated
// before the export so that recording costs a few stores. The timing shim
// (bench/timing_shim) keeps one for any encoder it runs, the native
// benchmark for its own; tools/bench.sh reads what they write.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <new>

namespace request_timing {

struct LatencySummary {
    int32_t count = 0;
    double median_us = 0;
    double p99_us = 0;
    double max_us = 0;
    int32_t under_20us = 0;
};

// Values kept in a region allocated before the export; what does not fit
// is dropped.
template <class T>
class Reserved {
public:
    Reserved() = default;
    ~Reserved() { delete[] items_; }
    Reserved(const Reserved&) = delete;
    Reserved& operator=(const Reserved&) = delete;

    // False when the region cannot be had; adding then does nothing.
    bool Reserve(int32_t capacity);
    void Add(const T& item) {
        if (count_ < capacity_) items_[count_++] = item;
    }
    int32_t Count() const { return count_; }
    T* begin() { return items_; }
    T* end() { return items_ + count_; }
    const T& At(int32_t index) const { return items_[index]; }

private:
    T* items_ = nullptr;
    int32_t capacity_ = 0;
    int32_t count_ = 0;
};

// Durations of the frame requests, in the clock's ticks.
class LatencyRecorder {
public:
    bool Reserve(int32_t capacity) { return ticks_.Reserve(capacity); }
    void Add(int64_t ticks) { ticks_.Add(ticks); }
    // Reorders the recorded values.
    LatencySummary Summarise(int64_t ticks_per_second);

private:
    Reserved<int64_t> ticks_;
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

    bool Reserve(int32_t capacity) { return calls_.Reserve(capacity); }
    void Add(int32_t frame, int64_t start, int64_t end) { calls_.Add(Call{frame, start, end}); }
    int32_t Count() const { return calls_.Count(); }
    const Call& At(int32_t index) const { return calls_.At(index); }

private:
    Reserved<Call> calls_;
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

template <class T>
bool Reserved<T>::Reserve(int32_t capacity) {
    delete[] items_;
    items_ = nullptr;
    capacity_ = 0;
    count_ = 0;
    if (capacity <= 0) return false;
    items_ = new (std::nothrow) T[static_cast<size_t>(capacity)];
    if (items_ == nullptr) return false;
    capacity_ = capacity;
    return true;
}

}  // namespace request_timing
