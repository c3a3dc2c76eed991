#include "bench/timing/request_timing.h"

#include <algorithm>
#include <new>

namespace request_timing {

LatencyRecorder::~LatencyRecorder() { delete[] ticks_; }

bool LatencyRecorder::Reserve(int32_t capacity) {
    delete[] ticks_;
    ticks_ = nullptr;
    capacity_ = 0;
    count_ = 0;
    if (capacity <= 0) return false;
    ticks_ = new (std::nothrow) int64_t[static_cast<size_t>(capacity)];
    if (ticks_ == nullptr) return false;
    capacity_ = capacity;
    return true;
}

LatencySummary LatencyRecorder::Summarise(int64_t ticks_per_second) {
    LatencySummary summary;
    summary.count = count_;
    if (count_ == 0 || ticks_per_second <= 0) return summary;
    std::sort(ticks_, ticks_ + count_);
    const double us_per_tick = 1e6 / static_cast<double>(ticks_per_second);
    // Nearest rank: the smallest value with at least p of the values at or below it.
    auto rank = [&](int64_t percent) {
        int64_t index = (static_cast<int64_t>(count_) * percent + 99) / 100 - 1;
        return ticks_[std::max<int64_t>(0, index)] * us_per_tick;
    };
    summary.median_us = rank(50);
    summary.p99_us = rank(99);
    summary.max_us = ticks_[count_ - 1] * us_per_tick;
    for (int32_t i = 0; i < count_ && ticks_[i] * us_per_tick < 20.0; ++i) ++summary.under_20us;
    return summary;
}

CallTimeline::~CallTimeline() { delete[] calls_; }

bool CallTimeline::Reserve(int32_t capacity) {
    delete[] calls_;
    calls_ = nullptr;
    capacity_ = 0;
    count_ = 0;
    if (capacity <= 0) return false;
    calls_ = new (std::nothrow) Call[static_cast<size_t>(capacity)];
    if (calls_ == nullptr) return false;
    capacity_ = capacity;
    return true;
}

bool RequestLog::Write(FILE* file, int64_t ticks_per_second) {
    const LatencySummary summary = latencies_.Summarise(ticks_per_second);
    bool ok = std::fprintf(file,
                           "get_video_calls=%d\nget_video_median_us=%.1f\nget_video_p99_us=%.1f\n"
                           "get_video_max_us=%.1f\nget_video_under_20us=%d\nticks_per_second=%lld\n",
                           static_cast<int>(summary.count), summary.median_us, summary.p99_us, summary.max_us,
                           static_cast<int>(summary.under_20us), static_cast<long long>(ticks_per_second)) > 0;
    for (int32_t i = 0; ok && i < timeline_.Count(); ++i) {
        const CallTimeline::Call& call = timeline_.At(i);
        ok = std::fprintf(file, "call %d %lld %lld\n", static_cast<int>(call.frame),
                          static_cast<long long>(call.start), static_cast<long long>(call.end)) > 0;
    }
    return ok;
}

}  // namespace request_timing
