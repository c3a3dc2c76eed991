#include "platform/worker_libraries.h"

#include <windows.h>
#include <ole2.h>
#include <vfw.h>

namespace platform {

void StartWorkerLibraries() {
    OleInitialize(nullptr);
    AVIFileInit();
}

void StopWorkerLibraries() {
    AVIFileExit();
    OleUninitialize();
}

}  // namespace platform
