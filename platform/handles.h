// Handles of the window system and the module loader, as the editor passes
// them through the plugin interface and the platform's functions take them
// back. Opaque everywhere above the platform.
#pragma once

#include <cstdint>

namespace platform {

using WindowHandle = void*;  // HWND
using ModuleHandle = void*;  // HINSTANCE / HMODULE

// A kernel object's handle as a number, the form in which one process tells
// another which of its handles it was given (a HANDLE's value on Windows).
// 0 is never a valid one. The POSIX port, which serves the native tests
// only, has no one kind of handle: a section is a file descriptor, a process
// its id, and an event a pointer that means something in its own process
// only (see EventBase::Adopt).
using ObjectHandle = uintptr_t;

}  // namespace platform
