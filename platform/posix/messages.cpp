#include "platform/messages.h"

#include <cstdio>

namespace platform {

// There is no window system here and nobody to close a box: the message goes
// to standard error, as one line under its caption, and the call returns at
// once. The text's bytes are written as they are (code page 932 for the
// relay's own messages).
void ShowMessageBox(const char* text, const char* caption, unsigned) {
    std::fprintf(stderr, "%s: %s\n", caption != nullptr ? caption : "", text != nullptr ? text : "");
}

// Without a window system a thread has no message queue: nothing is posted
// to it, and there is nothing to take.
void EnsureMessageQueue() {}
void PumpMessages() {}

}  // namespace platform
