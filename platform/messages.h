// The message box and the calling thread's message queue.
#pragma once

namespace platform {

// Modal, no owner window; returns when the user closes it.
void ShowMessageBox(const char* text, const char* caption, unsigned style);

// Creates the calling thread's message queue if it has none yet, so that
// messages posted to the thread are not lost.
void EnsureMessageQueue();

// Takes, translates and dispatches every message waiting for the calling
// thread; returns when the queue is empty.
void PumpMessages();

}  // namespace platform
