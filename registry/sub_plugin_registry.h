// The sub-plugins: the editor's other output plugins, renamed *.auo_ and
// placed in the "sidecar" folder beside the editor's executable.
#pragma once

#include "plugin/relay_context.h"

// Empties `plugins` (without unloading: it is only called on a new context),
// then loads, checks and initialises every *.auo_ file of the folder, keeping
// the usable ones in listing order. Returns the number kept. The current
// directory is the sidecar folder while the modules load and is restored
// afterwards.
int ScanSubPlugins(SubPluginList& plugins);

// What a scan passes over beyond what every scan drops (a module that does
// not load, has no table or no name, is named kDisplayName, or whose init
// fails).
struct ScanRules {
    // Further names that mark a copy of a relay, ended by a null; null for none.
    const char* const* relay_names = nullptr;
    // Asked with each listed file's name before its module is loaded, in
    // the sidecar folder: false passes the file over, unloaded. Null admits
    // every file.
    bool (*admit)(const char* file_name, void* context) = nullptr;
    void* admit_context = nullptr;
};

// ScanSubPlugins for the editor whose executable is `host_executable` (a
// full path; its folder's sidecar folder is scanned), under `rules`, for a
// process that is not the editor's.
int ScanSubPluginsOf(const char* host_executable, SubPluginList& plugins, const ScanRules& rules);

// Calls each entry's exit, in order, unloads its module, and empties the list.
void UnloadSubPlugins(SubPluginList& plugins);

// Byte-for-byte, case-sensitive comparison of file names. Null when absent.
const SubPluginEntry* FindByFileName(const SubPluginList& plugins, const char* name);
const SubPluginEntry* FindByTable(const SubPluginList& plugins, const OutputPluginTable* table);

extern const char kSubPluginFolder[];   // "\sidecar", appended to the editor's folder
extern const char kSubPluginPattern[];  // "*.auo_"
extern const char kTableExportName[];   // "GetOutputPluginTable"
