// Loading plugin modules and finding their exports.
#pragma once

#include <cstddef>

#include "platform/handles.h"

namespace platform {

// A path without a folder is looked up in the current directory as well
// (Windows' module search does this; the POSIX loader would not by itself).
// Null on failure.
ModuleHandle LoadModule(const char* path);

// Null when the module has no export of exactly this name.
void* FindExport(ModuleHandle module, const char* name);

void UnloadModule(ModuleHandle module);

// Full path of the process's executable (not of this module). False when it
// does not fit the buffer or cannot be read.
bool GetHostExecutablePath(char* buffer, size_t size);

// The module that contains this code: the relay itself, wherever the host
// loaded it from.
ModuleHandle OwnModule();

}  // namespace platform
