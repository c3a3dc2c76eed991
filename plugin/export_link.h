// Where the two sides of an export meet when they are not threads of one
// process: the serving side in the editor's process and the worker's side in
// a helper program, over a channel in memory that both map. A context
// without links (sidecar.auo's) keeps everything in its own process; with
// one, only these steps differ: where the video slots live, how the editor's
// audio reaches the encoder, and how the serving side learns that the
// worker's side has gone or stopped answering.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/handles.h"

// The serving side's half, in the editor's process.
class ServingLink {
public:
    virtual ~ServingLink() = default;

    // A region of `bytes` for the video slots that the worker's side can map
    // as well, told to it with its `stride` before the answer that first
    // names the new format; null on failure. Replaces the previous region.
    virtual uint8_t* CreateSlotRegion(size_t bytes, int32_t stride) = 0;
    virtual void ReleaseSlotRegion() = 0;

    // The editor's answer to an audio request: `data` (null when the editor
    // gave none) and the count it stored through `read`, copied where the
    // worker's side reads it. The size of a sample is the link's to know
    // (the relay passes the editor's record through unread); what it cannot
    // carry goes as no audio at all.
    virtual void CarryAudio(const void* data, int32_t samples_read) = 0;

    // The process the worker's side runs in, so that a wait ends when it does.
    virtual platform::ObjectHandle WorkerProcess() const = 0;

    // What the serving side does about a worker that has said nothing for a
    // whole wait: an encoder that hangs asks nothing, not even is_abort, so
    // the user's cancel would never be seen.
    enum class Silence {
        KeepWaiting,
        AskEditor,  // ask the editor's is_abort on the encoder's behalf
        GiveUp,     // the worker's side has been ended: the export is over
    };
    virtual Silence WorkerSilent() = 0;
    // The worker's side has spoken (a request, a note, its end).
    virtual void WorkerHeard() = 0;
    // The editor answered the serving side's own is_abort with a cancel.
    virtual void EditorCancelled() = 0;
};

// The worker's half, in the helper program.
class WorkerLink {
public:
    virtual ~WorkerLink() = default;

    // Whether the slots the worker's side has mapped are the ones the
    // serving side last announced; a hit on older ones is taken as a miss.
    virtual bool SlotsCurrent() const = 0;
    // Maps the slots last announced, if they are new; under the request
    // lock, after the answer that named them. Null when none can be mapped.
    virtual uint8_t* SyncSlots(int32_t* stride) = 0;

    // The audio that the last answer carried (null when the editor gave
    // none, or it cannot be mapped) and its sample count.
    virtual void* TakeAudio(int32_t* samples_read) = 0;
};
