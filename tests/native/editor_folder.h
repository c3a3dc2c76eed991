// An editor installation in a scratch folder, for native tests: the relay
// takes the executable's path to point into it, and sidecar/ holds whatever
// the test installs from the built test sub-plugins.
#pragma once

#include <string>

#include "tests/native/fakes/fakes.h"
#include "tests/native/temp_folder.h"

// Where the build put the test sub-plugins (e.g. "basic.auo_").
inline std::string BuiltSubPlugin(const std::string& built_name) {
    return std::string(OFFLOADER_SUBPLUGIN_DIR) + "/" + built_name;
}

class EditorFolder {
public:
    EditorFolder() { fakes::SetHostExecutablePath(folder_.Child("editor.exe")); }
    ~EditorFolder() { fakes::SetHostExecutablePath(""); }
    EditorFolder(const EditorFolder&) = delete;
    EditorFolder& operator=(const EditorFolder&) = delete;

    std::string Sidecar() const { return folder_.Child("sidecar"); }
    void Install(const std::string& built_name) const { Install(built_name, built_name); }
    void Install(const std::string& built_name, const std::string& installed_name) const {
        folder_.MakeDirectory("sidecar");
        folder_.CopyFrom(BuiltSubPlugin(built_name), "sidecar/" + installed_name);
    }
    // Into the editor's own folder, beside its executable.
    void InstallBesideEditor(const std::string& built_name, const std::string& installed_name) const {
        folder_.CopyFrom(BuiltSubPlugin(built_name), installed_name);
    }
    void WriteSidecarFile(const std::string& name, const std::string& bytes) const {
        folder_.MakeDirectory("sidecar");
        folder_.WriteFile("sidecar/" + name, bytes);
    }
    void MakeSidecarDirectory(const std::string& name) const { folder_.MakeDirectory("sidecar/" + name); }
    const TempFolder& folder() const { return folder_; }

private:
    TempFolder folder_;
};
