// The editor-like test host. Started from the build folder, it lays out a
// temporary editor installation (a copy of itself as editor.exe, the module
// under test where a user puts it, and an empty sidecar folder), runs that
// copy, and removes the folder again: the relay finds its sub-plugins beside
// the executable that loaded it, so the cases must run from there.
//
//   test_host [--module=FILE] [SUITE | SUITE.CASE]...
//
// FILE is sidecar.auo (the default, in a plugins folder) or
// sidecar_isolated.auo (in the editor's folder, with sidecar_helper.exe
// beside it, as the README has users put them).
#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "simulator/editor/stall_watch.h"
#include "tests/subplugins/call_record.h"
#include "tests/wine/check.h"
#include "tests/wine/editor.h"

namespace editor {
void Initialise(const std::string& build_folder, const ModuleUnderTest& module);
}

namespace {

const char kInFolderFlag[] = "--editor-folder-from=";
const char kModuleFlag[] = "--module=";

bool StartsWith(const char* text, const char* prefix) { return std::strncmp(text, prefix, std::strlen(prefix)) == 0; }

std::string OwnPath() {
    char path[MAX_PATH];
    GetModuleFileNameA(nullptr, path, sizeof path);
    return path;
}

std::string FolderOf(const std::string& path) { return path.substr(0, path.find_last_of("\\/")); }

void RemoveTree(const std::string& path) {
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA((path + "\\*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            std::string name = data.cFileName;
            if (name == "." || name == "..") continue;
            std::string child = path + "\\" + name;
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveTree(child);
            } else {
                SetFileAttributesA(child.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileA(child.c_str());
            }
        } while (FindNextFileA(find, &data));
        FindClose(find);
    }
    RemoveDirectoryA(path.c_str());
}

int LayOutAndRun(int argc, char** argv) {
    editor::ModuleUnderTest module;
    const bool named = argc > 1 && StartsWith(argv[1], kModuleFlag);
    if (!editor::ChooseModule(named ? argv[1] + std::strlen(kModuleFlag) : "sidecar.auo", &module)) {
        std::printf("no such module under test: %s\n", argv[1]);
        return 2;
    }
    std::string build = FolderOf(OwnPath());
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    std::string root = std::string(temp) + "offloader-editor-" + std::to_string(GetCurrentProcessId());
    RemoveTree(root);
    if (!CreateDirectoryA(root.c_str(), nullptr) || !CreateDirectoryA((root + "\\plugins").c_str(), nullptr) ||
        !CreateDirectoryA((root + "\\sidecar").c_str(), nullptr)) {
        std::printf("cannot create %s\n", root.c_str());
        return 2;
    }
    std::string editor = root + "\\editor.exe";
    const std::string place = root + "\\" + module.place;
    if (!CopyFileA(OwnPath().c_str(), editor.c_str(), FALSE) ||
        !CopyFileA((build + "\\" + module.file).c_str(), (place + module.file).c_str(), FALSE) ||
        (module.isolated && !CopyFileA((build + "\\sidecar_helper.exe").c_str(),
                                       (place + "sidecar_helper.exe").c_str(), FALSE))) {
        std::printf("cannot copy the editor or %s into %s\n", module.file.c_str(), root.c_str());
        return 2;
    }
    // Sub-plugins that run in the helper record their calls here; the
    // helper inherits the name with the editor's environment.
    SetEnvironmentVariableA(OFFLOADER_TEST_RECORD_FILE_VARIABLE, (root + "\\calls.record").c_str());
    std::string command = "\"" + editor + "\" " + kInFolderFlag + "\"" + build + "\" " + kModuleFlag + module.file;
    for (int i = named ? 2 : 1; i < argc; ++i) command += std::string(" ") + argv[i];
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, root.c_str(), &startup, &process)) {
        std::printf("cannot start %s\n", editor.c_str());
        return 2;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 1;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    RemoveTree(root);
    return static_cast<int>(code);
}

// A case that hangs ends the run with the stacks of every thread. A case
// makes progress with every service call of the editor's and ends well
// within this under emulation; it is not a measurement.
constexpr unsigned kStallSeconds = 120;
editor_sim::StallWatch g_watch;
void CaseStarted(const char* name) { g_watch.Step(name); }

// A crash in a case must end the run with a report, not wait for a debugger.
LONG WINAPI ReportCrash(EXCEPTION_POINTERS* exception) {
    std::printf("CRASH: exception 0x%08lx at %p in thread %lu\n",
                static_cast<unsigned long>(exception->ExceptionRecord->ExceptionCode),
                exception->ExceptionRecord->ExceptionAddress, static_cast<unsigned long>(GetCurrentThreadId()));
    std::fflush(stdout);
    TerminateProcess(GetCurrentProcess(), 3);
    return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    if (argc < 3 || !StartsWith(argv[1], kInFolderFlag) || !StartsWith(argv[2], kModuleFlag)) {
        return LayOutAndRun(argc, argv);
    }
    editor::ModuleUnderTest module;
    if (!editor::ChooseModule(argv[2] + std::strlen(kModuleFlag), &module)) return 2;
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    SetUnhandledExceptionFilter(ReportCrash);
    // As the editor does before any plugin opens a dialog.
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_WIN95_CLASSES};
    InitCommonControlsEx(&controls);
    editor::Initialise(argv[1] + std::strlen(kInFolderFlag), module);
    if (!g_watch.Start(kStallSeconds)) std::printf("the watch on stalled cases did not start\n");
    int failed = RunTestCases(argc - 3, argv + 3, CaseStarted);
    g_watch.Stop();
    return failed == 0 ? 0 : 1;
}
