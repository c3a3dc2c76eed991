#include "bench/timing/request_timing.h"

#include <algorithm>

namespace request_timing {

LatencySummary LatencyRecorder::Summarise(int64_t ticks_per_second) {
    LatencySummary summary;
    const int32_t count = ticks_.Count();
    summary.count = count;
    if (count == 0 || ticks_per_second <= 0) return summary;
    std::sort(ticks_.begin(), ticks_.end());
    const double us_per_tick = 1e6 / static_cast<double>(ticks_per_second);
    // Nearest rank: the smallest value with at least p of the values at or below it.
    auto rank = [&](int64_t percent) {
        int64_t index = (static_cast<int64_t>(count) * percent + 99) / 100 - 1;
        return ticks_.At(static_cast<int32_t>(std::max<int64_t>(0, index))) * us_per_tick;
    };
    summary.median_us = rank(50);
    summary.p99_us = rank(99);
    summary.max_us = ticks_.At(count - 1) * us_per_tick;
    for (int32_t i = 0; i < count && ticks_.At(i) * us_per_tick < 20.0; ++i) ++summary.under_20us;
    return summary;
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
        ok = std::fprintf(file, "call %d %lld %lld\n", static_cast<int>(call.frame), static_cast<long long>(call.start),
                          static_cast<long long>(call.end)) > 0;
    }
    return ok;
}

}  // namespace request_timing
