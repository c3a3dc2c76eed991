// The settings record of the real module under Wine, driven as the editor
// drives it: saved through config_get (size query, then fill), kept across
// unloading the relay, and given back through config_set.
#include <windows.h>

#include <string>
#include <vector>

#include "tests/common/call_log.h"
#include "tests/wine/check.h"
#include "tests/wine/editor.h"
#include "tests/wine/settings_bytes.h"

using namespace settings_bytes;

namespace {

// As the editor saves: a size query, a block of exactly that size ending at
// a guard page, a fill; the editor keeps as many bytes as the fill reports.
std::vector<uint8_t> Save(const OutputPluginTable* relay, int* size_result = nullptr) {
    int size = relay->config_get(nullptr, 0);
    if (size_result != nullptr) *size_result = size;
    if (size <= 0) return {};
    GuardedBlock block(static_cast<size_t>(size));
    int filled = relay->config_get(block.data(), size);
    if (filled <= 0 || filled > size) return {};
    return std::vector<uint8_t>(block.data(), block.data() + filled);
}

// From read-only memory that ends at a guard page.
int RestoreFromConstant(const OutputPluginTable* relay, const std::vector<uint8_t>& record, int size) {
    GuardedBlock block(record);
    block.Seal();
    return relay->config_set(block.data(), size);
}

int Restore(const OutputPluginTable* relay, const std::vector<uint8_t>& record) {
    return RestoreFromConstant(relay, record, static_cast<int>(record.size()));
}

}  // namespace

TEST_CASE(settings, a_saved_record_restores_the_same_sub_plugin_after_the_relay_was_reloaded) {
    if (editor::Module().isolated) SKIP_CASE("the sub-plugin's own config runs in the helper, out of the case's reach");
    editor::ClearSidecar();
    REQUIRE(editor::InstallSubPlugin("with_settings.auo_"));
    editor::Relay relay;
    REQUIRE(editor::LoadRelay(&relay));
    REQUIRE_EQ(relay.table->init(), 1);
    // The user changes the sub-plugin's settings in its own dialog.
    OutputPluginTable* sub = SubPluginTable("with_settings.auo_");
    REQUIRE(sub != nullptr && sub->config != nullptr);
    sub->config(nullptr, editor::LoadedSubPlugin("with_settings.auo_"));
    std::string changed = SettingsOf("with_settings.auo_");
    TakeCalls();

    int size_result = 0;
    std::vector<uint8_t> saved = Save(relay.table, &size_result);
    std::vector<RecordedCall> gets = CallsTo(TakeCalls(), "with_settings.auo_", "config_get");
    REQUIRE_EQ(gets.size(), 2u);
    int n = gets[0].result;
    CHECK_EQ(size_result, n + kHeader);
    REQUIRE_EQ(saved.size(), static_cast<size_t>(gets[1].result + kHeader));
    CHECK_EQ(std::string(reinterpret_cast<const char*>(saved.data()), 4), std::string("ikm\0", 4));
    CHECK_EQ(Get32(saved.data(), 4), 8);
    CHECK_EQ(Get32(saved.data(), 8), n);
    CHECK_EQ(NameField(saved.data()), Padded("with_settings.auo_"));
    CHECK(Inner(saved.data(), static_cast<size_t>(n)) == changed);
    CHECK_EQ(relay.table->exit(), 1);
    editor::UnloadRelay(&relay);

    // A later session: more sub-plugins, the relay loaded afresh, and the
    // sub-plugin back at its own defaults.
    REQUIRE(editor::InstallSubPlugin("twin_a.auo_"));
    REQUIRE(editor::InstallSubPlugin("basic.auo_"));
    REQUIRE(editor::LoadRelay(&relay));
    TakeCalls();
    REQUIRE_EQ(relay.table->init(), 1);
    CHECK_EQ(CallsTo(TakeCalls(), "with_settings.auo_", "load").size(), 1u);
    CHECK(SettingsOf("with_settings.auo_") != changed);
    TakeCalls();

    CHECK_EQ(Restore(relay.table, saved), n + kHeader);
    std::vector<RecordedCall> sets = CallsTo(TakeCalls(), "", "config_set");
    REQUIRE_EQ(sets.size(), 1u);
    CHECK_EQ(sets[0].module, std::string("with_settings.auo_"));
    CHECK_EQ(sets[0].argument, n);
    CHECK(sets[0].bytes == changed);
    CHECK(SettingsOf("with_settings.auo_") == changed);
    TakeCalls();
    CHECK(Save(relay.table) == saved);
    CHECK(editor::TakeMessageBoxTexts().empty());
    CHECK_EQ(relay.table->exit(), 1);
    editor::UnloadRelay(&relay);
    editor::ClearSidecar();
    TakeCalls();
}

TEST_CASE(settings, a_second_init_forgets_the_restored_choice_count_and_record) {
    editor::ClearSidecar();
    REQUIRE(editor::InstallSubPlugin("with_settings.auo_"));
    REQUIRE(editor::InstallSubPlugin("twin_a.auo_"));
    editor::Relay relay;
    REQUIRE(editor::LoadRelay(&relay));
    REQUIRE_EQ(relay.table->init(), 1);
    std::vector<uint8_t> first_record = Save(relay.table);
    REQUIRE(first_record.size() > static_cast<size_t>(kHeader));
    std::string first(reinterpret_cast<const char*>(first_record.data()) + 12);
    std::string second = first == "twin_a.auo_" ? "with_settings.auo_" : "twin_a.auo_";
    std::string inner = SettingsOf(second);
    CHECK(Restore(relay.table, MakeRecord(30, second, inner)) > 0);
    TakeCalls();

    REQUIRE_EQ(relay.table->init(), 1);
    std::vector<RecordedCall> calls = TakeCalls();
    for (const std::string& name : {first, second}) {
        CHECK_EQ(CallsTo(calls, name, "exit").size(), 1u);
        // Started anew: the module was unloaded in between.
        CHECK_EQ(CallsTo(calls, name, "load").size(), 1u);
        CHECK_EQ(CallsTo(calls, name, "init").size(), 1u);
    }
    std::vector<uint8_t> block(4096);
    CHECK_EQ(relay.table->config_get(block.data(), static_cast<int>(block.size())), 0);
    std::vector<uint8_t> fresh = Save(relay.table);
    REQUIRE(fresh.size() >= static_cast<size_t>(kHeader));
    CHECK_EQ(Get32(fresh.data(), 4), 8);
    CHECK_EQ(NameField(fresh.data()), Padded(first));
    CHECK_EQ(relay.table->exit(), 1);
    editor::UnloadRelay(&relay);
    editor::ClearSidecar();
    TakeCalls();
}

TEST_CASE(settings, blocks_are_only_read_and_never_past_their_end) {
    editor::ClearSidecar();
    REQUIRE(editor::InstallSubPlugin("with_settings.auo_"));
    editor::Relay relay;
    REQUIRE(editor::LoadRelay(&relay));
    REQUIRE_EQ(relay.table->init(), 1);
    std::string inner = SettingsOf("with_settings.auo_");
    std::vector<uint8_t> whole = MakeRecord(30, "with_settings.auo_", inner);
    int whole_size = static_cast<int>(whole.size());
    REQUIRE_EQ(Restore(relay.table, whole), whole_size);
    TakeCalls();

    std::vector<uint8_t> negative = whole;
    Put32(negative.data(), 8, -1);
    std::vector<uint8_t> wrong_magic = whole;
    wrong_magic[3] = 1;
    CHECK_EQ(RestoreFromConstant(relay.table, std::vector<uint8_t>(whole.begin(), whole.begin() + 4), 4), 0);
    CHECK_EQ(RestoreFromConstant(relay.table, std::vector<uint8_t>(whole.begin(), whole.begin() + 267), 267), 0);
    CHECK_EQ(RestoreFromConstant(relay.table, std::vector<uint8_t>(whole.begin(), whole.end() - 1), whole_size - 1), 0);
    CHECK_EQ(RestoreFromConstant(relay.table, negative, whole_size), 0);
    CHECK_EQ(RestoreFromConstant(relay.table, wrong_magic, whole_size), 0);
    CHECK(CallsTo(TakeCalls(), "", "config_set").empty());
    // Nothing changed: a fill still gives the restored record.
    std::vector<uint8_t> kept(4096);
    CHECK_EQ(relay.table->config_get(kept.data(), static_cast<int>(kept.size())), whole_size);
    CHECK(std::vector<uint8_t>(kept.begin(), kept.begin() + whole_size) == whole);

    // A name the registry does not know clears the choice but keeps the count.
    CHECK_EQ(Restore(relay.table, MakeRecord(40, "gone.auo_", inner)), 0);
    std::vector<uint8_t> bare = Save(relay.table);
    REQUIRE_EQ(bare.size(), static_cast<size_t>(kHeader));
    CHECK_EQ(Get32(bare.data(), 4), 30);
    CHECK_EQ(NameField(bare.data()), std::string(256, '\0'));
    CHECK_EQ(relay.table->exit(), 1);
    editor::UnloadRelay(&relay);
    editor::ClearSidecar();
    TakeCalls();
}

TEST_CASE(settings, counts_are_restored_as_stored_and_headers_without_inner_settings) {
    editor::ClearSidecar();
    REQUIRE(editor::InstallSubPlugin("set_only.auo_"));
    editor::Relay relay;
    REQUIRE(editor::LoadRelay(&relay));
    REQUIRE_EQ(relay.table->init(), 1);
    std::vector<uint8_t> record = Save(relay.table);
    REQUIRE_EQ(record.size(), static_cast<size_t>(kHeader));
    CHECK_EQ(Get32(record.data(), 8), 0);
    CHECK_EQ(NameField(record.data()), Padded("set_only.auo_"));
    for (int32_t count : {100, 0, -3}) {
        Put32(record.data(), 4, count);
        CHECK_EQ(Restore(relay.table, record), kHeader);
        std::vector<uint8_t> again = Save(relay.table);
        REQUIRE_EQ(again.size(), static_cast<size_t>(kHeader));
        CHECK_EQ(Get32(again.data(), 4), count);
    }
    std::vector<RecordedCall> sets = CallsTo(TakeCalls(), "set_only.auo_", "config_set");
    CHECK_EQ(sets.size(), 3u);
    for (const RecordedCall& call : sets) CHECK_EQ(call.argument, 0);
    CHECK_EQ(relay.table->exit(), 1);
    editor::UnloadRelay(&relay);

    // No sub-plugin at all: a bare header with the default count.
    editor::ClearSidecar();
    REQUIRE(editor::LoadRelay(&relay));
    REQUIRE_EQ(relay.table->init(), 1);
    std::vector<uint8_t> empty = Save(relay.table);
    REQUIRE_EQ(empty.size(), static_cast<size_t>(kHeader));
    CHECK_EQ(Get32(empty.data(), 4), 8);
    CHECK_EQ(NameField(empty.data()), std::string(256, '\0'));
    CHECK_EQ(relay.table->exit(), 1);
    editor::UnloadRelay(&relay);
    TakeCalls();
}

TEST_CASE(settings, sub_plugins_that_misreport_sizes_still_give_records_that_fit) {
    editor::ClearSidecar();
    REQUIRE(editor::InstallSubPlugin("negative_size.auo_"));
    REQUIRE(editor::InstallSubPlugin("oversized_fill.auo_"));
    editor::Relay relay;
    REQUIRE(editor::LoadRelay(&relay));
    REQUIRE_EQ(relay.table->init(), 1);
    // Choose each in turn through a record of its own.
    for (const char* name : {"negative_size.auo_", "oversized_fill.auo_"}) {
        CHECK(Restore(relay.table, MakeRecord(8, name, SettingsOf(name))) >= kHeader);
        int size_result = 0;
        std::vector<uint8_t> record = Save(relay.table, &size_result);
        REQUIRE(!record.empty());
        CHECK_EQ(NameField(record.data()), Padded(name));
        // The record is what the editor's block holds, and its inner length
        // is what follows the header.
        CHECK_EQ(static_cast<int>(record.size()), size_result);
        CHECK_EQ(Get32(record.data(), 8), size_result - kHeader);
        CHECK(Inner(record.data(), record.size() - kHeader) == SettingsOf(name).substr(0, record.size() - kHeader));
    }
    CHECK_EQ(relay.table->exit(), 1);
    editor::UnloadRelay(&relay);
    editor::ClearSidecar();
    TakeCalls();
}
