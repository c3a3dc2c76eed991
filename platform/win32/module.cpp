#include "platform/module.h"

#include <windows.h>

namespace platform {

ModuleHandle LoadModule(const char* path) { return LoadLibraryA(path); }

void* FindExport(ModuleHandle module, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(module), name));
}

void UnloadModule(ModuleHandle module) { FreeLibrary(static_cast<HMODULE>(module)); }

bool GetHostExecutablePath(char* buffer, size_t size) {
    if (size == 0) return false;
    DWORD length = GetModuleFileNameA(nullptr, buffer, static_cast<DWORD>(size));
    // A full buffer means the path was cut short (and, before Vista, not terminated).
    return length != 0 && length < size;
}

ModuleHandle OwnModule() {
    HMODULE module = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCSTR>(&OwnModule), &module);
    return module;
}

}  // namespace platform
