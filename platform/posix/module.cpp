#include "platform/module.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstring>
#include <mutex>
#include <string>

#include "platform/posix/test_hooks.h"

namespace platform {

namespace {
std::mutex g_exe_mutex;
std::string g_exe_override;
}  // namespace

ModuleHandle LoadModule(const char* path) {
    // The logic joins paths the Windows way; here a backslash separates too.
    std::string name(path);
    for (char& c : name) {
        if (c == '\\') c = '/';
    }
    // dlopen searches the library path for a bare name, never the current
    // directory; Windows' module search does look there.
    if (name.find('/') == std::string::npos) name = "./" + name;
    return dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
}

void* FindExport(ModuleHandle module, const char* name) {
    return dlsym(module, name);
}

void UnloadModule(ModuleHandle module) {
    dlclose(module);
}

bool GetHostExecutablePath(char* buffer, size_t size) {
    if (size == 0) return false;
    std::string path;
    {
        std::lock_guard<std::mutex> guard(g_exe_mutex);
        path = g_exe_override;
    }
    if (path.empty()) {
        char real[4096];
        ssize_t length = readlink("/proc/self/exe", real, sizeof real - 1);
        if (length <= 0) return false;
        path.assign(real, static_cast<size_t>(length));
    }
    if (path.size() >= size) return false;
    std::memcpy(buffer, path.c_str(), path.size() + 1);
    return true;
}

ModuleHandle OwnModule() {
    Dl_info info;
    if (dladdr(reinterpret_cast<void*>(&OwnModule), &info) == 0) return nullptr;
    return info.dli_fbase;
}

void test_hooks::SetHostExecutablePath(const std::string& path) {
    std::lock_guard<std::mutex> guard(g_exe_mutex);
    g_exe_override = path;
}

}  // namespace platform
