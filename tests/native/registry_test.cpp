// The sub-plugin registry, natively: which modules of the sidecar folder are
// kept and in which order, where they are loaded from and in which current
// directory they run, and how they leave again.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <link.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "platform/folder.h"
#include "plugin/relay_context.h"
#include "registry/sub_plugin_registry.h"
#include "tests/common/call_log.h"
#include "tests/native/editor_folder.h"
#include "tests/native/temp_folder.h"

namespace {

// Usable modules, with the display names their tables carry.
const std::vector<std::pair<std::string, std::string>> kUsable = {
    {"basic.auo_", "Test Encoder"},          {"with_settings.auo_", "Settings Encoder"},
    {"twin_a.auo_", "Twin Encoder"},         {"twin_b.auo_", "Twin Encoder"},
    {"set_only.auo_", "Test Encoder"},       {"negative_size.auo_", "Test Encoder"},
    {"oversized_fill.auo_", "Test Encoder"}, {"null_init.auo_", "Test Encoder"},
    {"no_output.auo_", "Test Encoder"},
};
// Modules that load but must be dropped: init refuses, the relay's own name,
// no export, a null table, a null name.
const std::vector<std::string> kDroppedModules = {"init_fails.auo_", "relay_named.auo_", "no_export.auo_",
                                                  "null_table.auo_", "null_name.auo_"};

bool IsLoaded(const std::string& path) {
    void* handle = dlopen(path.c_str(), RTLD_LAZY | RTLD_NOLOAD);
    if (handle == nullptr) return false;
    dlclose(handle);
    return true;
}

std::string LoadedFrom(ModuleHandle module) {
    link_map* map = nullptr;
    if (dlinfo(module, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr) return "(unknown)";
    return map->l_name;
}

std::vector<std::string> Names(const std::vector<RecordedCall>& calls) {
    std::vector<std::string> names;
    for (const RecordedCall& call : calls) names.push_back(call.module);
    return names;
}

// An editor folder with every kind of sub-plugin, a file that is not a
// module, a directory that looks like one, and a file of another kind.
class RegistryTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const auto& usable : kUsable) editor_.Install(usable.first);
        for (const std::string& dropped : kDroppedModules) editor_.Install(dropped);
        editor_.WriteSidecarFile("not_a_module.auo_", "MZ this is not a module");
        editor_.MakeSidecarDirectory("folder.auo_");
        editor_.Install("basic.auo_", "basic.dll");
        TakeCalls();
    }

    // The usable names in the order the platform's own listing yields them.
    std::vector<std::string> ExpectedOrder() const {
        std::set<std::string> usable;
        for (const auto& entry : kUsable) usable.insert(entry.first);
        std::vector<std::string> order;
        CurrentDirectoryScope in_sidecar(editor_.Sidecar());
        platform::FolderListing listing;
        if (!listing.Open("*.auo_")) return order;
        platform::ListedItem item;
        while (listing.Next(&item)) {
            if (usable.count(item.name) != 0) order.push_back(item.name);
        }
        return order;
    }

    EditorFolder editor_;
};

}  // namespace

TEST_F(RegistryTest, KeepsTheUsableSubPluginsInListingOrderAndSelectsTheFirst) {
    std::vector<std::string> expected = ExpectedOrder();
    ASSERT_EQ(expected.size(), kUsable.size());
    std::string before = CurrentDirectory();
    RelayContext context;
    ASSERT_TRUE(context.Open());
    EXPECT_EQ(CurrentDirectory(), before);

    std::vector<std::string> kept;
    for (const SubPluginEntry& entry : context.plugins) kept.push_back(entry.file_name);
    EXPECT_EQ(kept, expected);
    ASSERT_FALSE(context.plugins.empty());
    EXPECT_EQ(context.selected, context.plugins[0].table);
    for (const SubPluginEntry& entry : context.plugins) {
        ASSERT_NE(entry.table, nullptr) << entry.file_name;
        auto usable = std::find_if(kUsable.begin(), kUsable.end(),
                                   [&](const auto& pair) { return pair.first == entry.file_name; });
        ASSERT_NE(usable, kUsable.end());
        EXPECT_STREQ(entry.table->name, usable->second.c_str()) << entry.file_name;
        // Loaded as the listed file of the sidecar folder, not through a search.
        EXPECT_EQ(LoadedFrom(entry.module), editor_.Sidecar() + "/" + entry.file_name);
    }
    for (const std::string& dropped : kDroppedModules) {
        EXPECT_FALSE(IsLoaded(editor_.Sidecar() + "/" + dropped)) << dropped << " stays loaded";
    }
}

TEST_F(RegistryTest, ModulesStartGiveTheirTableAndInitInTheSidecarFolder) {
    RelayContext context;
    ASSERT_TRUE(context.Open());
    std::vector<RecordedCall> calls = TakeCalls();
    for (const char* function : {"load", "GetOutputPluginTable", "init"}) {
        std::vector<RecordedCall> made = CallsTo(calls, "", function);
        EXPECT_FALSE(made.empty()) << function;
        for (const RecordedCall& call : made) {
            EXPECT_EQ(call.directory, editor_.Sidecar()) << call.module << " " << function;
        }
    }
    // Every module of the folder was started, the dropped ones included,
    // and none twice; the copy named .dll was not.
    std::vector<std::string> started = Names(CallsTo(calls, "", "load"));
    EXPECT_EQ(started.size(), kUsable.size() + kDroppedModules.size());
    EXPECT_EQ(std::set<std::string>(started.begin(), started.end()).size(), started.size());
    EXPECT_EQ(std::count(started.begin(), started.end(), "basic.dll"), 0);
    // Modules are taken one after another in listing order.
    std::vector<std::string> inits = Names(CallsTo(calls, "", "init"));
    std::vector<std::string> kept_with_init;
    for (const SubPluginEntry& entry : context.plugins) {
        if (entry.file_name != "null_init.auo_") kept_with_init.push_back(entry.file_name);
    }
    inits.erase(std::remove(inits.begin(), inits.end(), "init_fails.auo_"), inits.end());
    EXPECT_EQ(inits, kept_with_init);
}

TEST_F(RegistryTest, ARefusedInitNeverSeesExitAndCloseCallsExitInRegistryOrder) {
    RelayContext context;
    ASSERT_TRUE(context.Open());
    std::vector<RecordedCall> calls = TakeCalls();
    EXPECT_EQ(CallsTo(calls, "init_fails.auo_", "init").size(), 1u);
    EXPECT_TRUE(CallsTo(calls, "null_init.auo_", "init").empty());
    EXPECT_NE(FindByFileName(context.plugins, "null_init.auo_"), nullptr);
    EXPECT_TRUE(CallsTo(calls, "", "exit").empty());

    std::vector<std::string> order;
    for (const SubPluginEntry& entry : context.plugins) order.push_back(entry.file_name);
    context.Close();
    calls = TakeCalls();
    EXPECT_EQ(Names(CallsTo(calls, "", "exit")), order);
    EXPECT_TRUE(CallsTo(calls, "init_fails.auo_", "exit").empty());
    EXPECT_TRUE(context.plugins.empty());
    EXPECT_EQ(context.selected, nullptr);
    for (const std::string& name : order) EXPECT_FALSE(IsLoaded(editor_.Sidecar() + "/" + name)) << name;
}

TEST_F(RegistryTest, FindByFileNameIsCaseSensitiveAndTellsTwinsApart) {
    RelayContext context;
    ASSERT_TRUE(context.Open());
    const SubPluginEntry* a = FindByFileName(context.plugins, "twin_a.auo_");
    const SubPluginEntry* b = FindByFileName(context.plugins, "twin_b.auo_");
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_NE(a, b);
    EXPECT_NE(a->table, b->table);
    EXPECT_STREQ(a->table->name, b->table->name);
    EXPECT_EQ(b->file_name, "twin_b.auo_");
    EXPECT_EQ(FindByTable(context.plugins, b->table), b);
    EXPECT_EQ(FindByTable(context.plugins, a->table), a);

    for (const char* near_miss : {"TWIN_B.AUO_", "Twin_b.auo_", "twin_b.auo", "twin_b.auo_ ", "win_b.auo_", ""}) {
        EXPECT_EQ(FindByFileName(context.plugins, near_miss), nullptr) << '"' << near_miss << '"';
    }
    EXPECT_EQ(FindByFileName(context.plugins, nullptr), nullptr);
    OutputPluginTable foreign{};
    EXPECT_EQ(FindByTable(context.plugins, &foreign), nullptr);
    EXPECT_EQ(FindByTable(context.plugins, nullptr), nullptr);
}

TEST(Registry, ASameNamedModuleBesideTheEditorIsNotTheOneLoaded) {
    EditorFolder editor;
    editor.Install("basic.auo_");
    editor.InstallBesideEditor("decoy.auo_", "basic.auo_");
    RelayContext context;
    ASSERT_TRUE(context.Open());
    ASSERT_EQ(context.plugins.size(), 1u);
    EXPECT_EQ(context.plugins[0].file_name, "basic.auo_");
    EXPECT_STREQ(context.plugins[0].table->name, "Test Encoder");
    EXPECT_EQ(LoadedFrom(context.plugins[0].module), editor.Sidecar() + "/basic.auo_");
    EXPECT_FALSE(IsLoaded(editor.folder().Child("basic.auo_")));
}

TEST(Registry, AnEmptyFolderOrOneWithoutModulesKeepsNothing) {
    EditorFolder editor;
    editor.WriteSidecarFile("notes.txt", "not listed");
    editor.MakeSidecarDirectory("only_a_folder.auo_");
    std::string before = CurrentDirectory();
    RelayContext context;
    ASSERT_TRUE(context.Open());
    EXPECT_TRUE(context.plugins.empty());
    EXPECT_EQ(context.selected, nullptr);
    EXPECT_EQ(CurrentDirectory(), before);
}
