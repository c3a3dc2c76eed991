// The benchmark's record of frame requests: the latency summary, and the
// statistics file that tools/bench.sh and tools/demo.sh read.
#include "bench/timing/request_timing.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace request_timing {
namespace {

TEST(RequestLatency, SummaryGivesMedianP99AndTheFastCalls) {
    LatencyRecorder recorder;
    ASSERT_TRUE(recorder.Reserve(100));
    // 100 calls of 100, 99, ..., 1 microseconds at a 1 MHz counter.
    for (int64_t us = 100; us >= 1; --us) recorder.Add(us);
    recorder.Add(1000);  // beyond the reserved region: dropped
    LatencySummary summary = recorder.Summarise(1000000);
    EXPECT_EQ(summary.count, 100);
    EXPECT_DOUBLE_EQ(summary.median_us, 50);
    EXPECT_DOUBLE_EQ(summary.p99_us, 99);
    EXPECT_DOUBLE_EQ(summary.max_us, 100);
    EXPECT_EQ(summary.under_20us, 19);
}

TEST(RequestLatency, CounterTicksAreConvertedToMicroseconds) {
    LatencyRecorder recorder;
    ASSERT_TRUE(recorder.Reserve(3));
    for (int64_t ticks : {150, 50, 300}) recorder.Add(ticks);  // 15, 5 and 30 us at 10 MHz
    LatencySummary summary = recorder.Summarise(10000000);
    EXPECT_DOUBLE_EQ(summary.median_us, 15);
    EXPECT_DOUBLE_EQ(summary.max_us, 30);
    EXPECT_EQ(summary.under_20us, 2);
}

TEST(RequestLatency, NothingRecordedSummarisesAsZero) {
    LatencyRecorder unreserved;
    unreserved.Add(5);
    EXPECT_EQ(unreserved.Summarise(1000000).count, 0);
    LatencyRecorder empty;
    EXPECT_FALSE(empty.Reserve(0));
    EXPECT_EQ(empty.Summarise(1000000).median_us, 0);
}

TEST(RequestLog, TheStatisticsFileSummarisesThenListsEveryRequestOnTheCallersClock) {
    RequestLog log;
    ASSERT_TRUE(log.Reserve(4));
    // Three requests at a 1 MHz clock: 10, 30 and 20 microseconds, the
    // second one for frame 0 again.
    log.Add(0, 1000, 1010);
    log.Add(1, 2000, 2030);
    log.Add(0, 3000, 3020);
    EXPECT_EQ(log.Count(), 3);
    FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    ASSERT_TRUE(log.Write(file, 1000000));
    std::rewind(file);
    std::vector<std::string> lines;
    char line[128];
    while (std::fgets(line, sizeof line, file) != nullptr) lines.emplace_back(line);
    std::fclose(file);
    EXPECT_EQ(lines, (std::vector<std::string>{"get_video_calls=3\n", "get_video_median_us=20.0\n",
                                               "get_video_p99_us=30.0\n", "get_video_max_us=30.0\n",
                                               "get_video_under_20us=1\n", "ticks_per_second=1000000\n",
                                               "call 0 1000 1010\n", "call 1 2000 2030\n", "call 0 3000 3020\n"}));
}

TEST(RequestLog, RequestsBeyondTheReservedOnesAreDroppedFromBothRecords) {
    RequestLog log;
    ASSERT_TRUE(log.Reserve(2));
    for (int frame = 0; frame < 5; ++frame) log.Add(frame, frame * 100, frame * 100 + 5);
    EXPECT_EQ(log.Count(), 2);
    FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    ASSERT_TRUE(log.Write(file, 1000000));
    std::rewind(file);
    char first[64] = {};
    ASSERT_NE(std::fgets(first, sizeof first, file), nullptr);
    std::fclose(file);
    EXPECT_STREQ(first, "get_video_calls=2\n");
}

}  // namespace
}  // namespace request_timing
