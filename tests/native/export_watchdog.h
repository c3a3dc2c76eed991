// Ends the test program with a report when an export stops moving while one
// of the worker's requests is unanswered. A lost request (an answer signalled
// before the serving thread set the command back to Idle, say) otherwise
// hangs the run until CTest's timeout, minutes later, saying nothing.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "plugin/relay_context.h"

namespace relay_test {

class ExportWatchdog {
public:
    // No answer and no hit for this long, with a request posted: lost.
    static constexpr std::chrono::seconds kLimit{10};

    explicit ExportWatchdog(const RelayContext& context) : context_(context), thread_([this] { Watch(); }) {}
    ~ExportWatchdog() {
        {
            std::lock_guard<std::mutex> guard(mutex_);
            stop_ = true;
        }
        stopped_.notify_one();
        thread_.join();
    }
    ExportWatchdog(const ExportWatchdog&) = delete;
    ExportWatchdog& operator=(const ExportWatchdog&) = delete;

private:
    struct Sample {
        uint32_t posted;
        uint32_t answered;
        uint32_t hits;
        bool operator==(const Sample& other) const {
            return posted == other.posted && answered == other.answered && hits == other.hits;
        }
    };

    Sample Take() const {
        const RelayActivity& a = context_.Activity();
        return {a.requests_posted.load(std::memory_order_relaxed), a.requests_answered.load(std::memory_order_relaxed),
                a.video_hits.load(std::memory_order_relaxed) + a.flag_hits.load(std::memory_order_relaxed)};
    }

    void Watch() {
        std::unique_lock<std::mutex> guard(mutex_);
        Sample last = Take();
        auto still_since = std::chrono::steady_clock::now();
        while (!stopped_.wait_for(guard, std::chrono::milliseconds(100), [this] { return stop_; })) {
            const Sample now = Take();
            const auto at = std::chrono::steady_clock::now();
            if (!(now == last) || now.posted == now.answered) {
                last = now;
                still_since = at;
                continue;
            }
            if (at - still_since < kLimit) continue;
            static const char* const kNames[] = {"Idle", "Audio", "Flag", "Video", "Finished"};
            const int32_t command = context_.Activity().last_command.load(std::memory_order_relaxed);
            std::fprintf(stderr,
                         "watchdog: the worker's %s request (frame %d) has had no answer for %lld s; the serving "
                         "thread's command is %d, %u requests posted, %u answered\n",
                         command >= 0 && command <= 4 ? kNames[command] : "unknown",
                         static_cast<int>(context_.Activity().last_frame.load(std::memory_order_relaxed)),
                         static_cast<long long>(kLimit.count()), static_cast<int>(context_.PendingCommand()),
                         now.posted, now.answered);
            std::fflush(stderr);
            std::abort();
        }
    }

    const RelayContext& context_;
    std::mutex mutex_;
    std::condition_variable stopped_;
    bool stop_ = false;
    std::thread thread_;
};

}  // namespace relay_test
