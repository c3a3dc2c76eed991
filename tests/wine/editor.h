// The editor's side of the test host: a folder laid out as the editor's
// installation (its executable, the module under test where a user puts it,
// and a sidecar\ folder of sub-plugins), and the relay loaded from it as the
// editor loads an output plugin.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "plugin/output_plugin.h"

namespace editor {

// The module the cases run against, chosen on the test host's command line
// (--module=FILE, sidecar.auo without one), and what they expect of it.
struct ModuleUnderTest {
    std::string file;
    // In the editor's folder, from which the editor loads it ("" there;
    // "plugins\" for sidecar.auo, in the plugin folder).
    std::string place;
    // Its encoders run in its helper program (sidecar_helper.exe, beside it).
    bool isolated = false;
    const char* display_name = nullptr;    // code page 932: its table's name, its boxes' caption
    const char* dialog_caption = nullptr;  // code page 932
};

// False for a module the cases do not know.
bool ChooseModule(const std::string& file, ModuleUnderTest* module);
const ModuleUnderTest& Module();

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

// Loads the module under test and takes its table; does not call init.
bool LoadRelay(Relay* relay);
void UnloadRelay(Relay* relay);

// A sub-plugin module that the relay has loaded, as found by its file name;
// for the isolated module, in its helper (the handle is the helper's).
HMODULE LoadedSubPlugin(const std::string& file_name);
// Any module by its full path, where the relay loads sub-plugins.
HMODULE LoadedWhereSubPluginsRun(const std::string& path);
// The isolated module's running helper, or 0.
DWORD HelperProcessId();

// The scripts that start Windows programs name their route in the
// environment, which Wine passes on to the program: true under qemu-i386.
bool RunsUnderEmulator();

// Under qemu-i386 Wine reports a fault as an illegal instruction
// (0xC000001D): the emulator does not tell Wine's handler that the signal
// came from a page fault. Where and in which module it happened is still
// right. True for the code a write through null gets on this route.
bool IsAccessViolationCode(uint32_t code);

// The isolated module's box for an encoder that crashed its helper: the
// encoder's name, an access violation's code, the module and an offset in it
// (code page 932); the note that it was left out when it crashed while its
// helper started it.
bool IsAccessViolationText(const std::string& text, const std::string& encoder, const std::string& module,
                           bool left_out);

// Message boxes captioned with the module's name are closed by a watcher
// thread and their texts (code page 932 bytes) recorded here, oldest first.
std::vector<std::string> TakeMessageBoxTexts();
// Waits up to `milliseconds` for at least `count` recorded boxes.
bool WaitForMessageBoxes(size_t count, DWORD milliseconds);

}  // namespace editor
