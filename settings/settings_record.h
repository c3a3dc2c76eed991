// The block the editor stores for the relay: a fixed header that names the
// chosen sub-plugin by file name and carries the buffer count, followed by
// that sub-plugin's own settings as its config_get wrote them.
#pragma once

#include <cstddef>
#include <cstdint>

// "ikm" and a NUL; as a little-endian int32, 0x006D6B69.
constexpr uint8_t kSettingsMagic[4] = {0x69, 0x6B, 0x6D, 0x00};

constexpr size_t kSettingsHeaderBytes = 268;
constexpr size_t kSettingsFileNameBytes = 256;
// The name field always ends in a NUL of its own, so a longer name is cut
// after this many bytes, even inside a double-byte character: the editor
// stores bytes, and a restore compares bytes.
constexpr size_t kSettingsFileNameLimit = kSettingsFileNameBytes - 1;
// A record built from a size query gets this much zeroed room after the inner
// settings: a sub-plugin that writes a little more than it announced lands in
// the slack rather than beyond the allocation.
constexpr size_t kSettingsSlackBytes = 1024;
constexpr size_t kSettingsBuiltExtraBytes = kSettingsHeaderBytes + kSettingsSlackBytes;  // 1,292

// The header's layout. The editor's block need not be aligned, so the code
// reads and writes it through these offsets, never through a cast pointer.
struct SettingsRecord {
    uint8_t magic[4];
    int32_t buffer_count;
    int32_t inner_length;                    // bytes of inner settings at kSettingsInnerOffset
    char file_name[kSettingsFileNameBytes];  // NUL-terminated, zero-padded; all zero for no selection
};

constexpr size_t kSettingsMagicOffset = offsetof(SettingsRecord, magic);
constexpr size_t kSettingsBufferCountOffset = offsetof(SettingsRecord, buffer_count);
constexpr size_t kSettingsInnerLengthOffset = offsetof(SettingsRecord, inner_length);
constexpr size_t kSettingsFileNameOffset = offsetof(SettingsRecord, file_name);
constexpr size_t kSettingsInnerOffset = kSettingsHeaderBytes;

static_assert(sizeof(SettingsRecord) == kSettingsHeaderBytes, "the settings header is 268 bytes");
static_assert(kSettingsMagicOffset == 0 && kSettingsBufferCountOffset == 4 && kSettingsInnerLengthOffset == 8 &&
                  kSettingsFileNameOffset == 12,
              "the editor's stored records fix these offsets");
