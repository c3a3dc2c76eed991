// The helper program as the editor's side of the isolated module sees it:
// a process that answers calls posted in the control block. The module's
// HelperProcess is one; the native tests play one on a thread.
#pragma once

#include <cstdint>

#include "isolated/protocol/control_block.h"
#include "isolated/protocol/section_links.h"
#include "platform/event.h"

struct CallOutcome {
    CallStatus status = CallStatus::Pending;
    int32_t result = 0;
    // The helper ended during the call (crashed, or was ended): the user has
    // been told, and the next call starts a fresh one.
    bool helper_ended = false;
};

class HelperEndpoint : public PeerProcess {
public:
    // A helper that answers, started (and its encoders scanned) if none
    // runs; false once the user has been told why there is none.
    virtual bool EnsureRunning() = 0;
    virtual ControlBlock& Block() = 0;
    // The call's arguments are in the block already.
    virtual void Post(HelperCall code) = 0;
    // Waits for the answer to the call posted, or for the helper's end.
    virtual CallOutcome AwaitAnswer(const char* encoder_name, platform::WhileWaiting messages) = 0;
};
