// OLE and the AVI file library, which encoders expect to find initialised on
// the thread that runs their output function.
#pragma once

namespace platform {

// Results are ignored: a sub-plugin that needs the libraries checks for
// itself, and StopWorkerLibraries balances whatever succeeded.
void StartWorkerLibraries();
void StopWorkerLibraries();

}  // namespace platform
