// The relay as the editor first meets it: the module's boundary, its version
// resource, its table, and the entry points before and around init.
#include <windows.h>

#include <cstring>
#include <string>

#include "simulator/editor/service_editor.h"
#include "tests/common/call_log.h"
#include "tests/common/cp932_texts.h"
#include "tests/wine/check.h"
#include "tests/wine/editor.h"

namespace {

std::string Bytes(const char* text, size_t length) { return std::string(text, length); }

// The least an editor offers an export: every service present, nothing to
// deliver. The services reach the simulated editor made last, which answers
// them all with nothing unless it is one with frames of its own.
OutputInfo MinimalInfo() {
    OutputInfo info = {};
    info.frame_count = 1;
    editor_sim::Editor::FillServices(&info);
    return info;
}

std::string VersionString(const std::vector<char>& block, const char* name) {
    char* value = nullptr;
    UINT length = 0;
    std::string query = std::string("\\StringFileInfo\\041104b0\\") + name;
    if (!VerQueryValueA(block.data(), query.c_str(), reinterpret_cast<void**>(&value), &length) || !value) {
        return "(missing)";
    }
    return value;
}

}  // namespace

TEST_CASE(foundation, version_resource_reads_0_9_0_0_in_japanese) {
    editor::Relay relay;
    const editor::ModuleUnderTest& module = editor::Module();
    relay.path = editor::Folder() + "\\" + module.place + module.file;
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeA(relay.path.c_str(), &ignored);
    REQUIRE(size != 0);
    std::vector<char> block(size);
    REQUIRE(GetFileVersionInfoA(relay.path.c_str(), 0, size, block.data()));

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT fixed_length = 0;
    REQUIRE(VerQueryValueA(block.data(), "\\", reinterpret_cast<void**>(&fixed), &fixed_length));
    CHECK_EQ(fixed->dwFileVersionMS, 0x00000009u);
    CHECK_EQ(fixed->dwFileVersionLS, 0x00000000u);
    CHECK_EQ(fixed->dwProductVersionMS, 0x00000009u);
    CHECK_EQ(fixed->dwProductVersionLS, 0x00000000u);

    WORD* translation = nullptr;
    UINT translation_length = 0;
    REQUIRE(VerQueryValueA(block.data(), "\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation),
                           &translation_length));
    REQUIRE(translation_length >= 4);
    CHECK_EQ(translation[0], 0x0411);
    CHECK_EQ(translation[1], 1200);

    CHECK_EQ(VersionString(block, "FileDescription"), std::string(module.display_name));
    CHECK_EQ(VersionString(block, "FileVersion"), "0, 9, 0, 0");
    CHECK_EQ(VersionString(block, "ProductVersion"), "0, 9, 0, 0");
    CHECK_EQ(VersionString(block, "InternalName"), module.file.substr(0, module.file.size() - 4));
    CHECK_EQ(VersionString(block, "ProductName"), "sidecar");
    CHECK_EQ(VersionString(block, "OriginalFilename"), module.file);
}

TEST_CASE(foundation, table_carries_the_relay_name_filter_and_six_functions) {
    editor::Relay relay;
    REQUIRE(editor::LoadRelay(&relay));
    const OutputPluginTable* table = relay.table;
    CHECK_EQ(table->flags, 0);
    CHECK_EQ(std::string(table->name), std::string(editor::Module().display_name));
    // The filter's Japanese descriptions as the editor receives them.
    const auto& kExpectedFilter = cp932::kFileFilter;
    CHECK_EQ(Bytes(table->file_filter, sizeof kExpectedFilter), Bytes(kExpectedFilter, sizeof kExpectedFilter));
    CHECK(table->information != nullptr && std::strlen(table->information) > 0);
    CHECK(table->init && table->exit && table->output && table->config && table->config_get && table->config_set);
    bool reserved_zero = true;
    for (int32_t value : table->reserved) reserved_zero = reserved_zero && value == 0;
    CHECK(reserved_zero);
    editor::UnloadRelay(&relay);
}

TEST_CASE(foundation, entry_points_without_a_context_fail_safely) {
    editor::Relay relay;
    REQUIRE(editor::LoadRelay(&relay));
    const OutputPluginTable* table = relay.table;
    CHECK_EQ(table->exit(), 1);
    OutputInfo info = {};
    CHECK_EQ(table->output(&info), 0);
    char block[512] = {};
    CHECK_EQ(table->config_get(nullptr, 0), 0);
    CHECK_EQ(table->config_get(block, sizeof block), 0);
    CHECK_EQ(table->config_set(block, sizeof block), 0);
    CHECK_EQ(table->config(nullptr, relay.module), 1);
    CHECK(editor::TakeMessageBoxTexts().empty());
    editor::UnloadRelay(&relay);
}

TEST_CASE(foundation, init_without_a_sidecar_folder_succeeds) {
    editor::RemoveSidecarFolder();
    editor::Relay relay;
    REQUIRE(editor::LoadRelay(&relay));
    CHECK_EQ(relay.table->init(), 1);
    CHECK_EQ(relay.table->exit(), 1);
    CHECK_EQ(relay.table->exit(), 1);
    editor::UnloadRelay(&relay);
    editor::CreateSidecarFolder();
}

TEST_CASE(foundation, second_init_closes_the_first_context_and_leaves_one) {
    editor::ClearSidecar();
    REQUIRE(editor::InstallSubPlugin("basic.auo_"));
    editor::Relay relay;
    REQUIRE(editor::LoadRelay(&relay));
    TakeCalls();
    CHECK_EQ(relay.table->init(), 1);
    CHECK_EQ(relay.table->init(), 1);
    std::vector<RecordedCall> calls = TakeCalls();
    // First context: init; closing it: exit; second context: init again.
    CHECK_EQ(CallsTo(calls, "basic.auo_", "init").size(), 2u);
    CHECK_EQ(CallsTo(calls, "basic.auo_", "exit").size(), 1u);
    CHECK_EQ(relay.table->exit(), 1);
    calls = TakeCalls();
    CHECK_EQ(CallsTo(calls, "basic.auo_", "exit").size(), 1u);
    // Nothing is left to close: a further exit calls no sub-plugin.
    CHECK_EQ(relay.table->exit(), 1);
    CHECK(CallsTo(TakeCalls(), "basic.auo_", "exit").empty());
    editor::UnloadRelay(&relay);
    editor::ClearSidecar();
}

TEST_CASE(foundation, export_without_sub_plugins_reports_that_none_is_selected) {
    editor::RemoveSidecarFolder();
    editor::Relay relay;
    REQUIRE(editor::LoadRelay(&relay));
    REQUIRE_EQ(relay.table->init(), 1);
    editor_sim::Editor nothing;
    OutputInfo info = MinimalInfo();
    CHECK_EQ(relay.table->output(&info), 0);
    REQUIRE(editor::WaitForMessageBoxes(1, 5000));
    std::vector<std::string> texts = editor::TakeMessageBoxTexts();
    REQUIRE_EQ(texts.size(), 1u);
    CHECK_EQ(texts[0], std::string(cp932::kNoSelectionText));
    CHECK_EQ(relay.table->exit(), 1);
    editor::UnloadRelay(&relay);
    editor::CreateSidecarFolder();
}

TEST_CASE(foundation, export_runs_the_selected_sub_plugin_and_returns_its_result) {
    editor::ClearSidecar();
    REQUIRE(editor::InstallSubPlugin("basic.auo_"));
    editor::Relay relay;
    REQUIRE(editor::LoadRelay(&relay));
    REQUIRE_EQ(relay.table->init(), 1);
    TakeCalls();
    editor_sim::Editor nothing;
    OutputInfo info = MinimalInfo();
    CHECK_EQ(relay.table->output(&info), 1);
    std::vector<RecordedCall> outputs = CallsTo(TakeCalls(), "basic.auo_", "output");
    REQUIRE_EQ(outputs.size(), 1u);
    CHECK(outputs[0].thread_id != GetCurrentThreadId());
    CHECK(editor::TakeMessageBoxTexts().empty());
    CHECK_EQ(relay.table->exit(), 1);
    editor::UnloadRelay(&relay);
    editor::ClearSidecar();
}
