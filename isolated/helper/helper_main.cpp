// sidecar_helper.exe: started by the isolated module with the handles it
// inherits named on its command line, it serves that module's calls until
// its Exit. It refuses to run for anyone else: without a command line and a
// block exactly as this build's module makes them it ends at once, having
// touched nothing.
#include <new>

#include "isolated/helper/call_loop.h"
#include "isolated/protocol/block_checks.h"
#include "isolated/protocol/helper_arguments.h"
#include "isolated/protocol/product_names.h"
#include "isolated/worker/output_call.h"
#include "platform/crash_report.h"
#include "platform/shared_memory.h"
#include "plugin/display_name.h"

// The registry refuses encoders that carry it, and a box the relay's code
// shows here is captioned with it.
const char kDisplayName[] = ISOLATED_DISPLAY_NAME;

int main(int argc, char** argv) {
    HelperHandles handles;
    if (argc < 1 || !ParseHelperArguments(argc - 1, argv + 1, &handles)) return kHelperRefusedExitCode;
    platform::SharedMemory section;
    if (!section.Map(handles.block, sizeof(ControlBlock))) return kHelperRefusedExitCode;
    ControlBlock& block = *std::launder(reinterpret_cast<ControlBlock*>(section.data()));
    if (!IsThisBuildsBlock(block)) return kHelperRefusedExitCode;
    platform::AutoResetEvent call_event;
    platform::AutoResetEvent reply_event;
    if (!call_event.Adopt(handles.call) || !reply_event.Adopt(handles.reply)) return kHelperRefusedExitCode;

    // From here on an encoder's crash ends the helper with its record in
    // the block, where the module reads it.
    platform::RecordCrashesInto(&block.crash, kHelperCrashedExitCode);
    if (!OpenExports(handles.done, handles.wake)) return kHelperRefusedExitCode;
    const int code = ServeCalls(block, call_event, reply_event);
    CloseExports();
    return code;
}
