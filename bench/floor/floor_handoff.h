// The benchmark's floor: the same export as through the relay, with the
// best handoff between the editor's thread and the encoder's that keeps the
// relay's one copy per frame. The editor's thread fetches frames in order,
// copies each into one of `slots` slots and publishes it; the encoder's
// thread, running the encoder's output on a worker, takes frames from the
// slots. A lock-free single-producer/single-consumer ring lies between them,
// and either side sleeps only when the ring is empty (encoder) or full
// (editor), after a short spin.
//
// It is not a relay: it assumes that the encoder asks for the frames in
// rising order and in one format, the one of its first request (format 0
// for the synthetic encoder, YUY2 for the ffmpeg sample), which the editor's
// thread waits for before it reads ahead; anything else (other formats,
// jumps back, audio) is one round trip through a mailbox.
// What it shows is how fast the machine runs both sides at once, so that
// relay / floor isolates what the relay itself costs.
#pragma once

#include <cstdint>

#include "plugin/output_plugin.h"

namespace floor_handoff {

struct Counters {
    int64_t encoder_sleeps = 0;  // the encoder found the ring empty and slept
    int64_t editor_sleeps = 0;   // the editor's thread found the ring full (or nothing to do) and slept
    int64_t wakes = 0;           // event signals, either way
    int64_t round_trips = 0;     // requests through the mailbox
};

// Optional work on the worker thread before and after the encoder's output
// (the Windows module sets up OLE and the AVI file library there, as the
// relay does).
struct WorkerHooks {
    void (*start)() = nullptr;
    void (*stop)() = nullptr;
};

// Runs `encoder->output` on a worker thread against `host`, serving it on
// the calling thread until it returns; the encoder's result, or 0 when the
// export could not be set up. Every call into `host` is made on the calling
// thread.
int RunExport(OutputInfo* host, OutputPluginTable* encoder, int32_t slots, WorkerHooks hooks, Counters* counters);

}  // namespace floor_handoff
