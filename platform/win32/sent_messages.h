// The one way the editor's thread waits during an export: it must keep
// taking the messages other threads send to it (a sub-plugin's window owned
// by the editor's, a DLL's thread-detach code, the system's clean-up of a
// worker's windows), or each such sender hangs for as long as it waits.
#pragma once

#include <windows.h>

namespace platform::win32 {

// Waits until `object` is signalled or `milliseconds` (INFINITE: no limit)
// have passed in all, however many sent messages arrive meanwhile; each one
// is handed to its window procedure to its end. Posted messages stay queued.
// True when the object was signalled.
bool WaitTakingSentMessages(HANDLE object, DWORD milliseconds);

}  // namespace platform::win32
