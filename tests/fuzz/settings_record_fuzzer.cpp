// Fuzzes the settings record against a registry of real test sub-plugins:
// arbitrary blocks and sizes go to SetSettings, then the editor's size query
// and fill run, sometimes after the choice changed in between. Whatever the
// block held, the relay must stay inside the blocks it was given, return a
// count the editor can store, and produce records that restore the same
// choice and hand the sub-plugin exactly its own bytes back.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "plugin/entry/entry_points.h"
#include "plugin/relay_context.h"
#include "settings/settings_record.h"
#include "tests/common/call_log.h"
#include "tests/native/fakes/fakes.h"

namespace {

const char* const kSubPlugins[] = {"with_settings.auo_",  "set_only.auo_", "negative_size.auo_",
                                   "oversized_fill.auo_", "basic.auo_",    "twin_a.auo_"};

void Fail(const char* what, long a = 0, long b = 0) {
    std::fprintf(stderr, "settings fault: %s (%ld, %ld)\n", what, a, b);
    std::abort();
}

void Setup() {
    static char folder[] = "/tmp/offloader-fuzz-settings-XXXXXX";
    if (mkdtemp(folder) == nullptr) std::abort();
    std::string sidecar = std::string(folder) + "/sidecar";
    std::filesystem::create_directories(sidecar);
    for (const char* name : kSubPlugins) {
        std::filesystem::copy_file(std::string(OFFLOADER_SUBPLUGIN_DIR) + "/" + name, sidecar + "/" + name);
    }
    fakes::SetHostExecutablePath(std::string(folder) + "/editor.exe");
}

// Every input starts from a fresh init, as after the editor's start-up, so
// that a fault reproduces from its input alone.
RelayContext* FreshContext() {
    if (PluginInit() != 1) std::abort();
    if (ModuleContext()->plugins.size() != sizeof kSubPlugins / sizeof kSubPlugins[0]) {
        Fail("not every sub-plugin loaded", static_cast<long>(ModuleContext()->plugins.size()));
    }
    TakeCalls();
    return ModuleContext();
}

int32_t ReadInt32(const uint8_t* at) {
    int32_t value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

// An exactly sized heap copy, so that AddressSanitizer sees any access past it.
std::vector<uint8_t> Exact(const uint8_t* data, size_t size) { return std::vector<uint8_t>(data, data + size); }

// A record the relay returned must describe itself and the current choice.
void CheckRecord(RelayContext& context, const uint8_t* record, int count) {
    if (count < static_cast<int>(kSettingsHeaderBytes)) Fail("a record shorter than its header", count);
    if (std::memcmp(record, kSettingsMagic, 4) != 0) Fail("a record without the magic");
    int32_t inner = ReadInt32(record + kSettingsInnerLengthOffset);
    if (inner < 0 || inner + static_cast<int>(kSettingsHeaderBytes) != count)
        Fail("inner length and count differ", inner, count);
    if (ReadInt32(record + kSettingsBufferCountOffset) != context.buffer_count) Fail("a stale buffer count");
    const char* name = reinterpret_cast<const char*>(record + kSettingsFileNameOffset);
    if (name[kSettingsFileNameBytes - 1] != '\0') Fail("an unterminated file name");
    std::string expected;
    for (const SubPluginEntry& entry : context.plugins) {
        if (entry.table == context.selected) expected = entry.file_name;
    }
    if (expected != name) Fail("the record names another sub-plugin");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = (Setup(), true);
    (void)ready;
    if (size < 4) return 0;
    RelayContext* context = FreshContext();
    const uint8_t mode = data[0];
    const uint8_t choice = data[1];
    const uint8_t cut = data[2];
    data += 3;
    size -= 3;

    // Restore an arbitrary block; a declared size never exceeds the block.
    std::vector<uint8_t> block = Exact(data, size);
    int declared = static_cast<int>(size) - (mode & 1 ? cut % (size + 1) : 0);
    context->SetSettings(block.empty() ? nullptr : block.data(), declared);

    // What the dialog could change between the editor's two calls.
    if (mode & 2) {
        context->selected = (choice & 7) < context->plugins.size() ? context->plugins[choice & 7].table : nullptr;
    }
    if (mode & 4) context->buffer_count = static_cast<int8_t>(choice);
    if (mode & 8) {
        // A size query first, as the editor does; then the choice may move.
        int needed = context->GetSettings(nullptr, 0);
        if (needed < 0) Fail("a negative size", needed);
        if (mode & 16) {
            context->selected = context->plugins[(choice >> 3) % context->plugins.size()].table;
        }
        std::vector<uint8_t> record(static_cast<size_t>(needed) + (mode & 32 ? 0 : cut));
        int count = context->GetSettings(record.data(), static_cast<int>(record.size()));
        if (count < 0 || static_cast<size_t>(count) > record.size()) Fail("a count beyond the buffer", count);
        if (count == 0) {
            TakeCalls();
            return 0;
        }
        CheckRecord(*context, record.data(), count);

        // The record restores its own choice and hands back exactly its bytes.
        std::vector<uint8_t> stored = Exact(record.data(), static_cast<size_t>(count));
        OutputPluginTable* chosen = context->selected;
        TakeCalls();
        int restored = context->SetSettings(stored.data(), count);
        if (chosen != nullptr && context->selected != chosen) Fail("a restore chose another sub-plugin");
        if (chosen != nullptr && restored < static_cast<int>(kSettingsHeaderBytes)) Fail("a restore failed", restored);
        int32_t inner = ReadInt32(stored.data() + kSettingsInnerLengthOffset);
        for (const RecordedCall& call : CallsTo(TakeCalls(), "", "config_set")) {
            if (call.argument != inner) Fail("config_set got another length", call.argument, inner);
            if (call.bytes !=
                std::string(reinterpret_cast<const char*>(stored.data()) + kSettingsHeaderBytes, call.bytes.size())) {
                Fail("config_set got other bytes");
            }
        }

        // Saving again right after the restore fills the restored record.
        std::vector<uint8_t> again(static_cast<size_t>(count));
        int count_again = context->GetSettings(again.data(), count);
        if (count_again < 0 || count_again > count) Fail("a second save beyond the buffer", count_again, count);
        if (count_again != 0) CheckRecord(*context, again.data(), count_again);
    }
    TakeCalls();
    return 0;
}
