// The editor's side of the test host: a folder laid out as the editor's
// installation (its executable, a plugin folder holding sidecar.auo, and a
// sidecar\ folder of sub-plugins), and the relay loaded from it as the editor
// loads an output plugin.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "plugin/output_plugin.h"

namespace editor {

// The folder of the running editor executable (the laid-out copy).
const std::string& Folder();
std::string SidecarFolder();
// Where the build put sidecar.auo and the test sub-plugins.
const std::string& BuildFolder();

// Removes every item of sidecar\ (files and folders), keeping the folder.
void ClearSidecar();
void RemoveSidecarFolder();
void CreateSidecarFolder();
// Copies a built test sub-plugin (e.g. "basic.auo_") into sidecar\ under a
// name of the test's choosing.
bool InstallSubPlugin(const std::string& built_name, const std::string& installed_name);
bool InstallSubPlugin(const std::string& built_name);
// Copies a built file into the editor's own folder.
bool InstallBesideEditor(const std::string& built_name, const std::string& installed_name);
bool WriteSidecarFile(const std::string& name, const std::string& bytes);
bool MakeSidecarDirectory(const std::string& name);

// The relay as the editor holds it: the module and its table.
struct Relay {
    HMODULE module = nullptr;
    OutputPluginTable* table = nullptr;
    std::string path;
};

// Loads plugins\sidecar.auo and takes its table; does not call init.
bool LoadRelay(Relay* relay);
void UnloadRelay(Relay* relay);

// A sub-plugin module that the relay has loaded, as found by its file name.
HMODULE LoadedSubPlugin(const std::string& file_name);

// Message boxes captioned "Offloader" are closed by a watcher thread and
// their texts (code page 932 bytes) recorded here, oldest first.
std::vector<std::string> TakeMessageBoxTexts();
// Waits up to `milliseconds` for at least `count` recorded boxes.
bool WaitForMessageBoxes(size_t count, DWORD milliseconds);

}  // namespace editor
