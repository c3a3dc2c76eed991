// The tests' window on a RelayContext's export state, which in the product
// only the context's own member functions write: a test sets up one step of
// the relay and looks at what it left, with no thread of its own running.
// The state's records come whole; the rest is what no record holds.
//
//     Inside(context).notes.preview_pending.store(1);
#pragma once

#include "plugin/relay_context.h"

struct RelayContextProbe {
    explicit RelayContextProbe(RelayContext& context)
        : video_ring(context.channel->video_ring),
          flag_ring(context.channel->flag_ring),
          buffers(context.buffers),
          mailbox(context.channel->mailbox),
          notes(context.channel->notes),
          handoff(context.channel->handoff),
          aborted(context.channel->aborted),
          host_info(context.host_info),
          relay_info(context.relay_info),
          worker_thread(context.worker_thread),
          request_lock(context.request_lock),
          done_event(context.done_event),
          wake_event(context.wake_event) {}

    VideoRingState& video_ring;
    FlagRingState& flag_ring;
    ExportBuffers& buffers;
    RequestMailbox& mailbox;
    Notes& notes;
    Handoff& handoff;
    std::atomic<int32_t>& aborted;
    OutputInfo*& host_info;
    OutputInfo& relay_info;
    platform::Thread& worker_thread;
    platform::Lock& request_lock;
    platform::AutoResetEvent& done_event;
    platform::AutoResetEvent& wake_event;
};

inline RelayContextProbe Inside(RelayContext& context) { return RelayContextProbe(context); }
