#include "registry/sub_plugin_registry.h"

#include <cstring>
#include <new>
#include <string>

#include "platform/folder.h"
#include "platform/module.h"
#include "plugin/display_name.h"

const char kSubPluginFolder[] = "\\sidecar";
const char kSubPluginPattern[] = "*.auo_";
const char kTableExportName[] = "GetOutputPluginTable";

namespace {

using platform::kPathBufferSize;

// Appends with the bound of a 260-byte path buffer: a longer result is cut
// short and stays terminated.
void AppendBounded(char* buffer, const char* tail) {
    size_t used = std::strlen(buffer);
    size_t room = kPathBufferSize - 1 - used;
    size_t length = std::strlen(tail);
    if (length > room) length = room;
    std::memcpy(buffer + used, tail, length);
    buffer[used + length] = '\0';
}

// Lists the folder completely, and closes the listing, before any module is
// loaded: a module's start-up code must not run while the search is open.
bool ListCandidates(SubPluginList& plugins) {
    try {
        platform::FolderListing listing;
        if (!listing.Open(kSubPluginPattern)) return true;  // nothing matches
        platform::ListedItem item;
        while (listing.Next(&item)) {
            if (item.is_directory) continue;
            SubPluginEntry entry;
            entry.file_name = item.name;
            plugins.push_back(std::move(entry));
        }
        return true;
    } catch (const std::bad_alloc&) {
        plugins.clear();
        return false;
    }
}

// Loads exactly the listed file of the sidecar folder. Loading the bare name
// would let the module search find a same-named file in the editor's own
// folder first; the current directory stays the sidecar folder either way, so
// the module's own dependencies resolve as they always did.
ModuleHandle LoadListedModule(const char* folder, const std::string& file_name) {
    char path[kPathBufferSize];
    size_t folder_length = std::strlen(folder);
    if (folder_length + 1 + file_name.size() < kPathBufferSize) {
        std::memcpy(path, folder, folder_length);
        path[folder_length] = platform::kPathSeparator;
        std::memcpy(path + folder_length + 1, file_name.c_str(), file_name.size() + 1);
        return platform::LoadModule(path);
    }
    // No full path fits the editor's path limit; the bare name still reaches
    // the file through the current directory.
    return platform::LoadModule(file_name.c_str());
}

bool IsRelayName(const char* name, const ScanRules& rules) {
    if (std::strcmp(name, kDisplayName) == 0) return true;
    for (const char* const* other = rules.relay_names; other != nullptr && *other != nullptr; ++other) {
        if (std::strcmp(name, *other) == 0) return true;
    }
    return false;
}

// Loads and checks one entry; false when it must be dropped, with its module
// already unloaded.
bool LoadAndCheck(const char* folder, SubPluginEntry& entry, const ScanRules& rules) {
    ModuleHandle module = LoadListedModule(folder, entry.file_name);
    if (module == nullptr) return false;
    auto get_table = reinterpret_cast<GetOutputPluginTableFunction>(platform::FindExport(module, kTableExportName));
    if (get_table == nullptr) {
        platform::UnloadModule(module);
        return false;
    }
    entry.module = module;
    entry.table = get_table();
    OutputPluginTable* table = entry.table;
    // A null table or name cannot be shown or checked; a table carrying the
    // relay's own name is a copy of the relay, which must not relay itself.
    bool unusable = table == nullptr || table->name == nullptr || IsRelayName(table->name, rules);
    // A sub-plugin that refuses init has not started, so it never sees exit.
    if (!unusable && table->init != nullptr && table->init() == 0) unusable = true;
    if (unusable) {
        platform::UnloadModule(module);
        entry.module = nullptr;
        entry.table = nullptr;
        return false;
    }
    return true;
}

}  // namespace

int ScanSubPlugins(SubPluginList& plugins) {
    plugins.clear();
    char executable[kPathBufferSize];
    if (!platform::GetHostExecutablePath(executable, sizeof executable)) return 0;
    return ScanSubPluginsOf(executable, plugins, ScanRules{});
}

int ScanSubPluginsOf(const char* host_executable, SubPluginList& plugins, const ScanRules& rules) {
    plugins.clear();

    char folder[kPathBufferSize];
    size_t executable_length = std::strlen(host_executable);
    if (executable_length >= sizeof folder) return 0;
    std::memcpy(folder, host_executable, executable_length + 1);
    char saved_directory[kPathBufferSize];
    if (!platform::GetCurrentFolder(saved_directory, sizeof saved_directory)) return 0;
    platform::RemoveLastPathElement(folder);
    AppendBounded(folder, kSubPluginFolder);
    if (!platform::SetCurrentFolder(folder)) return 0;

    if (ListCandidates(plugins)) {
        size_t position = 0;
        while (position < plugins.size()) {
            SubPluginEntry& entry = plugins[position];
            bool admitted = rules.admit == nullptr || rules.admit(entry.file_name.c_str(), rules.admit_context);
            if (admitted && LoadAndCheck(folder, entry, rules)) {
                ++position;
            } else {
                plugins.erase(plugins.begin() + static_cast<std::ptrdiff_t>(position));
            }
        }
    }

    platform::SetCurrentFolder(saved_directory);
    return static_cast<int>(plugins.size());
}

void UnloadSubPlugins(SubPluginList& plugins) {
    for (SubPluginEntry& entry : plugins) {
        if (entry.table != nullptr && entry.table->exit != nullptr) entry.table->exit();
        if (entry.module != nullptr) platform::UnloadModule(entry.module);
    }
    plugins.clear();
}

const SubPluginEntry* FindByFileName(const SubPluginList& plugins, const char* name) {
    if (name == nullptr) return nullptr;
    for (const SubPluginEntry& entry : plugins) {
        if (entry.file_name == name) return &entry;
    }
    return nullptr;
}

const SubPluginEntry* FindByTable(const SubPluginList& plugins, const OutputPluginTable* table) {
    for (const SubPluginEntry& entry : plugins) {
        if (entry.table == table) return &entry;
    }
    return nullptr;
}
