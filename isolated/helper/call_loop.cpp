#include "isolated/helper/call_loop.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>

#include "isolated/protocol/block_checks.h"
#include "isolated/protocol/product_names.h"
#include "isolated/protocol/scan_request.h"
#include "isolated/worker/output_call.h"
#include "platform/folder.h"
#include "registry/sub_plugin_registry.h"

namespace {

struct AdmitContext {
    ControlBlock* block;
    const std::vector<std::string>* passed_over;
};

// Names the file in the block before its module's code first runs (its
// start-up, its table, its init), so that a crash in any of them is put
// down to it.
bool AdmitFile(const char* file_name, void* context) {
    auto& admit = *static_cast<AdmitContext*>(context);
    const auto& passed_over = *admit.passed_over;
    if (std::find(passed_over.begin(), passed_over.end(), file_name) != passed_over.end()) return false;
    FillField(admit.block->call.scan_file, file_name);
    admit.block->call.progress.fetch_add(1, std::memory_order_release);
    return true;
}

const char* const kOtherRelayNames[] = {kInProcessDisplayName, nullptr};

}  // namespace

HelperCalls::~HelperCalls() { UnloadAll(); }

void HelperCalls::UnloadAll() {
    UnloadSubPlugins(plugins_);
    listed_.clear();
}

SubPluginEntry* HelperCalls::Listed(int32_t index) {
    if (index < 0 || static_cast<size_t>(index) >= listed_.size()) return nullptr;
    const int32_t position = listed_[static_cast<size_t>(index)];
    return position >= 0 ? &plugins_[static_cast<size_t>(position)] : nullptr;
}

CallStatus HelperCalls::Scan() {
    ScanRequest request;
    char editor_executable[sizeof block_.editor_executable];
    try {
        if (!ReadScanRequest(block_, &request)) return CallStatus::Refused;
    } catch (const std::bad_alloc&) {
        return CallStatus::Refused;
    }
    if (!FieldIsTerminated(block_.editor_executable)) return CallStatus::Refused;
    CopyField(editor_executable, block_.editor_executable);
    UnloadAll();

    SubPluginList found;
    AdmitContext admit = {&block_, &request.passed_over};
    ScanRules rules;
    rules.relay_names = kOtherRelayNames;
    rules.admit = AdmitFile;
    rules.admit_context = &admit;
    ScanSubPluginsOf(editor_executable, found, rules);
    FillField(block_.call.scan_file, "");

    // Only what the listing names stays started: with a roster its files,
    // in its order; otherwise the first kMaxListedEncoders. Every allocation
    // comes first, so that nothing started is lost track of half-way.
    SubPluginList unlisted;
    std::vector<int32_t> new_position;
    try {
        listed_.reserve(request.has_roster ? request.roster.size() : found.size());
        plugins_.reserve(found.size());
        unlisted.reserve(found.size());
        new_position.assign(found.size(), -1);
    } catch (const std::bad_alloc&) {
        UnloadSubPlugins(found);
        listed_.clear();
        return CallStatus::Refused;
    }
    if (request.has_roster) {
        for (const std::string& name : request.roster) {
            const SubPluginEntry* entry = FindByFileName(found, name.c_str());
            listed_.push_back(entry != nullptr ? static_cast<int32_t>(entry - found.data()) : -1);
        }
    } else {
        for (size_t i = 0; i < found.size() && i < static_cast<size_t>(kMaxListedEncoders); ++i) {
            listed_.push_back(static_cast<int32_t>(i));
        }
    }
    for (int32_t position : listed_) {
        if (position >= 0) new_position[static_cast<size_t>(position)] = 0;
    }
    for (size_t i = 0; i < found.size(); ++i) {
        if (new_position[i] >= 0) {
            new_position[i] = static_cast<int32_t>(plugins_.size());
            plugins_.push_back(std::move(found[i]));
        } else {
            unlisted.push_back(std::move(found[i]));
        }
    }
    UnloadSubPlugins(unlisted);
    for (int32_t& position : listed_) {
        if (position >= 0) position = new_position[static_cast<size_t>(position)];
    }

    for (size_t i = 0; i < listed_.size(); ++i) {
        EncoderListing entry{};
        if (const SubPluginEntry* plugin = Listed(static_cast<int32_t>(i))) {
            const OutputPluginTable& table = *plugin->table;
            FillField(entry.file_name, plugin->file_name.c_str());
            FillField(entry.name, table.name);
            FillField(entry.information, table.information);
            entry.present = 1;
            entry.has_config = table.config != nullptr;
            entry.has_config_get = table.config_get != nullptr;
            entry.has_config_set = table.config_set != nullptr;
        } else {
            FillField(entry.file_name, request.roster[i].c_str());
        }
        std::memcpy(block_.payload + i * sizeof entry, &entry, sizeof entry);
    }
    block_.call.result = static_cast<int32_t>(listed_.size());
    block_.call.payload_bytes = static_cast<int32_t>(listed_.size() * sizeof(EncoderListing));
    return CallStatus::Done;
}

CallStatus HelperCalls::Config() {
    SubPluginEntry* entry = Listed(block_.call.encoder);
    if (entry == nullptr || entry->table->config == nullptr) return CallStatus::Refused;
    // A window of the editor's process: the encoder's dialog is owned by the
    // relay's, as it would be in the editor.
    const auto parent = reinterpret_cast<WindowHandle>(static_cast<uintptr_t>(block_.call.parent_window));
    block_.call.result = entry->table->config(parent, entry->module);
    return CallStatus::Done;
}

CallStatus HelperCalls::ConfigGet() {
    SubPluginEntry* entry = Listed(block_.call.encoder);
    if (entry == nullptr || entry->table->config_get == nullptr) return CallStatus::Refused;
    const int32_t size = block_.call.size;
    block_.call.payload_bytes = 0;
    if (block_.call.size_query != 0) {
        block_.call.result = entry->table->config_get(nullptr, size);
        return CallStatus::Done;
    }
    if (size < 0 || static_cast<size_t>(size) > kPayloadBytes) return CallStatus::Refused;
    std::memset(block_.payload, 0, static_cast<size_t>(size));
    const int result = entry->table->config_get(block_.payload, size);
    block_.call.result = result;
    block_.call.payload_bytes = result < 0 ? 0 : std::min(result, size);
    return CallStatus::Done;
}

CallStatus HelperCalls::ConfigSet() {
    SubPluginEntry* entry = Listed(block_.call.encoder);
    if (entry == nullptr || entry->table->config_set == nullptr) return CallStatus::Refused;
    const int32_t size = block_.call.size;
    if (size < 0 || static_cast<size_t>(size) > kPayloadBytes) return CallStatus::Refused;
    block_.call.result = entry->table->config_set(block_.payload, size);
    return CallStatus::Done;
}

CallStatus HelperCalls::Output() {
    SubPluginEntry* entry = Listed(block_.call.encoder);
    // An encoder without output exports nothing and succeeds, as the relay
    // runs it in-process. Called without a table too: the module's serving
    // loop waits for the export's end, which only the call tells it.
    OutputPluginTable* table = entry != nullptr ? entry->table : nullptr;
    block_.call.result = RunOutputCall(block_, table);
    return table != nullptr ? CallStatus::Done : CallStatus::Refused;
}

CallStatus HelperCalls::Serve(HelperCall code) {
    switch (code) {
        case HelperCall::Scan: return Scan();
        case HelperCall::Config: return Config();
        case HelperCall::ConfigGet: return ConfigGet();
        case HelperCall::ConfigSet: return ConfigSet();
        case HelperCall::Output: return Output();
        case HelperCall::Exit: UnloadAll(); return CallStatus::Done;
        default: return CallStatus::Refused;
    }
}

int ServeCalls(ControlBlock& block, platform::AutoResetEvent& call_event, platform::AutoResetEvent& reply_event) {
    HelperCalls calls(block);
    for (;;) {
        // No limit: the job ends the helper with the editor, and the module
        // ends it when it is done with it.
        const platform::WaitEnd end = platform::WaitForEventOrEnd(call_event, 0, platform::WaitLimit::Forever,
                                                                  platform::WhileWaiting::DispatchMessages);
        if (end != platform::WaitEnd::Signalled) return 1;
        const auto code = static_cast<HelperCall>(block.call.code.load(std::memory_order_acquire));
        const CallStatus status = calls.Serve(code);
        block.call.status.store(static_cast<int32_t>(status), std::memory_order_release);
        reply_event.Signal();
        if (code == HelperCall::Output) LetExportSectionsGo();
        if (code == HelperCall::Exit) return 0;
    }
}
