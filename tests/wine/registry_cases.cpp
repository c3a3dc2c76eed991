// The sub-plugin registry of the real module under Wine: which files of the
// sidecar folder become sub-plugins, in which order, from which file and in
// which current directory they run, and how they leave.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "tests/common/call_log.h"
#include "tests/wine/check.h"
#include "tests/wine/editor.h"
#include "tests/wine/settings_bytes.h"

using namespace settings_bytes;

namespace {

const std::vector<std::string> kUsable = {"basic.auo_",          "with_settings.auo_", "twin_a.auo_",
                                          "twin_b.auo_",         "set_only.auo_",      "negative_size.auo_",
                                          "oversized_fill.auo_", "null_init.auo_",     "no_output.auo_"};
const std::vector<std::string> kDropped = {"init_fails.auo_", "relay_named.auo_", "no_export.auo_", "null_table.auo_",
                                           "null_name.auo_"};

// Carries the isolated module's name: a copy of that relay, which its
// helper refuses, and to sidecar.auo an encoder like any other.
const char kIsolatedNamed[] = "isolated_named.auo_";

std::vector<std::string> Usable() {
    std::vector<std::string> usable = kUsable;
    if (!editor::Module().isolated) usable.push_back(kIsolatedNamed);
    return usable;
}

std::vector<std::string> Dropped() {
    std::vector<std::string> dropped = kDropped;
    if (editor::Module().isolated) dropped.push_back(kIsolatedNamed);
    return dropped;
}

std::string CurrentFolder() {
    char path[MAX_PATH] = {};
    GetCurrentDirectoryA(sizeof path, path);
    return path;
}

// The usable names in the order in which the folder lists them.
std::vector<std::string> ListingOrder() {
    const std::vector<std::string> listed = Usable();
    std::set<std::string> usable(listed.begin(), listed.end());
    std::vector<std::string> order;
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA((editor::SidecarFolder() + "\\*.auo_").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return order;
    do {
        if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && usable.count(data.cFileName)) {
            order.push_back(data.cFileName);
        }
    } while (FindNextFileA(find, &data));
    FindClose(find);
    return order;
}

std::vector<std::string> Modules(const std::vector<RecordedCall>& calls) {
    std::vector<std::string> names;
    for (const RecordedCall& call : calls) names.push_back(call.module);
    return names;
}

// The file name in the record that the relay's config_get gives now.
std::string SelectedFileName(const OutputPluginTable* relay) {
    int size = relay->config_get(nullptr, 0);
    if (size < kHeader) return "(no record)";
    std::vector<uint8_t> block(static_cast<size_t>(size) + 2048);
    if (relay->config_get(block.data(), static_cast<int>(block.size())) < kHeader) return "(no record)";
    return std::string(reinterpret_cast<const char*>(block.data()) + 12);
}

}  // namespace

TEST_CASE(registry, keeps_the_usable_sub_plugins_in_listing_order) {
    editor::ClearSidecar();
    const std::vector<std::string> usable = Usable();
    const std::vector<std::string> dropped = Dropped();
    for (const std::string& name : usable) REQUIRE(editor::InstallSubPlugin(name));
    for (const std::string& name : dropped) REQUIRE(editor::InstallSubPlugin(name));
    REQUIRE(editor::WriteSidecarFile("not_a_module.auo_", "MZ but no module"));
    REQUIRE(editor::MakeSidecarDirectory("folder.auo_"));
    REQUIRE(editor::InstallSubPlugin("basic.auo_", "basic.dll"));
    std::vector<std::string> expected = ListingOrder();
    REQUIRE_EQ(expected.size(), usable.size());

    editor::Relay relay;
    REQUIRE(editor::LoadRelay(&relay));
    TakeCalls();
    std::string before = CurrentFolder();
    REQUIRE_EQ(relay.table->init(), 1);
    CHECK_EQ(CurrentFolder(), before);
    std::vector<RecordedCall> calls = TakeCalls();

    // Start-up code, table and init all run in the sidecar folder, for the
    // dropped modules too.
    for (const char* function : {"load", "GetOutputPluginTable", "init"}) {
        std::vector<RecordedCall> made = CallsTo(calls, "", function);
        CHECK(!made.empty());
        for (const RecordedCall& call : made) CHECK_EQ(call.directory, editor::SidecarFolder());
    }
    std::vector<std::string> started = Modules(CallsTo(calls, "", "load"));
    CHECK_EQ(started.size(), usable.size() + dropped.size());
    CHECK_EQ(std::count(started.begin(), started.end(), std::string("basic.dll")), 0);
    CHECK_EQ(CallsTo(calls, "init_fails.auo_", "init").size(), 1u);
    CHECK(CallsTo(calls, "null_init.auo_", "init").empty());

    for (const std::string& name : usable) {
        if (!CHECK(editor::LoadedSubPlugin(name) != nullptr)) std::printf("      not loaded: %s\n", name.c_str());
    }
    for (const std::string& name : dropped) {
        if (!CHECK(editor::LoadedSubPlugin(name) == nullptr)) std::printf("      still loaded: %s\n", name.c_str());
    }
    CHECK_EQ(SelectedFileName(relay.table), expected[0]);
    TakeCalls();

    CHECK_EQ(relay.table->exit(), 1);
    calls = TakeCalls();
    std::vector<std::string> exits = Modules(CallsTo(calls, "", "exit"));
    CHECK(exits == expected);
    CHECK(CallsTo(calls, "init_fails.auo_", "exit").empty());
    for (const std::string& name : usable) CHECK(editor::LoadedSubPlugin(name) == nullptr);
    editor::UnloadRelay(&relay);
    editor::ClearSidecar();
}

TEST_CASE(registry, a_same_named_module_beside_the_editor_is_not_the_one_loaded) {
    editor::ClearSidecar();
    REQUIRE(editor::InstallSubPlugin("basic.auo_"));
    // The module search looks in the executable's folder before the current
    // directory; the relay must load the listed file all the same.
    REQUIRE(editor::InstallBesideEditor("decoy.auo_", "basic.auo_"));
    std::string decoy = editor::Folder() + "\\basic.auo_";
    editor::Relay relay;
    REQUIRE(editor::LoadRelay(&relay));
    REQUIRE_EQ(relay.table->init(), 1);
    CHECK(editor::LoadedSubPlugin("basic.auo_") != nullptr);
    CHECK(editor::LoadedWhereSubPluginsRun(decoy) == nullptr);
    if (!editor::Module().isolated) {
        OutputPluginTable* table = SubPluginTable("basic.auo_");
        CHECK(table != nullptr && std::string(table->name) == "Test Encoder");
    }
    CHECK_EQ(SelectedFileName(relay.table), std::string("basic.auo_"));
    CHECK_EQ(relay.table->exit(), 1);
    editor::UnloadRelay(&relay);
    CHECK(DeleteFileA(decoy.c_str()));
    editor::ClearSidecar();
    TakeCalls();
}

TEST_CASE(registry, file_names_tell_twins_apart_and_compare_case_sensitively) {
    editor::ClearSidecar();
    REQUIRE(editor::InstallSubPlugin("twin_a.auo_"));
    REQUIRE(editor::InstallSubPlugin("twin_b.auo_"));
    editor::Relay relay;
    REQUIRE(editor::LoadRelay(&relay));
    REQUIRE_EQ(relay.table->init(), 1);
    std::string inner = SettingsOf("twin_b.auo_");
    TakeCalls();

    std::vector<uint8_t> record = MakeRecord(8, "twin_b.auo_", inner);
    CHECK_EQ(relay.table->config_set(record.data(), static_cast<int>(record.size())),
             kHeader + static_cast<int>(inner.size()));
    std::vector<RecordedCall> sets = CallsTo(TakeCalls(), "", "config_set");
    REQUIRE_EQ(sets.size(), 1u);
    CHECK_EQ(sets[0].module, std::string("twin_b.auo_"));
    CHECK_EQ(SelectedFileName(relay.table), std::string("twin_b.auo_"));

    // The folder's own names ignore case; the relay's comparison does not.
    record = MakeRecord(8, "TWIN_A.AUO_", inner);
    CHECK_EQ(relay.table->config_set(record.data(), static_cast<int>(record.size())), 0);
    CHECK(CallsTo(TakeCalls(), "", "config_set").empty());
    CHECK_EQ(relay.table->config_get(nullptr, 0), kHeader);
    CHECK_EQ(SelectedFileName(relay.table), std::string());
    CHECK_EQ(relay.table->exit(), 1);
    editor::UnloadRelay(&relay);
    editor::ClearSidecar();
    TakeCalls();
}
