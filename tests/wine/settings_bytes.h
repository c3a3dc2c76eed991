// Settings records as the editor stores them, written and read byte by byte
// at their fixed offsets, and a sub-plugin's own table as the relay loaded it.
#pragma once

#include <windows.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "plugin/output_plugin.h"
#include "tests/wine/editor.h"

namespace settings_bytes {

constexpr int kHeader = 268;

inline int32_t Get32(const uint8_t* block, size_t offset) {
    int32_t value;
    std::memcpy(&value, block + offset, sizeof value);
    return value;
}

inline void Put32(uint8_t* block, size_t offset, int32_t value) { std::memcpy(block + offset, &value, sizeof value); }

inline std::string NameField(const uint8_t* block) {
    return std::string(reinterpret_cast<const char*>(block) + 12, 256);
}

inline std::string Padded(const std::string& name) {
    std::string field = name;
    field.resize(256, '\0');
    return field;
}

inline std::string Inner(const uint8_t* block, size_t length) {
    return std::string(reinterpret_cast<const char*>(block) + kHeader, length);
}

inline std::vector<uint8_t> MakeRecord(int32_t count, const std::string& name, const std::string& inner) {
    std::vector<uint8_t> record(kHeader + inner.size(), 0);
    const uint8_t magic[4] = {0x69, 0x6B, 0x6D, 0x00};
    std::memcpy(record.data(), magic, 4);
    Put32(record.data(), 4, count);
    Put32(record.data(), 8, static_cast<int32_t>(inner.size()));
    std::memcpy(record.data() + 12, name.data(), name.size() < 256 ? name.size() : 256);
    std::memcpy(record.data() + kHeader, inner.data(), inner.size());
    return record;
}

// The table of a sub-plugin that the relay has loaded; null when it is not
// loaded, or loaded in the isolated module's helper, out of reach. (Asking
// for it is recorded as a call, like any other.)
inline OutputPluginTable* SubPluginTable(const std::string& file_name) {
    if (editor::Module().isolated) return nullptr;
    HMODULE module = editor::LoadedSubPlugin(file_name);
    if (module == nullptr) return nullptr;
    auto get_table = reinterpret_cast<GetOutputPluginTableFunction>(
        reinterpret_cast<void*>(GetProcAddress(module, "GetOutputPluginTable")));
    return get_table != nullptr ? get_table() : nullptr;
}

// What a loaded sub-plugin's own config_get gives.
inline std::string SettingsFrom(OutputPluginTable* table) {
    if (table == nullptr || table->config_get == nullptr) return "(none)";
    int size = table->config_get(nullptr, 0);
    if (size <= 0) return std::string();
    // Room past the announced size, as the relay gives: one test sub-plugin
    // writes more than it announces.
    std::string bytes(static_cast<size_t>(size) + 1024, '\0');
    table->config_get(&bytes[0], size);
    bytes.resize(static_cast<size_t>(size));
    return bytes;
}

// The sub-plugin's settings as its own config_get gives them now. Where it
// runs in the isolated module's helper, a copy of it loaded here from the
// build gives them as they start, which is what they are until the relay
// changes them: they derive from the module's file name.
inline std::string SettingsOf(const std::string& file_name) {
    if (!editor::Module().isolated) return SettingsFrom(SubPluginTable(file_name));
    HMODULE copy = LoadLibraryA((editor::BuildFolder() + "\\" + file_name).c_str());
    if (copy == nullptr) return "(none)";
    auto get_table = reinterpret_cast<GetOutputPluginTableFunction>(
        reinterpret_cast<void*>(GetProcAddress(copy, "GetOutputPluginTable")));
    std::string settings = SettingsFrom(get_table != nullptr ? get_table() : nullptr);
    FreeLibrary(copy);
    return settings;
}

// A block that ends where an inaccessible page begins, writable or (once
// sealed) read-only: a read past its end, or a write into sealed constant
// data, faults and ends the test host.
class GuardedBlock {
public:
    explicit GuardedBlock(size_t size, uint8_t fill = 0xCC) : size_(size) {
        SYSTEM_INFO info;
        GetSystemInfo(&info);
        page_ = info.dwPageSize;
        data_bytes_ = ((size + page_ - 1) / page_ + 1) * page_;
        base_ = static_cast<uint8_t*>(VirtualAlloc(nullptr, data_bytes_ + page_, MEM_RESERVE, PAGE_NOACCESS));
        if (base_ != nullptr) VirtualAlloc(base_, data_bytes_, MEM_COMMIT, PAGE_READWRITE);
        block_ = base_ + data_bytes_ - size;
        std::memset(block_, fill, size);
    }
    explicit GuardedBlock(const std::vector<uint8_t>& content) : GuardedBlock(content.size()) {
        std::memcpy(block_, content.data(), content.size());
    }
    ~GuardedBlock() {
        if (base_ != nullptr) VirtualFree(base_, 0, MEM_RELEASE);
    }
    GuardedBlock(const GuardedBlock&) = delete;
    GuardedBlock& operator=(const GuardedBlock&) = delete;

    bool Valid() const { return base_ != nullptr; }
    void Seal() {
        DWORD old = 0;
        VirtualProtect(base_, data_bytes_, PAGE_READONLY, &old);
    }
    uint8_t* data() const { return block_; }
    int size() const { return static_cast<int>(size_); }
    std::vector<uint8_t> Content() const { return std::vector<uint8_t>(block_, block_ + size_); }

private:
    size_t size_;
    size_t page_ = 0;
    size_t data_bytes_ = 0;
    uint8_t* base_ = nullptr;
    uint8_t* block_ = nullptr;
};

}  // namespace settings_bytes
