// Building and restoring the settings record. Both operations serve entry
// functions of the editor: nothing here throws (the cache allocates without
// throwing, and nothing else allocates), and nothing reads or writes outside
// the block whose size the editor passed.
#include "settings/settings_record.h"

#include <climits>
#include <cstring>

#include "plugin/relay_context.h"
#include "registry/sub_plugin_registry.h"

namespace {

constexpr int kHeaderBytes = static_cast<int>(kSettingsHeaderBytes);
// Largest inner length whose record, slack included, still has an int size.
constexpr int kLargestInnerLength = INT_MAX - static_cast<int>(kSettingsBuiltExtraBytes);

int32_t ReadInt32(const uint8_t* at) {
    int32_t value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

void WriteInt32(uint8_t* at, int32_t value) { std::memcpy(at, &value, sizeof value); }

size_t BoundedLength(const char* text, size_t limit) {
    size_t length = 0;
    while (length < limit && text[length] != '\0') ++length;
    return length;
}

// The editor's arithmetic on these counts is 32-bit and wraps; so does this,
// rather than overflow a signed int.
int Offset32(int value, int delta) {
    return static_cast<int>(static_cast<uint32_t>(value) + static_cast<uint32_t>(delta));
}

// The bytes of an entry's file name that the record keeps.
size_t StoredNameLength(const SubPluginEntry& entry) {
    return entry.file_name.size() < kSettingsFileNameLimit ? entry.file_name.size() : kSettingsFileNameLimit;
}

// Over a zeroed header: magic, count and inner length; the name stays empty.
void WriteHeaderFields(uint8_t* record, int32_t buffer_count, int32_t inner_length) {
    std::memcpy(record + kSettingsMagicOffset, kSettingsMagic, sizeof kSettingsMagic);
    WriteInt32(record + kSettingsBufferCountOffset, buffer_count);
    WriteInt32(record + kSettingsInnerLengthOffset, inner_length);
}

// Over a zeroed name field, so every byte after the name is already zero.
void WriteFileName(uint8_t* record, const SubPluginEntry& entry) {
    std::memcpy(record + kSettingsFileNameOffset, entry.file_name.data(), StoredNameLength(entry));
}

// True when the cached header no longer describes the current choice: the
// selection (by file name) or the count changed since the record was built or
// restored. Copying it then would file the current sub-plugin's settings
// under another sub-plugin's name, or save a count the user has replaced.
bool CachedHeaderIsStale(const uint8_t* record, const SubPluginEntry& entry, int32_t buffer_count) {
    if (ReadInt32(record + kSettingsBufferCountOffset) != buffer_count) return true;
    const char* cached_name = reinterpret_cast<const char*>(record + kSettingsFileNameOffset);
    size_t cached_length = BoundedLength(cached_name, kSettingsFileNameLimit);
    return cached_length != StoredNameLength(entry) ||
           std::memcmp(cached_name, entry.file_name.data(), cached_length) != 0;
}

// Size query of a chosen sub-plugin that has config_get: a new cache with the
// header of the current choice and room for what the sub-plugin announces.
int BuildCache(RelayContext& context, int size) {
    int announced = context.selected->config_get(nullptr, Offset32(size, -kHeaderBytes));
    // A negative size cannot be room for anything: the sub-plugin has no
    // settings to give, and the relay still saves its own.
    int32_t inner_length = announced < 0 ? 0 : announced;
    context.settings_cache.Free();
    if (inner_length > kLargestInnerLength) return 0;
    if (!context.settings_cache.Allocate(static_cast<size_t>(inner_length) + kSettingsBuiltExtraBytes)) return 0;
    uint8_t* record = context.settings_cache.data();
    WriteHeaderFields(record, context.buffer_count, inner_length);
    const SubPluginEntry* entry = FindByTable(context.plugins, context.selected);
    if (entry == nullptr) return 0;
    WriteFileName(record, *entry);
    return inner_length + kHeaderBytes;
}

// Fill of a chosen sub-plugin that has config_get: its current settings in
// the cached record, copied to the editor's block.
int FillFromCache(RelayContext& context, uint8_t* data, int size) {
    if (!context.settings_cache) return 0;
    const SubPluginEntry* entry = FindByTable(context.plugins, context.selected);
    if (entry == nullptr) return 0;
    if (CachedHeaderIsStale(context.settings_cache.data(), *entry, context.buffer_count)) {
        if (BuildCache(context, size) == 0) return 0;
    }
    uint8_t* record = context.settings_cache.data();
    // Never negative, and within the cache: a built cache has room for it,
    // and a restored one was refused unless its block held it.
    int32_t inner_length = ReadInt32(record + kSettingsInnerLengthOffset);
    if (static_cast<uint64_t>(inner_length) + kSettingsHeaderBytes > static_cast<uint32_t>(size)) return 0;
    int result = context.selected->config_get(record + kSettingsInnerOffset, inner_length);
    // The editor stores as many bytes as the result says. A sub-plugin that
    // claims more than it was offered must not make it read past the record,
    // and one that gives less (or fails) must not leave a header that claims
    // bytes the editor never stored: the record keeps exactly what it holds.
    int32_t kept = result < 0 ? 0 : (result > inner_length ? inner_length : result);
    std::memcpy(data, record, kSettingsHeaderBytes + static_cast<size_t>(kept));
    WriteInt32(data + kSettingsInnerLengthOffset, kept);
    return kept + kHeaderBytes;
}

// Fill without a sub-plugin's settings: a bare header for the current choice.
int FillHeaderOnly(const RelayContext& context, uint8_t* data, int size) {
    if (static_cast<uint32_t>(size) < kSettingsHeaderBytes) return 0;
    std::memset(data, 0, kSettingsHeaderBytes);
    WriteHeaderFields(data, context.buffer_count, 0);
    if (context.selected == nullptr) return kHeaderBytes;
    const SubPluginEntry* entry = FindByTable(context.plugins, context.selected);
    if (entry == nullptr) return 0;
    WriteFileName(data, *entry);
    return kHeaderBytes;
}

}  // namespace

int RelayContext::GetSettings(void* data, int size) {
    if (selected != nullptr && selected->config_get != nullptr) {
        if (data == nullptr) return BuildCache(*this, size);
        return FillFromCache(*this, static_cast<uint8_t*>(data), size);
    }
    if (data == nullptr) return kHeaderBytes;
    return FillHeaderOnly(*this, static_cast<uint8_t*>(data), size);
}

int RelayContext::SetSettings(void* data, int size) {
    // Every check comes before the first change, and every read of the block
    // stays within its `size` bytes. The block is only read: it may be the
    // editor's constant data.
    if (data == nullptr || size < kHeaderBytes) return 0;
    const uint8_t* block = static_cast<const uint8_t*>(data);
    if (std::memcmp(block + kSettingsMagicOffset, kSettingsMagic, sizeof kSettingsMagic) != 0) return 0;
    int32_t inner_length = ReadInt32(block + kSettingsInnerLengthOffset);
    if (inner_length < 0 || inner_length > size - kHeaderBytes) return 0;

    char file_name[kSettingsFileNameBytes];
    const char* stored_name = reinterpret_cast<const char*>(block + kSettingsFileNameOffset);
    size_t name_length = BoundedLength(stored_name, kSettingsFileNameLimit);
    std::memcpy(file_name, stored_name, name_length);
    file_name[name_length] = '\0';
    const SubPluginEntry* entry = FindByFileName(plugins, file_name);

    settings_cache.Free();
    if (entry == nullptr) {
        selected = nullptr;
        return 0;
    }
    // The restored record gets the same zeroed slack as a built one: the next
    // save lets the sub-plugin fill this cache, and one that writes a little
    // more than it was offered must land in the slack, not beyond the block.
    if (!settings_cache.Allocate(static_cast<size_t>(size) + kSettingsSlackBytes)) return 0;
    uint8_t* record = settings_cache.data();
    std::memcpy(record, block, static_cast<size_t>(size));
    // The stored copy ends its name within the field, whatever the block held.
    record[kSettingsFileNameOffset + kSettingsFileNameLimit] = '\0';

    selected = entry->table;
    // Taken as stored: the export refuses a count below 1, and the dialog
    // replaces one outside its range only when the user confirms it.
    buffer_count = ReadInt32(block + kSettingsBufferCountOffset);
    int result = 0;
    if (selected->config_set != nullptr) result = selected->config_set(record + kSettingsInnerOffset, inner_length);
    return Offset32(result, kHeaderBytes);
}
