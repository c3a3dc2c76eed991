// What the relay's native tests share: the relay loaded as the editor loads
// it (from an editor folder without sub-plugins, the test then choosing a
// sub-plugin table of its own), the checks a sub-plugin makes on what it
// receives, the read-ahead windows, and the expected message texts.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "plugin/entry/entry_points.h"
#include "plugin/relay_context.h"
#include "tests/common/cp932_texts.h"
#include "tests/common/frame_pattern.h"
#include "tests/native/editor_folder.h"
#include "tests/native/export_watchdog.h"
#include "tests/native/fakes/fakes.h"
#include "tests/native/simulated_editor.h"

namespace relay_test {

// The texts of the relay's messages as the editor's message box receives them.
using cp932::kArrayMemoryText;
using cp932::kBufferMemoryText;
using cp932::kInvalidCountText;
using cp932::kNoSelectionText;

inline std::vector<std::string> TakeMessageTexts() {
    std::vector<std::string> texts;
    for (const auto& box : fakes::TakeMessageBoxes()) {
        texts.push_back(box.text);
        EXPECT_EQ(box.caption, "Offloader");
    }
    return texts;
}

// The read-ahead window of a buffer count, as the documentation tabulates it,
// and the lead: a hit at p starts a refill of the window only when frame
// p + lead (or the clip's last, where that comes first) is missing.
struct WindowShape {
    int buffers;
    int behind;
    int ahead;
    int lead;
};
inline const WindowShape kWindowShapes[] = {
    {1, 0, 0, 0}, {2, 0, 1, 0}, {3, 0, 2, 1}, {8, 2, 5, 3}, {48, 15, 32, 16}, {100, 33, 66, 33},
};
inline WindowShape ShapeOf(int buffers) {
    for (const WindowShape& shape : kWindowShapes) {
        if (shape.buffers == buffers) return shape;
    }
    ADD_FAILURE() << "no window shape for " << buffers << " buffers";
    return {buffers, 0, 0, 0};
}

// What the editor is asked when a sub-plugin requests `requests` one after
// another, each once the serving thread waits: a ring of tags, filled on a
// miss and then around the new position, lowest first; after a hit, only
// once the ring runs low (the hit wakes the waiting serving thread then).
inline std::vector<int> ExpectedVideoFetches(int buffers, int frame_count, const std::vector<int>& requests) {
    const WindowShape shape = ShapeOf(buffers);
    std::vector<int> tags(static_cast<size_t>(buffers), -1);
    std::vector<int> fetches;
    auto held = [&](int f) { return tags[static_cast<size_t>(f % buffers)] == f; };
    for (int frame : requests) {
        const bool miss = !held(frame);
        if (miss) {
            fetches.push_back(frame);
            tags[static_cast<size_t>(frame % buffers)] = frame;
        }
        const int looked_at = std::min(frame + shape.lead, frame_count - 1);
        if (!miss && !(shape.lead > 0 && looked_at > frame && !held(looked_at))) continue;
        const int first = std::max(0, frame - shape.behind);
        const int end = std::min(frame_count, frame + shape.ahead);
        for (int f = first; f < end; ++f) {
            if (tags[static_cast<size_t>(f % buffers)] != f) {
                fetches.push_back(f);
                tags[static_cast<size_t>(f % buffers)] = f;
            }
        }
    }
    return fetches;
}

// Waits for something the relay's other thread is about to do. The limit
// only keeps a broken relay from hanging the run; nothing is measured.
template <class Condition>
bool Eventually(Condition condition) {
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > give_up) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

// How a sub-plugin judges a frame: every byte, null counting as all wrong.
inline long WrongBytesOf(const OutputInfo* info, int frame, uint32_t format, const void* data) {
    const size_t bytes = frame_pattern::FrameBytes(*info, format);
    if (data == nullptr) return static_cast<long>(bytes == 0 ? 1 : bytes);
    return frame_pattern::WrongBytes(static_cast<const uint8_t*>(data), bytes, frame, format);
}

// The relay as the editor holds it, initialised in an editor folder without
// sub-plugins; each export runs the sub-plugin table the test gives it.
class RelayHarness : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(PluginInit(), 1);
        context_ = ModuleContext();
        fakes::TakeMessageBoxes();
        fakes::TakeWorkerLibraryCalls();
        fakes::TakeMessageQueueCalls();
    }
    void TearDown() override {
        PluginExit();
        fakes::TakeMessageBoxes();
        fakes::SetCurrentThreadPriority(0);
        fakes::SetPageAllocationLimit(0);
    }

    int Export(SimulatedEditor& editor, int (*output)(OutputInfo*), int buffer_count) {
        OutputInfo info = editor.Info();
        return Export(info, output, buffer_count);
    }
    int Export(OutputInfo& info, int (*output)(OutputInfo*), int buffer_count) {
        table_ = OutputPluginTable{};
        table_.name = "Checking Encoder";
        table_.output = output;
        context_->selected = &table_;
        context_->buffer_count = buffer_count;
        ExportWatchdog watchdog(*context_);
        return PluginOutput(&info);
    }

    EditorFolder folder_;
    RelayContext* context_ = nullptr;
    OutputPluginTable table_{};
};

}  // namespace relay_test
