// The one record of the relay's state, and the operations on it. Members are
// defined in the folder of the subsystem that owns them: plugin/ (the idle
// values), plugin/entry/ (life cycle), registry/, settings/, relay/.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/event.h"
#include "platform/lock.h"
#include "platform/thread.h"
#include "plugin/export_link.h"
#include "plugin/export_state.h"
#include "plugin/output_plugin.h"
#include "plugin/owned_memory.h"

class ReadAheadRing;

struct SubPluginEntry {
    std::string file_name;  // as the folder listing gave it, without a path
    ModuleHandle module = nullptr;
    OutputPluginTable* table = nullptr;
};

using SubPluginList = std::vector<SubPluginEntry>;

constexpr int32_t kDefaultBufferCount = 8;

class RelayContext {
public:
    RelayContext();
    ~RelayContext();
    RelayContext(const RelayContext&) = delete;
    RelayContext& operator=(const RelayContext&) = delete;

    // Life cycle (plugin/entry/context_lifecycle.cpp; ResetExportState in
    // plugin/relay_context.cpp).
    void ResetExportState();
    bool Open();
    void Close();

    // Settings record (settings/settings_record.cpp).
    int GetSettings(void* data, int size);
    int SetSettings(void* data, int size);

    // Export run (relay/export_run.cpp): the editor's call of `output`,
    // from the worker's start to its end.
    bool PrepareOutput(OutputInfo* info);
    bool StartWorker();
    int32_t FinishOutput();
    // The slot arrays and the slot region, whichever exist.
    void ReleaseExportBuffers();

    // An export whose two sides run in two processes (the isolated module
    // and its helper program): the channel and the rings' words (three
    // arrays of buffer_count) in memory that both map, and this side's link.
    // A null channel makes the context's own the channel again, unlinked.
    void ShareExport(ExportChannel* shared, std::atomic<int32_t>* ring_words, int32_t ring_word_count,
                     ServingLink* serving, WorkerLink* worker);
    // The worker's side of such an export, in the helper program: the
    // encoder's record made from the editor's, with the substitute
    // functions, and the rings' words placed. The channel stays as the
    // serving side set it up.
    bool PrepareWorkerSide(const OutputInfo& info, OutputPluginTable* table, int32_t editor_priority);
    // The worker's end, told to a serving side in another process, which
    // cannot see the thread end: also when the encoder ended the thread
    // itself, or none could start.
    void TellServingSideTheWorkerEnded();
    // The helper program's context (plugin/relay_context.cpp): a lock of its
    // own, and the handoff's events those of the module that started it.
    bool OpenWorkerSide(platform::ObjectHandle done, platform::ObjectHandle wake);
    // Before an export with a helper program: a helper that ended during the
    // last one may have left a signal of the handoff untaken, which would
    // let the next one's worker read an answer before it is written.
    void ForgetHandoffSignals();

    // The serving side (relay/serving_side.cpp), the editor's thread while
    // the worker runs: the loop, each request's answer, the read-ahead, the
    // notes forwarded.
    bool ServeRequests();
    // The idle wait of a pass that found nothing to do; true when the worker
    // thread has ended without a word.
    bool WaitForWork();
    bool WaitForWorkerProcess(platform::WaitLimit limit, bool brief);
    void CountTimeout(bool brief);
    bool WorkArrived();
    // The answer handed back: the mailbox to Idle, then done_event.
    void ReleaseAnswer();
    void FillVideo();
    void FillFlag();
    void FillAudio();
    // True when a note went to the editor.
    bool FlushNotifications();
    bool PrefetchVideo(int32_t behind, int32_t ahead);
    bool PrefetchFlag(int32_t behind, int32_t ahead);
    bool EnsureVideoFormat();
    void ReleaseVideoSlots();
    // The rings' payloads: a frame copied from the editor into a slot (false,
    // and the export aborted, when the editor has none), or a flag.
    bool CopyFrame(int32_t frame, uint32_t format, int32_t slot);
    bool CopyFlag(int32_t frame, int32_t slot);
    // The two rings' shared protocol over their tags and positions
    // (relay/read_ahead_ring.h), and a video slot's bytes; both sides use them.
    ReadAheadRing VideoRing();
    ReadAheadRing FlagRing();
    uint8_t* VideoSlot(int32_t slot) const;
    uint8_t* LinkedSlot(int32_t slot);

    // The worker's side (relay/worker_side.cpp), any thread of the
    // sub-plugin: the substitute service functions' work.
    void* RelayVideo(int frame, uint32_t format);
    void* RelayAudio(int start, int length, int* read);
    int RelayAbortCheck();
    int RelayProgress(int position, int total);
    int RelayFlag(int frame);
    int RelayPreview();

    // What an export has done, for the benchmark and for tests that must
    // tell a lost request from a slow one.
    const RelayActivity& Activity() const { return channel->activity; }
    const ServingActivity& Serving() const { return serving; }
    RelayCommand PendingCommand() const {
        return static_cast<RelayCommand>(channel->mailbox.command.load(std::memory_order_relaxed));
    }

    // --- The editor's choices. Written on the editor's thread outside an
    // export (Open, the settings record, the dialog); the worker reads
    // `selected` once, after its thread was started.
    SubPluginList plugins;
    OutputPluginTable* selected = nullptr;
    int32_t buffer_count = kDefaultBufferCount;
    OwnedBytes settings_cache;

private:
    // The tests' window on the state below (tests/common), to set up and
    // look at one step of the relay at a time. Nothing in the product uses it.
    friend struct RelayContextProbe;
    class RoundTrip;  // relay/worker_side.cpp

    // The worker thread's life (relay/export_run.cpp), and its call for the
    // serving thread once that may be waiting (relay/worker_side.cpp): what
    // it has just done decides whether the wait is worth ending.
    static unsigned THREAD_ENTRY_CALL WorkerMain(void* argument);
    // relay/export_run.cpp: the encoder's record with the substitute
    // functions, and the rings' arrays (false: no memory for them).
    void MakeRelayInfo();
    bool SetUpRingArrays();
    enum class Nudge { Request, VideoHit, FlagHit, Note };
    void WakeServingThread(Nudge nudge);

    // --- The state of an export. Only the member functions write it. Who
    // writes what:
    //   the editor's thread (serving): host_info, host_copy, buffers, the
    //     rings' formats, the answers in the mailbox, `serving`, the notes'
    //     shown_*; the mailbox's `command` back to Idle; the handoff's
    //     read_ahead_lead, before the worker is let go;
    //   the worker (the sub-plugin's threads, one round trip at a time under
    //     request_lock): the mailbox's requests and `command` to a request or
    //     Finished, the rings' positions, the notes' pending values,
    //     `activity`;
    //   both: the channel's `aborted`, the handoff's
    //     serving_wait (set by the serving thread, taken by the worker);
    //   the sub-plugin, any of its threads: relay_info, which is its own.
    // Fields that the two threads share without the lock are atomics.
    OutputInfo* host_info = nullptr;
    OutputInfo relay_info{};
    // The editor's record as it came in, and where every size and the frame
    // count of the serving thread come from: relay_info belongs to the
    // sub-plugin, which may write it at any time from any of its threads.
    OutputInfo host_copy{};
    platform::Thread worker_thread;
    uint32_t worker_thread_id = 0;
    platform::Lock request_lock;
    platform::AutoResetEvent done_event;
    // Auto-reset: the wait that a signal ends takes it, and no reset (a
    // round trip to the server under Wine) follows. The worker signals only
    // a serving thread that has said it waits, once per wait.
    platform::AutoResetEvent wake_event;

    // What the serving side and the worker's side share: the context's own,
    // or the one in memory that the editor's process and a helper program
    // both map.
    ExportChannel own_channel;
    ExportChannel* channel = &own_channel;
    // Where the rings' words are placed instead of allocated, with room for
    // this many; null for an export within the editor's process.
    std::atomic<int32_t>* shared_ring_words = nullptr;
    int32_t shared_ring_word_count = 0;
    ServingLink* serving_link = nullptr;
    WorkerLink* worker_link = nullptr;
    // The editor's thread's priority, for a worker in a helper program.
    int32_t editor_priority = platform::kPriorityReadFailed;
    ExportBuffers buffers;
    ServingActivity serving;
};

// The module-wide context: null before the first init, after exit and after
// a failed init. Only PluginInit and PluginExit change it; the worker reads it
// in the substitute service functions, which carry no context parameter.
RelayContext* ModuleContext();
void SetModuleContext(RelayContext* context);
