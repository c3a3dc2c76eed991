#include "tests/wine/editor.h"

#include <tlhelp32.h>

#include <cstdio>
#include <cstring>

#include "platform/lock.h"
#include "tests/common/cp932_texts.h"

namespace editor {

namespace {
std::string g_folder;
std::string g_build_folder;
ModuleUnderTest g_module;

std::string FolderOf(const std::string& path) {
    size_t cut = path.find_last_of("\\/");
    return cut == std::string::npos ? std::string(".") : path.substr(0, cut);
}

void RemoveTree(const std::string& path, bool keep_root) {
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA((path + "\\*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            std::string name = data.cFileName;
            if (name == "." || name == "..") continue;
            std::string child = path + "\\" + name;
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveTree(child, false);
            } else {
                SetFileAttributesA(child.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileA(child.c_str());
            }
        } while (FindNextFileA(find, &data));
        FindClose(find);
    }
    if (!keep_root) RemoveDirectoryA(path.c_str());
}

// Watcher of message boxes: the relay's boxes are system-modal and would
// otherwise wait for a user.
platform::Lock g_boxes_lock;
std::vector<std::string> g_boxes;
HANDLE g_watcher = nullptr;

// Set once the watcher has looked for a box: its first window call sets the
// thread up in Wine's window system, which must not happen while a case
// loads DLLs (a deadlock of Wine 8's; see the host simulator's watcher).
HANDLE g_watcher_ready = nullptr;

DWORD WINAPI WatchMessageBoxes(void*) {
    for (bool first = true;; first = false) {
        HWND box = FindWindowA("#32770", g_module.display_name);
        if (first) SetEvent(g_watcher_ready);
        if (box != nullptr) {
            char text[1024] = {};
            GetDlgItemTextA(box, 0xFFFF, text, sizeof text);
            {
                platform::LockGuard guard(g_boxes_lock);
                g_boxes.push_back(text);
            }
            SendMessageA(box, WM_COMMAND, IDOK, 0);
            // Wait until this box is gone before looking for the next one.
            for (int i = 0; i < 200 && IsWindow(box); ++i) Sleep(5);
        } else {
            Sleep(5);
        }
    }
}
}  // namespace

bool ChooseModule(const std::string& file, ModuleUnderTest* module) {
    module->file = file;
    if (file == "sidecar.auo") {
        module->place = "plugins\\";
        module->isolated = false;
        module->display_name = "Offloader";
        module->dialog_caption = cp932::kDialogCaption;
        return true;
    }
    if (file == "sidecar_isolated.auo") {
        module->place = "";
        module->isolated = true;
        module->display_name = cp932::kIsolatedName;
        module->dialog_caption = cp932::kIsolatedDialogCaption;
        return true;
    }
    return false;
}

const ModuleUnderTest& Module() { return g_module; }

void Initialise(const std::string& build_folder, const ModuleUnderTest& module) {
    g_module = module;
    char path[MAX_PATH];
    GetModuleFileNameA(nullptr, path, sizeof path);
    g_folder = FolderOf(path);
    g_build_folder = build_folder;
    g_boxes_lock.SetUp();
    if (g_watcher == nullptr) {
        g_watcher_ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        g_watcher = CreateThread(nullptr, 0, WatchMessageBoxes, nullptr, 0, nullptr);
        if (g_watcher != nullptr) WaitForSingleObject(g_watcher_ready, 30000);
    }
}

const std::string& Folder() { return g_folder; }
std::string SidecarFolder() { return g_folder + "\\sidecar"; }
const std::string& BuildFolder() { return g_build_folder; }

void ClearSidecar() {
    CreateSidecarFolder();
    RemoveTree(SidecarFolder(), true);
}

void RemoveSidecarFolder() { RemoveTree(SidecarFolder(), false); }
void CreateSidecarFolder() { CreateDirectoryA(SidecarFolder().c_str(), nullptr); }

bool InstallSubPlugin(const std::string& built_name, const std::string& installed_name) {
    CreateSidecarFolder();
    std::string from = g_build_folder + "\\" + built_name;
    std::string to = SidecarFolder() + "\\" + installed_name;
    return CopyFileA(from.c_str(), to.c_str(), FALSE) != 0;
}

bool InstallSubPlugin(const std::string& built_name) { return InstallSubPlugin(built_name, built_name); }

bool InstallBesideEditor(const std::string& built_name, const std::string& installed_name) {
    std::string from = g_build_folder + "\\" + built_name;
    std::string to = g_folder + "\\" + installed_name;
    return CopyFileA(from.c_str(), to.c_str(), FALSE) != 0;
}

bool WriteSidecarFile(const std::string& name, const std::string& bytes) {
    CreateSidecarFolder();
    std::string path = SidecarFolder() + "\\" + name;
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return false;
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return std::fclose(file) == 0 && ok;
}

bool MakeSidecarDirectory(const std::string& name) {
    CreateSidecarFolder();
    return CreateDirectoryA((SidecarFolder() + "\\" + name).c_str(), nullptr) != 0;
}

bool LoadRelay(Relay* relay) {
    relay->path = g_folder + "\\" + g_module.place + g_module.file;
    relay->module = LoadLibraryA(relay->path.c_str());
    if (relay->module == nullptr) return false;
    auto get_table = reinterpret_cast<GetOutputPluginTableFunction>(
        reinterpret_cast<void*>(GetProcAddress(relay->module, "GetOutputPluginTable")));
    relay->table = get_table ? get_table() : nullptr;
    return relay->table != nullptr;
}

void UnloadRelay(Relay* relay) {
    if (relay->module) FreeLibrary(relay->module);
    relay->module = nullptr;
    relay->table = nullptr;
}

DWORD HelperProcessId() {
    DWORD found = 0;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return 0;
    PROCESSENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
        if (entry.th32ParentProcessID == GetCurrentProcessId() &&
            lstrcmpiA(entry.szExeFile, "sidecar_helper.exe") == 0) {
            found = entry.th32ProcessID;
        }
    }
    CloseHandle(snapshot);
    return found;
}

HMODULE LoadedWhereSubPluginsRun(const std::string& path) {
    if (!g_module.isolated) return GetModuleHandleA(path.c_str());
    const DWORD helper = HelperProcessId();
    if (helper == 0) return nullptr;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, helper);
    if (snapshot == INVALID_HANDLE_VALUE) return nullptr;
    HMODULE found = nullptr;
    MODULEENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Module32First(snapshot, &entry); more && found == nullptr; more = Module32Next(snapshot, &entry)) {
        if (lstrcmpiA(entry.szExePath, path.c_str()) == 0) found = entry.hModule;
    }
    CloseHandle(snapshot);
    return found;
}

HMODULE LoadedSubPlugin(const std::string& file_name) {
    return LoadedWhereSubPluginsRun(SidecarFolder() + "\\" + file_name);
}

bool RunsUnderEmulator() {
    char route[16] = {};
    const DWORD length = GetEnvironmentVariableA("OFFLOADER_ROUTE", route, sizeof route);
    return length > 0 && length < sizeof route && std::string(route) == "qemu";
}

bool IsAccessViolationCode(uint32_t code) {
    return code == EXCEPTION_ACCESS_VIOLATION || (RunsUnderEmulator() && code == EXCEPTION_ILLEGAL_INSTRUCTION);
}

bool IsAccessViolationText(const std::string& text, const std::string& encoder, const std::string& module,
                           bool left_out) {
    const char* code = RunsUnderEmulator() && text.find("C000001D") != std::string::npos ? "C000001D" : "C0000005";
    const std::string head =
        std::string(cp932::kCrashOpening) + encoder + cp932::kCrashCode + code + cp932::kCrashPlace + module + " + 0x";
    const std::string tail = left_out ? cp932::kLeftOutNote : "";
    const size_t digits = 8;
    if (text.size() != head.size() + digits + tail.size()) return false;
    if (text.compare(0, head.size(), head) != 0 || text.compare(head.size() + digits, tail.size(), tail) != 0) {
        return false;
    }
    for (size_t i = head.size(); i < head.size() + digits; ++i) {
        if (std::strchr("0123456789ABCDEF", text[i]) == nullptr) return false;
    }
    return true;
}

std::vector<std::string> TakeMessageBoxTexts() {
    platform::LockGuard guard(g_boxes_lock);
    std::vector<std::string> texts;
    texts.swap(g_boxes);
    return texts;
}

bool WaitForMessageBoxes(size_t count, DWORD milliseconds) {
    DWORD start = GetTickCount();
    for (;;) {
        {
            platform::LockGuard guard(g_boxes_lock);
            if (g_boxes.size() >= count) return true;
        }
        if (GetTickCount() - start > milliseconds) return false;
        Sleep(5);
    }
}

}  // namespace editor
