#include "platform/worker_libraries.h"

namespace platform {

// OLE and the AVI file library exist only under Windows; an encoder built
// for this platform does not expect them.
void StartWorkerLibraries() {}
void StopWorkerLibraries() {}

}  // namespace platform
