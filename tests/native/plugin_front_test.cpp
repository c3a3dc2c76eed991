// The relay's table and its life cycle as the editor drives it, natively:
// the strings reach the editor as code page 932 bytes, a context starts from
// its construction values, and init/exit manage exactly one context.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "plugin/entry/entry_points.h"
#include "plugin/relay_context.h"
#include "plugin/show_error.h"
#include "tests/common/call_log.h"
#include "tests/common/cp932_texts.h"
#include "tests/common/relay_context_probe.h"
#include "tests/native/editor_folder.h"
#include "tests/native/fakes/fakes.h"
#include "tests/native/temp_folder.h"

namespace {

std::string Bytes(const char* text, size_t length) { return std::string(text, length); }

}  // namespace

TEST(RelayTable, StringsAreCodePage932Bytes) {
    const OutputPluginTable* table = GetOutputPluginTable();
    ASSERT_EQ(table, GetOutputPluginTable());
    EXPECT_EQ(table->flags, 0);
    EXPECT_STREQ(table->name, "Offloader");
    const auto& kExpectedFilter = cp932::kFileFilter;
    EXPECT_EQ(Bytes(table->file_filter, sizeof kExpectedFilter), Bytes(kExpectedFilter, sizeof kExpectedFilter));
    EXPECT_STREQ(table->information,
                 "Offloader 0.9.0 : "
                 "\x8f\x6f\x97\xcd\x83\x76\x83\x89\x83\x4f\x83\x43\x83\x93\x82\xf0\x95\xca\x83\x58\x83\x8c\x83\x62"
                 "\x83\x68\x82\xc5\x93\xae\x82\xa9\x82\xb5\x81\x41\x83\x74\x83\x8c\x81\x5b\x83\x80\x82\xf0\x90\xe6"
                 "\x93\xc7\x82\xdd\x82\xb5\x82\xdc\x82\xb7");
    EXPECT_EQ(table->init, &PluginInit);
    EXPECT_EQ(table->exit, &PluginExit);
    EXPECT_EQ(table->output, &PluginOutput);
    EXPECT_EQ(table->config, &PluginConfig);
    EXPECT_EQ(table->config_get, &PluginConfigGet);
    EXPECT_EQ(table->config_set, &PluginConfigSet);
    for (int32_t value : table->reserved) EXPECT_EQ(value, 0);
}

TEST(RelayContextLifeCycle, ANewContextHoldsItsConstructionValues) {
    RelayContext context;
    RelayContextProbe state = Inside(context);
    EXPECT_TRUE(context.plugins.empty());
    EXPECT_EQ(state.host_info, nullptr);
    const auto* relay_bytes = reinterpret_cast<const unsigned char*>(&state.relay_info);
    bool zero = true;
    for (size_t i = 0; i < sizeof state.relay_info; ++i) zero = zero && relay_bytes[i] == 0;
    EXPECT_TRUE(zero);
    EXPECT_EQ(context.selected, nullptr);
    EXPECT_FALSE(context.settings_cache);
    EXPECT_FALSE(state.worker_thread.Started());
    EXPECT_FALSE(state.done_event.Valid());
    EXPECT_FALSE(state.wake_event.Valid());
    EXPECT_FALSE(state.request_lock.IsSetUp());
    EXPECT_EQ(context.buffer_count, 8);
    EXPECT_EQ(state.buffers.video_frame_bytes, 0);
    EXPECT_EQ(state.buffers.slot_stride.load(), 0);
    EXPECT_EQ(state.buffers.video_slots.load(), nullptr);
    EXPECT_FALSE(state.buffers.video_tags);
    EXPECT_FALSE(state.buffers.flag_values);
    EXPECT_FALSE(state.buffers.flag_tags);
    EXPECT_EQ(state.mailbox.command.load(), 0);
    EXPECT_EQ(state.video_ring.format.load(), 0xFFFFFFFFu);
    EXPECT_EQ(state.mailbox.video_format, 0xFFFFFFFFu);
    EXPECT_EQ(state.mailbox.video_frame, -1);
    EXPECT_EQ(state.mailbox.flag_frame, -1);
    EXPECT_EQ(state.notes.progress_position.load(), -1);
    EXPECT_EQ(state.notes.progress_total.load(), -1);
    EXPECT_EQ(state.notes.shown_position, -1);
    EXPECT_EQ(state.notes.shown_total, -1);
}

TEST(RelayContextLifeCycle, ResetExportStateLeavesTheSlotsAlone) {
    RelayContext context;
    RelayContextProbe state = Inside(context);
    state.buffers.slot_stride.store(128);
    state.buffers.video_frame_bytes = 100;
    ASSERT_TRUE(state.buffers.video_tags.Allocate(4));
    state.buffers.video_tags.Fill(7);
    state.aborted.store(1);
    state.mailbox.command.store(4);
    state.video_ring.format.store(0);
    state.video_ring.position.store(33);
    state.notes.shown_position = 5;
    context.ResetExportState();
    EXPECT_EQ(state.aborted.load(), 0);
    EXPECT_EQ(state.mailbox.command.load(), 0);
    EXPECT_EQ(state.video_ring.format.load(), 0xFFFFFFFFu);
    EXPECT_EQ(state.video_ring.position.load(), 0);
    EXPECT_EQ(state.notes.shown_position, -1);
    EXPECT_EQ(state.buffers.slot_stride.load(), 128);
    EXPECT_EQ(state.buffers.video_frame_bytes, 100);
    ASSERT_TRUE(state.buffers.video_tags);
    EXPECT_EQ(state.buffers.video_tags[3].load(), 7);
}

TEST(EntryPoints, WithoutAContextTheyFailSafely) {
    ASSERT_EQ(PluginExit(), 1);
    EXPECT_EQ(ModuleContext(), nullptr);
    EXPECT_EQ(PluginExit(), 1);
    OutputInfo info{};
    EXPECT_EQ(PluginOutput(&info), 0);
    char block[300] = {};
    EXPECT_EQ(PluginConfigGet(nullptr, 0), 0);
    EXPECT_EQ(PluginConfigGet(block, sizeof block), 0);
    EXPECT_EQ(PluginConfigSet(block, sizeof block), 0);
    EXPECT_EQ(PluginConfig(nullptr, nullptr), 1);
    EXPECT_TRUE(fakes::TakeMessageBoxes().empty());
}

TEST(EntryPoints, InitWithoutASidecarFolderSucceedsWithNoSubPlugins) {
    EditorFolder editor;
    std::string before = CurrentDirectory();
    ASSERT_EQ(PluginInit(), 1);
    ASSERT_NE(ModuleContext(), nullptr);
    EXPECT_TRUE(ModuleContext()->plugins.empty());
    EXPECT_EQ(ModuleContext()->selected, nullptr);
    EXPECT_TRUE(Inside(*ModuleContext()).done_event.Valid());
    EXPECT_TRUE(Inside(*ModuleContext()).wake_event.Valid());
    EXPECT_EQ(CurrentDirectory(), before);
    EXPECT_EQ(PluginExit(), 1);
    EXPECT_EQ(ModuleContext(), nullptr);
}

TEST(EntryPoints, ASecondInitClosesTheFirstContextAndLeavesOne) {
    EditorFolder editor;
    editor.Install("basic.auo_");
    TakeCalls();
    ASSERT_EQ(PluginInit(), 1);
    RelayContext* first = ModuleContext();
    ASSERT_EQ(first->plugins.size(), 1u);
    first->buffer_count = 30;
    ASSERT_EQ(PluginInit(), 1);
    RelayContext* second = ModuleContext();
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(second->buffer_count, 8);
    ASSERT_EQ(second->plugins.size(), 1u);
    EXPECT_EQ(second->selected, second->plugins[0].table);
    std::vector<RecordedCall> calls = TakeCalls();
    EXPECT_EQ(CallsTo(calls, "basic.auo_", "init").size(), 2u);
    EXPECT_EQ(CallsTo(calls, "basic.auo_", "exit").size(), 1u);
    EXPECT_EQ(PluginExit(), 1);
    EXPECT_EQ(CallsTo(TakeCalls(), "basic.auo_", "exit").size(), 1u);
}

TEST(ShowError, IsASystemModalErrorBoxCaptionedOffloader) {
    ShowError("\x83\x65\x83\x58\x83\x67");
    auto boxes = fakes::TakeMessageBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "\x83\x65\x83\x58\x83\x67");
    EXPECT_EQ(boxes[0].caption, "Offloader");
    EXPECT_EQ(boxes[0].style, 0x1010u);
}
