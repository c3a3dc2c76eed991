// The helper's life between its start and the module's Exit: it waits for
// a call, serves it with the encoders it loaded, and answers. Every index
// and size in a call is checked against what the helper itself has (its
// listing, the payload) before an encoder sees it.
#pragma once

#include <cstdint>
#include <vector>

#include "isolated/protocol/control_block.h"
#include "platform/event.h"
#include "plugin/relay_context.h"

class HelperCalls {
public:
    explicit HelperCalls(ControlBlock& block) : block_(block) {}
    ~HelperCalls();  // every encoder's exit, every module unloaded
    HelperCalls(const HelperCalls&) = delete;
    HelperCalls& operator=(const HelperCalls&) = delete;

    // Serves the call whose code the block holds, answers in the block and
    // returns its status; the caller then signals the reply.
    CallStatus Serve(HelperCall code);

private:
    CallStatus Scan();
    CallStatus Config();
    CallStatus ConfigGet();
    CallStatus ConfigSet();
    CallStatus Output();
    void UnloadAll();
    // The encoder at a listing index the module sent; null when the index
    // lies outside the listing or names a file this helper did not start.
    SubPluginEntry* Listed(int32_t index);

    ControlBlock& block_;
    SubPluginList plugins_;  // in listing order
    // Listing index -> position in plugins_, or -1 for a roster's file that
    // did not start here.
    std::vector<int32_t> listed_;
};

// Waits for calls on `call_event` and answers each on `reply_event` until
// the module's Exit (then 0) or a wait that fails (then 1). Meanwhile the
// thread's messages are dispatched, as an editor's thread does for the
// encoders' windows between its calls.
int ServeCalls(ControlBlock& block, platform::AutoResetEvent& call_event, platform::AutoResetEvent& reply_event);
