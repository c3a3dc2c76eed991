// The read-ahead rings' shared protocol, with both sides' steps interleaved
// by script on one thread: the orders that a lucky schedule meets once in a
// million requests are met here every time.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <vector>

#include "plugin/export_state.h"
#include "plugin/owned_memory.h"
#include "relay/read_ahead_ring.h"

namespace {

constexpr int32_t kFrames = 120;
constexpr int32_t kBehind = 2;  // 8 buffers
constexpr int32_t kAhead = 5;

// Payload of frame f: 1000 + f, so that a value tells whose it is.
int32_t PayloadOf(int32_t frame) { return 1000 + frame; }

class ScriptedRing : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(tags_.Allocate(8));
        tags_.Fill(kEmptyTag);
        payloads_.assign(8, 0);
    }

    // The serving side's step with the position it reads now.
    bool Prefetch() { return PrefetchAround(ring_.Position()); }
    bool PrefetchAround(int32_t position) {
        return ring_.PrefetchAround(position, kBehind, kAhead, kFrames, [this](int32_t frame, int32_t slot) {
            stored_.push_back(frame);
            payloads_[static_cast<size_t>(slot)] = PayloadOf(frame);
            return true;
        });
    }
    void CompleteWindow() {
        while (Prefetch()) {
        }
    }

    AtomicInt32Array tags_;
    std::atomic<int32_t> position_{0};
    ReadAheadRing ring_{tags_, position_};
    std::vector<int32_t> payloads_;
    std::vector<int32_t> stored_;
};

TEST_F(ScriptedRing, AWorkerThatHitsAFrameTheReadAheadIsAboutToReplaceKeepsItsBytes) {
    // The worker reads on to frame 6: the window 4 .. 10 lacks 7, 8 and 9.
    ring_.MoveTo(2);
    CompleteWindow();  // 0 .. 6
    ring_.MoveTo(6);
    ASSERT_TRUE(Prefetch());  // 7 into slot 7
    stored_.clear();

    // The serving thread reads position 6 and is about to put frame 8 into
    // slot 0; before it empties the slot, the worker jumps back to frame 0,
    // which slot 0 still holds, and starts reading it.
    const int32_t seen = ring_.Position();
    ASSERT_TRUE(ring_.MoveAndLookUp(0)) << "frame 0 is a hit";
    EXPECT_TRUE(PrefetchAround(seen)) << "the step counts as work: the window is laid anew next time";

    EXPECT_TRUE(stored_.empty()) << "frame " << (stored_.empty() ? -1 : stored_.front()) << " overwrote slot 0";
    EXPECT_EQ(tags_[0].load(), 0) << "slot 0 still names frame 0";
    EXPECT_EQ(payloads_[0], PayloadOf(0)) << "and holds its bytes";

    // The next step lays the window around frame 0 and takes nothing of it.
    CompleteWindow();
    EXPECT_EQ(payloads_[0], PayloadOf(0));
}

TEST_F(ScriptedRing, AFlagReplacedWhileItIsReadIsNotTakenForTheFrameAsked) {
    ring_.MoveTo(2);
    CompleteWindow();  // 0 .. 6, frame 3 in slot 3

    // While this thread reads frame 3's value, another thread of the
    // sub-plugin jumps to frame 11, and the read-ahead around it puts frame
    // 11 into slot 3 before the value is taken.
    int32_t value = 0;
    const bool kept = ring_.ReadHeld(3, [this, &value](int32_t slot) {
        ring_.MoveTo(11);
        CompleteWindow();
        value = payloads_[static_cast<size_t>(slot)];
    });
    ASSERT_EQ(value, PayloadOf(11)) << "the script replaced the value under the reader";
    EXPECT_FALSE(kept) << "frame 11's flag was answered for frame 3";
}

TEST_F(ScriptedRing, AReadOfAFrameTheRingHoldsIsKeptAndMovesThePosition) {
    ring_.MoveTo(2);
    CompleteWindow();
    int32_t value = 0;
    EXPECT_TRUE(ring_.ReadHeld(4, [this, &value](int32_t slot) { value = payloads_[static_cast<size_t>(slot)]; }));
    EXPECT_EQ(value, PayloadOf(4));
    EXPECT_EQ(ring_.Position(), 4);
    EXPECT_FALSE(ring_.ReadHeld(9, [](int32_t) { ADD_FAILURE() << "a miss reads no payload"; }));
}

TEST_F(ScriptedRing, ARefusedFillLeavesTheSlotEmptyNotWithTheBytesItHeld) {
    ring_.MoveTo(2);
    CompleteWindow();  // frame 1 in slot 1
    const auto fill = ring_.FillRequest(9, [](int32_t, int32_t) { return false; });
    EXPECT_EQ(fill, ReadAheadRing::Fill::Refused);
    EXPECT_EQ(tags_[1].load(), kEmptyTag) << "slot 1 would answer frame 1's bytes";
    EXPECT_EQ(ring_.Position(), 9);
    EXPECT_EQ(ring_.FillRequest(4, [](int32_t, int32_t) { return true; }), ReadAheadRing::Fill::AlreadyHeld);
}

}  // namespace
