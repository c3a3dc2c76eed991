// Handles of the window system and the module loader, as the editor passes
// them through the plugin interface and the platform's functions take them
// back. Opaque everywhere above the platform.
#pragma once

namespace platform {

using WindowHandle = void*;  // HWND
using ModuleHandle = void*;  // HINSTANCE / HMODULE

}  // namespace platform
