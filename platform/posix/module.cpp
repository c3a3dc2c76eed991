#include "platform/module.h"

#include <dlfcn.h>

#include <string>

namespace platform {

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

void* FindExport(ModuleHandle module, const char* name) { return dlsym(module, name); }

void UnloadModule(ModuleHandle module) { dlclose(module); }

ModuleHandle OwnModule() {
    Dl_info info;
    if (dladdr(reinterpret_cast<void*>(&OwnModule), &info) == 0) return nullptr;
    return info.dli_fbase;
}

}  // namespace platform
