#include "platform/messages.h"

#include <windows.h>

namespace platform {

void ShowMessageBox(const char* text, const char* caption, unsigned style) {
    MessageBoxA(nullptr, text, caption, style);
}

void EnsureMessageQueue() {
    MSG message;
    PeekMessageA(&message, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
}

void PumpMessages() {
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
}

}  // namespace platform
