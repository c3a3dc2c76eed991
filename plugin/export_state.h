// The state of one export, grouped by concern into records that RelayContext
// holds: the two rings, the buffers behind them, the request mailbox, the
// notes and the handoff between the two threads. The records hold values
// only, no pointer into the slots (a slot is named by its index) and no
// owner, so that each is reset by putting a fresh one in its place and could
// live in memory that two processes share; the buffers are the one record
// that owns memory, and the one a reset leaves alone.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <new>
#include <type_traits>

#include "plugin/output_plugin.h"
#include "plugin/owned_memory.h"

constexpr int32_t kEmptyTag = -1;
constexpr int32_t kNoSlot = -1;
constexpr int32_t kNoProgress = -1;

enum class RelayCommand : int32_t {
    Idle = 0,
    Audio = 1,
    Flag = 2,
    Video = 3,
    Finished = 4,
};

// What the serving thread is doing, as the worker sees it before it decides
// whether to signal wake_event: a signal is a round trip to the server under
// Wine, so it is given only to a serving thread that waits, and only for
// what that wait is for.
enum class ServingWait : uint8_t {
    None,         // busy: it reads every field at the end of its pass anyway
    ForWork,      // a request or a ring running low ends the wait; notes wait for its brief bound
    ForAnything,  // notes end the wait too
};

// Puts a fresh record in place of `record`: the assignment of a new one, for
// records of atomics, which cannot be assigned.
template <class Record>
void Renew(Record& record) {
    static_assert(std::is_trivially_destructible_v<Record>, "a record that owns nothing");
    ::new (static_cast<void*>(&record)) Record{};
}

// The video ring's values: the worker's position (the frame it asked for
// last) and the format its slots hold. The serving thread sets the format,
// and names one only while a region of slots of its size exists.
struct VideoRingState {
    std::atomic<int32_t> position{0};
    std::atomic<uint32_t> format{kNoFormat};
    // A frame the read-ahead found refused while the worker's request for it
    // was on its way (serving thread only): a busy serving thread may fetch a
    // missed frame before it reads the request, which still gets the editor's
    // null rather than the zeros of an aborted export.
    int32_t refused_frame = -1;
};

// The flag ring's values: the worker's position.
struct FlagRingState {
    std::atomic<int32_t> position{0};
};

// The memory behind the rings: a tag a slot for each ring, the flag values,
// and the region of video slots with its geometry. Allocated when an export
// is prepared (the region when the first frame's format is known), freed
// when it ends; the serving thread writes it, the worker reads it.
struct ExportBuffers {
    AtomicInt32Array video_tags;
    AtomicInt32Array flag_tags;
    AtomicInt32Array flag_values;
    std::atomic<uint8_t*> video_slots{nullptr};
    std::atomic<int32_t> slot_stride{0};
    int32_t video_frame_bytes = 0;
    size_t video_region_bytes = 0;  // what ReleasePages needs back
};

// One round trip at a time, under request_lock: the worker writes a request's
// fields before it stores `command` (release); the serving thread reads them
// after loading it (acquire), writes the answer, and stores Idle before it
// signals done_event.
struct RequestMailbox {
    std::atomic<int32_t> command{static_cast<int32_t>(RelayCommand::Idle)};
    int32_t video_frame = -1;
    uint32_t video_format = kNoFormat;
    int32_t flag_frame = -1;
    int32_t audio_start = 0;
    int32_t audio_length = 0;
    // The sub-plugin's own count, which the editor writes; the answer is the
    // editor's own buffer. Both are passed through as they are.
    int* audio_read = nullptr;
    void* audio_result = nullptr;
    int32_t flag_result = 0;
    // The answer to a video request: its slot, or kNoSlot where the editor
    // gave null for that very request, or no slot can be had for it.
    int32_t video_slot = kNoSlot;
};

// What the worker leaves for the editor without waiting (any thread of the
// sub-plugin), and what the serving thread last forwarded of it.
struct Notes {
    std::atomic<uint8_t> abort_check_pending{0};
    std::atomic<uint8_t> preview_pending{0};
    std::atomic<int32_t> progress_position{kNoProgress};
    std::atomic<int32_t> progress_total{kNoProgress};
    int32_t shown_position = kNoProgress;  // serving thread only
    int32_t shown_total = kNoProgress;
};

// How the two threads wake each other.
struct Handoff {
    // Set by the serving thread when it is about to wait on wake_event, and
    // taken (exchanged to None) by the one worker call that then signals it.
    // A ServingWait.
    std::atomic<uint8_t> serving_wait{static_cast<uint8_t>(ServingWait::None)};
    // The frames the read-ahead looks ahead before it refills a ring
    // (ReadAheadLead), set before the go signal; the worker reads it too.
    int32_t read_ahead_lead = 0;
    // Waits left to bound briefly (serving thread only): while the sub-plugin
    // leaves notes, they wait for the end of a brief wait rather than each
    // wake the serving thread.
    int32_t brief_waits_left = 0;
};

// What the worker's side has done in the current export: read by the
// benchmark, and by tests that must tell a lost request from a slow one.
// Each field is written by the sub-plugin's threads only (relaxed counts,
// nothing is published through them) and lives on a line of its own, away
// from the fields the serving thread writes.
struct alignas(64) RelayActivity {
    std::atomic<uint32_t> video_hits{0};
    std::atomic<uint32_t> flag_hits{0};
    std::atomic<uint32_t> requests_posted{0};
    std::atomic<uint32_t> requests_answered{0};
    std::atomic<int32_t> last_command{0};  // a RelayCommand
    std::atomic<int32_t> last_frame{-1};   // of the last video or flag request
    // Store by store rather than renewed: an observer (the benchmark, a
    // test's watchdog) may read the counts while a new export starts.
    void Reset();
};

// What the serving thread has done in the current export: its own counts,
// read by the benchmark and the tests once the export ended.
struct ServingActivity {
    uint32_t passes = 0;
    uint32_t waits = 0;            // idle waits on wake_event
    uint32_t timed_out_waits = 0;  // of those, ended by the half-second bound
    uint32_t brief_waits = 0;      // of those, bounded briefly while notes come in
    uint32_t brief_timeouts = 0;   // and ended by that bound
    uint32_t frames_copied = 0;
    uint32_t flags_read = 0;
};

// Everything of an export that both sides touch, in one record of values
// without an owner: the context holds one for a worker thread of the
// editor's own process, and a section of memory that the editor's process
// and a helper program both map holds another when the encoder runs there.
struct ExportChannel {
    VideoRingState video_ring;
    FlagRingState flag_ring;
    RequestMailbox mailbox;
    Notes notes;
    Handoff handoff;
    RelayActivity activity;
    // Raised only while an export runs, by either side.
    std::atomic<int32_t> aborted{0};
};
