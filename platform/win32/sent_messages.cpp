#include "platform/win32/sent_messages.h"

namespace platform::win32 {

DWORD WaitTakingMessages(const HANDLE* objects, DWORD count, DWORD milliseconds, bool dispatch_posted) {
    const DWORD start = GetTickCount();
    bool quit = false;
    WPARAM quit_code = 0;
    DWORD result = WAIT_TIMEOUT;
    for (;;) {
        DWORD remaining = INFINITE;
        if (milliseconds != INFINITE) {
            const DWORD elapsed = GetTickCount() - start;
            // Messages kept this thread busy up to the limit: one last look
            // at the objects, and no more messages.
            if (elapsed >= milliseconds) {
                result = WaitForMultipleObjects(count, objects, FALSE, 0);
                break;
            }
            remaining = milliseconds - elapsed;
        }
        // With MWMO_INPUTAVAILABLE a message queued before the wait began
        // wakes it as well; without, only one that arrives during it would.
        // The objects come first when both are there.
        const DWORD woken = MsgWaitForMultipleObjectsEx(count, objects, remaining,
                                                        dispatch_posted ? QS_ALLINPUT : QS_SENDMESSAGE,
                                                        MWMO_INPUTAVAILABLE);
        if (woken != WAIT_OBJECT_0 + count) {
            result = woken;
            break;
        }
        MSG message;
        if (!dispatch_posted) {
            // Sent messages go to their window procedures inside this call
            // and are never returned; PM_QS_SENDMESSAGE looks at nothing
            // else, and PM_NOREMOVE would leave anything it did find where
            // it is.
            PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
            continue;
        }
        // One message per wake-up, so that the objects are looked at between
        // any two of them.
        if (!PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) continue;
        if (message.message == WM_QUIT) {
            // Whoever runs the thread's own loop must still see it; a modal
            // loop stops dispatching when it comes.
            quit = true;
            quit_code = message.wParam;
            dispatch_posted = false;
            continue;
        }
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    if (quit) PostQuitMessage(static_cast<int>(quit_code));
    return result;
}

}  // namespace platform::win32
