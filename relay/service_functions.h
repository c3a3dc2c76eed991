// The substitute service functions that the sub-plugin receives in place of
// the editor's, and the worker thread's body. None of them calls the editor:
// they answer from the read-ahead rings, post a request to the editor's
// thread, or leave a note for it.
#pragma once

#include <cstdint>

#include "platform/thread.h"

void* RelayGetVideo(int frame);
void* RelayGetAudio(int start, int length, int* read);
int RelayIsAbort();
int RelayShowProgress(int position, int total);
int RelayGetFlag(int frame);
int RelayUpdatePreview();
void* RelayGetVideoEx(int frame, uint32_t format);
