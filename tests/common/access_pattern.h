// The orders in which the test sub-plugins ask for frames, and the formats
// they ask in: what encoders do (read in order), and what editors' previews
// and two-pass encoders do (go back, jump, start over from the end).
#pragma once

#include <cstdint>

#include "plugin/output_plugin.h"

namespace access_pattern {

enum class Pattern : int32_t {
    Sequential = 0,   // 0, 1, 2, ..., starting over at 0 after the last frame
    Backward = 1,     // last frame down to 0, and again
    RandomJumps = 2,  // anywhere, a few frames past the end among them
    EndToStart = 3,   // the last six frames, then the first six, and again
    Scrubbing = 4,    // three forward, two back, with a jump back now and then
};
constexpr int32_t kPatternCount = 5;

inline const char* NameOf(Pattern pattern) {
    switch (pattern) {
        case Pattern::Sequential: return "sequential";
        case Pattern::Backward: return "backward";
        case Pattern::RandomJumps: return "random jumps";
        case Pattern::EndToStart: return "end to start";
        case Pattern::Scrubbing: return "scrubbing";
    }
    return "?";
}

// Frames past the end that RandomJumps asks for: the editor is asked for
// them only because the sub-plugin did.
constexpr int32_t kPastTheEnd = 3;

class FrameWalk {
public:
    FrameWalk(Pattern pattern, int32_t frame_count, uint32_t seed)
        : pattern_(pattern), frame_count_(frame_count > 0 ? frame_count : 1), state_(seed * 2 + 1) {}

    int32_t Next() {
        const int32_t i = step_++;
        switch (pattern_) {
            case Pattern::Sequential: return i % frame_count_;
            case Pattern::Backward: return frame_count_ - 1 - i % frame_count_;
            case Pattern::RandomJumps:
                return static_cast<int32_t>(Random() % static_cast<uint32_t>(frame_count_ + kPastTheEnd));
            case Pattern::EndToStart: {
                const int32_t run = frame_count_ < 6 ? frame_count_ : 6;
                const int32_t k = i % (2 * run);
                return k < run ? frame_count_ - run + k : k - run;
            }
            case Pattern::Scrubbing: {
                if (i % 40 == 39) {
                    position_ -= 17;
                } else {
                    position_ += i % 5 < 3 ? 1 : -1;
                }
                if (position_ < 0) position_ = frame_count_ - 1;
                if (position_ >= frame_count_) position_ = 0;
                return position_;
            }
        }
        return 0;
    }

private:
    uint32_t Random() {
        state_ = state_ * 1664525u + 1013904223u;
        return state_ >> 8;
    }

    Pattern pattern_;
    int32_t frame_count_;
    uint32_t state_;
    int32_t step_ = 0;
    int32_t position_ = 0;
};

// The format of each request: one code throughout, or changing.
enum class FormatPlan : int32_t {
    Default = 0,
    YUY2 = 1,
    YC48 = 2,
    YUY2Reversed = 3,
    YC48Reversed = 4,
    EveryRequest = 5,  // the next code of the five with every request
    Blocks = 6,        // the next code every nine requests
};
constexpr int32_t kFormatPlanCount = 7;

inline uint32_t CodeAt(int32_t index) {
    static const uint32_t kCodes[] = {kFormatDefault, kFormatYUY2, kFormatYC48, kFormatYUY2Reversed,
                                      kFormatYC48Reversed};
    return kCodes[index % 5];
}

inline uint32_t FormatOf(FormatPlan plan, int32_t request) {
    switch (plan) {
        case FormatPlan::EveryRequest: return CodeAt(request);
        case FormatPlan::Blocks: return CodeAt(request / 9);
        default: return CodeAt(static_cast<int32_t>(plan));
    }
}

inline const char* NameOf(FormatPlan plan) {
    switch (plan) {
        case FormatPlan::Default: return "default format";
        case FormatPlan::YUY2: return "YUY2";
        case FormatPlan::YC48: return "YC48";
        case FormatPlan::YUY2Reversed: return "YUY2 reversed";
        case FormatPlan::YC48Reversed: return "YC48 reversed";
        case FormatPlan::EveryRequest: return "format per request";
        case FormatPlan::Blocks: return "format per block";
    }
    return "?";
}

}  // namespace access_pattern
