#include "platform/win32/sent_messages.h"

namespace platform::win32 {

bool WaitTakingSentMessages(HANDLE object, DWORD milliseconds) {
    const DWORD start = GetTickCount();
    for (;;) {
        DWORD remaining = INFINITE;
        if (milliseconds != INFINITE) {
            const DWORD elapsed = GetTickCount() - start;
            // Sent messages kept this thread busy up to the limit: one last
            // look at the object, and no more messages.
            if (elapsed >= milliseconds) return WaitForSingleObject(object, 0) == WAIT_OBJECT_0;
            remaining = milliseconds - elapsed;
        }
        // With MWMO_INPUTAVAILABLE a message sent before the wait began wakes
        // it as well; without, only one that arrives during it would. The
        // object comes first when both are there.
        const DWORD woken = MsgWaitForMultipleObjectsEx(1, &object, remaining, QS_SENDMESSAGE, MWMO_INPUTAVAILABLE);
        if (woken == WAIT_OBJECT_0) return true;
        if (woken != WAIT_OBJECT_0 + 1) return false;
        // Sent messages go to their window procedures inside this call and
        // are never returned; PM_QS_SENDMESSAGE looks at nothing else, and
        // PM_NOREMOVE would leave anything it did find where it is.
        MSG message;
        PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
}

}  // namespace platform::win32
