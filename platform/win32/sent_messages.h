// The one way the editor's thread waits during an export: it must keep
// taking the messages other threads send to it (a sub-plugin's window owned
// by the editor's, a DLL's thread-detach code, the system's clean-up of a
// worker's windows), or each such sender hangs for as long as it waits.
#pragma once

#include <windows.h>

namespace platform::win32 {

// Waits until one of the `count` objects is signalled or `milliseconds`
// (INFINITE: no limit) have passed in all, however many messages arrive
// meanwhile; each sent one is handed to its window procedure to its end.
// Posted messages stay queued, unless `dispatch_posted`: then they are
// dispatched as a modal loop does, and a WM_QUIT among them is put back
// once the wait is over. Returns WAIT_OBJECT_0 + the index of the object
// (the first one listed when several are signalled), WAIT_TIMEOUT, or
// WAIT_FAILED.
DWORD WaitTakingMessages(const HANDLE* objects, DWORD count, DWORD milliseconds, bool dispatch_posted);

// True when the object was signalled.
inline bool WaitTakingSentMessages(HANDLE object, DWORD milliseconds) {
    return WaitTakingMessages(&object, 1, milliseconds, false) == WAIT_OBJECT_0;
}

}  // namespace platform::win32
