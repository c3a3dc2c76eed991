#include "isolated/module/isolated_session.h"

#include <array>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

#include "isolated/protocol/block_checks.h"
#include "registry/sub_plugin_registry.h"
#include "settings/settings_record.h"

namespace {

struct Session {
    Session(platform::ObjectHandle done_event, platform::ObjectHandle wake_event) : helper(done_event, wake_event) {}

    HelperProcess helper;
    // One per listing entry, at its index; names and information point into
    // the helper's listing, which never changes once made.
    std::vector<OutputPluginTable> tables;
};

Session* g_session = nullptr;

const char* NameAt(const Session& session, int32_t index) { return session.tables[static_cast<size_t>(index)].name; }

// The helper, running, for a call to the encoder at `index`; null when
// there is no such proxy, a call is in flight (a message handled during its
// wait), or no helper can run (the user has been told).
HelperProcess* HelperFor(int32_t index) {
    Session* session = g_session;
    if (session == nullptr || index < 0 || static_cast<size_t>(index) >= session->tables.size()) return nullptr;
    HelperProcess& helper = session->helper;
    if (helper.InCall() || !helper.EnsureRunning()) return nullptr;
    return &helper;
}

int ConfigThroughHelper(int32_t index, WindowHandle parent) {
    HelperProcess* helper = HelperFor(index);
    if (helper == nullptr) return 0;
    ControlBlock& block = helper->Block();
    block.call.encoder = index;
    block.call.parent_window = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(parent));
    // The encoder's window is owned by the relay's dialog, on this thread:
    // its messages must keep flowing while the encoder's dialog is open.
    const CallOutcome outcome =
        helper->Call(HelperCall::Config, NameAt(*g_session, index), platform::WhileWaiting::DispatchMessages);
    return outcome.status == CallStatus::Done ? outcome.result : 0;
}

int ConfigGetThroughHelper(int32_t index, void* data, int size) {
    if (data != nullptr && (size < 0 || static_cast<size_t>(size) > kPayloadBytes)) return 0;
    HelperProcess* helper = HelperFor(index);
    if (helper == nullptr) return 0;
    ControlBlock& block = helper->Block();
    block.call.encoder = index;
    block.call.size = size;
    block.call.size_query = data == nullptr ? 1 : 0;
    const CallOutcome outcome = helper->Call(HelperCall::ConfigGet, NameAt(*g_session, index),
                                             platform::WhileWaiting::TakeSentMessages, kSettingsCallPatience);
    if (outcome.status != CallStatus::Done) return 0;
    if (data != nullptr) {
        // Never more than was offered, whatever the helper says it wrote;
        // the encoder's own result goes back as it is, as in-process.
        int32_t bytes = block.call.payload_bytes;
        if (bytes < 0) bytes = 0;
        if (bytes > size) bytes = size;
        std::memcpy(data, block.payload, static_cast<size_t>(bytes));
    }
    return outcome.result;
}

int ConfigSetThroughHelper(int32_t index, void* data, int size) {
    if (size < 0 || static_cast<size_t>(size) > kPayloadBytes || (data == nullptr && size > 0)) return 0;
    HelperProcess* helper = HelperFor(index);
    if (helper == nullptr) return 0;
    ControlBlock& block = helper->Block();
    if (size > 0) std::memcpy(block.payload, data, static_cast<size_t>(size));
    block.call.encoder = index;
    block.call.size = size;
    const CallOutcome outcome = helper->Call(HelperCall::ConfigSet, NameAt(*g_session, index),
                                             platform::WhileWaiting::TakeSentMessages, kSettingsCallPatience);
    return outcome.status == CallStatus::Done ? outcome.result : 0;
}

// The proxies' functions carry no context, as the editor calls a table's
// functions without one: each knows its listing index from its instance.
template <int32_t Index>
int ProxyConfig(WindowHandle parent, ModuleHandle) {
    return ConfigThroughHelper(Index, parent);
}
template <int32_t Index>
int ProxyConfigGet(void* data, int size) {
    return ConfigGetThroughHelper(Index, data, size);
}
template <int32_t Index>
int ProxyConfigSet(void* data, int size) {
    return ConfigSetThroughHelper(Index, data, size);
}

struct ProxyFunctions {
    int (*config)(WindowHandle, ModuleHandle);
    int (*config_get)(void*, int);
    int (*config_set)(void*, int);
};

template <size_t... Index>
constexpr std::array<ProxyFunctions, sizeof...(Index)> MakeProxyFunctions(std::index_sequence<Index...>) {
    return {{{ProxyConfig<static_cast<int32_t>(Index)>, ProxyConfigGet<static_cast<int32_t>(Index)>,
              ProxyConfigSet<static_cast<int32_t>(Index)>}...}};
}

constexpr std::array<ProxyFunctions, kMaxListedEncoders> kProxyFunctions =
    MakeProxyFunctions(std::make_index_sequence<kMaxListedEncoders>{});

int32_t ReadInt32(const uint8_t* at) {
    int32_t value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

// A fresh helper's encoders start from their own defaults: the chosen one
// gets back the settings of the record the context holds for it (the last
// one saved or restored), so that neither the next export nor the next save
// silently takes the defaults.
void RestoreChosenSettings(HelperProcess& helper) {
    RelayContext* context = ModuleContext();
    if (context == nullptr || context->selected == nullptr || !context->settings_cache) return;
    const SubPluginEntry* entry = FindByTable(context->plugins, context->selected);
    if (entry == nullptr || entry->table->config_set == nullptr) return;
    const uint8_t* record = context->settings_cache.data();
    const size_t record_bytes = context->settings_cache.size();
    if (record_bytes < kSettingsHeaderBytes) return;
    const char* name = reinterpret_cast<const char*>(record + kSettingsFileNameOffset);
    const size_t name_length = FieldLength(name, kSettingsFileNameLimit);
    if (name_length != entry->file_name.size() || std::memcmp(name, entry->file_name.data(), name_length) != 0) return;
    const int32_t inner_length = ReadInt32(record + kSettingsInnerLengthOffset);
    if (inner_length < 0 || static_cast<size_t>(inner_length) > record_bytes - kSettingsHeaderBytes ||
        static_cast<size_t>(inner_length) > kPayloadBytes) {
        return;
    }
    ControlBlock& block = helper.Block();
    std::memcpy(block.payload, record + kSettingsInnerOffset, static_cast<size_t>(inner_length));
    block.call.encoder = static_cast<int32_t>(entry - context->plugins.data());
    block.call.size = inner_length;
    helper.Call(HelperCall::ConfigSet, entry->table->name, platform::WhileWaiting::TakeSentMessages,
                kSettingsCallPatience);
}

}  // namespace

bool OpenSession(platform::ObjectHandle done_event, platform::ObjectHandle wake_event, SubPluginList& plugins) {
    CloseSession();
    plugins.clear();
    g_session = new (std::nothrow) Session(done_event, wake_event);
    if (g_session == nullptr) return false;
    HelperProcess& helper = g_session->helper;
    helper.OnFreshHelper(RestoreChosenSettings);
    if (!helper.EnsureRunning()) return true;

    const std::vector<EncoderListing>& listing = helper.Listing();
    try {
        std::vector<OutputPluginTable>& tables = g_session->tables;
        tables.assign(listing.size(), OutputPluginTable{});
        for (size_t i = 0; i < listing.size(); ++i) {
            const EncoderListing& encoder = listing[i];
            const ProxyFunctions& functions = kProxyFunctions[i];
            OutputPluginTable& table = tables[i];
            table.name = encoder.name;
            table.information = encoder.information;
            table.config = encoder.has_config ? functions.config : nullptr;
            table.config_get = encoder.has_config_get ? functions.config_get : nullptr;
            table.config_set = encoder.has_config_set ? functions.config_set : nullptr;
        }
        plugins.reserve(listing.size());
        for (size_t i = 0; i < listing.size(); ++i) {
            SubPluginEntry entry;
            entry.file_name = listing[i].file_name;
            entry.table = &tables[i];
            plugins.push_back(std::move(entry));
        }
    } catch (const std::bad_alloc&) {
        plugins.clear();
        g_session->tables.clear();
    }
    return true;
}

void CloseSession() {
    delete g_session;
    g_session = nullptr;
}

HelperProcess* SessionHelper() { return g_session != nullptr ? &g_session->helper : nullptr; }
