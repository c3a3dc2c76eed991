// The one record of the relay's state, and the operations on it. Members are
// defined in the folder of the subsystem that owns them: plugin/ (life
// cycle), registry/, settings/, relay/.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/event.h"
#include "platform/lock.h"
#include "platform/thread.h"
#include "plugin/output_plugin.h"
#include "plugin/owned_memory.h"

class ReadAheadRing;

// What the serving thread is doing, as the worker sees it before it decides
// whether to signal wake_event: a signal is a round trip to the server under
// Wine, so it is given only to a serving thread that waits, and only for
// what that wait is for.
enum class ServingWait : uint8_t {
    None,         // busy: it reads every field at the end of its pass anyway
    ForWork,      // a request or a ring running low ends the wait; notes wait for its brief bound
    ForAnything,  // notes end the wait too
};

enum class RelayCommand : int32_t {
    Idle = 0,
    Audio = 1,
    Flag = 2,
    Video = 3,
    Finished = 4,
};

struct SubPluginEntry {
    std::string file_name;  // as the folder listing gave it, without a path
    ModuleHandle module = nullptr;
    OutputPluginTable* table = nullptr;
};

using SubPluginList = std::vector<SubPluginEntry>;

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
    void Reset();
};

// What the serving thread has done in the current export: its own counts,
// plain fields, read by the benchmark and the tests once the export ended.
struct ServingActivity {
    uint32_t passes = 0;
    uint32_t waits = 0;            // idle waits on wake_event
    uint32_t timed_out_waits = 0;  // of those, ended by the half-second bound
    uint32_t brief_waits = 0;      // of those, bounded briefly while notes come in
    uint32_t brief_timeouts = 0;   // and ended by that bound
    uint32_t frames_copied = 0;
    uint32_t flags_read = 0;
};

constexpr int32_t kDefaultBufferCount = 8;
constexpr int32_t kEmptyTag = -1;
constexpr int32_t kNoProgress = -1;

class RelayContext {
public:
    RelayContext();
    ~RelayContext();
    RelayContext(const RelayContext&) = delete;
    RelayContext& operator=(const RelayContext&) = delete;

    // Life cycle (plugin/relay_context.cpp; ResetExportState in plugin/module_context.cpp).
    void ResetExportState();
    bool Open();
    void Close();

    // Settings record (settings/settings_record.cpp).
    int GetSettings(void* data, int size);
    int SetSettings(void* data, int size);

    // Read-ahead cache, serving side (relay/read_ahead.cpp).
    bool EnsureVideoFormat();
    bool PrefetchVideo(int32_t behind, int32_t ahead);
    bool PrefetchFlag(int32_t behind, int32_t ahead);
    void FillVideo();
    void FillFlag();
    void ReleaseVideoSlots();
    // The two rings' shared protocol over their tags and positions, and
    // their payloads: a frame copied from the editor into a slot (false, and
    // the export aborted, when the editor has none), or a flag.
    ReadAheadRing VideoRing();
    ReadAheadRing FlagRing();
    uint8_t* VideoSlot(int32_t slot) const;
    bool CopyFrame(int32_t frame, uint32_t format, int32_t slot);
    bool CopyFlag(int32_t frame, int32_t slot);

    // Request channel (relay/request_channel.cpp): the worker's side of the
    // substitute service functions, and the serving side's audio and notes.
    void* RelayVideo(int frame, uint32_t format);
    void* RelayAudio(int start, int length, int* read);
    int RelayAbortCheck();
    int RelayProgress(int position, int total);
    int RelayFlag(int frame);
    int RelayPreview();
    void FillAudio();
    // True when a note went to the editor.
    bool FlushNotifications();

    // Export run (relay/export_run.cpp).
    bool PrepareOutput(OutputInfo* info);
    // The slot arrays and the slot region, whichever exist.
    void ReleaseExportBuffers();
    bool StartWorker();
    bool ServeRequests();
    // The idle wait of a pass that found nothing to do; true when the worker
    // thread has ended without a word.
    bool WaitForWork();
    bool WorkArrived();
    int32_t FinishOutput();

    // What an export has done, for the benchmark and for tests that must
    // tell a lost request from a slow one.
    const RelayActivity& Activity() const { return activity; }
    const ServingActivity& Serving() const { return serving; }
    RelayCommand PendingCommand() const { return static_cast<RelayCommand>(command.load(std::memory_order_relaxed)); }

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
    class RoundTrip;  // relay/request_channel.cpp

    // The worker thread's life (relay/export_run.cpp), and its call for the
    // serving thread once that may be waiting (relay/request_channel.cpp):
    // what it has just done decides whether the wait is worth ending.
    static unsigned THREAD_ENTRY_CALL WorkerMain(void* argument);
    enum class Nudge { Request, VideoHit, FlagHit, Note };
    void WakeServingThread(Nudge nudge);

    // --- The state of an export. Only the member functions write it. Who
    // writes what:
    //   the editor's thread (serving): host_info, host_copy, the slots and
    //     their tags and flag values, current_format, the answers
    //     (*_result), serving, shown_*; `command` back to Idle;
    //     read_ahead_lead, before the worker is let go;
    //   the worker (the sub-plugin's threads, one round trip at a time under
    //     request_lock): req_*, `command` to a request or Finished, the
    //     positions last_video_frame and last_flag_frame, the notes
    //     (*_pending, progress_*), activity;
    //   both: aborted (only ever raised while an export runs), serving_wait
    //     (set by the serving thread, taken by the worker);
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
    std::atomic<int32_t> command{static_cast<int32_t>(RelayCommand::Idle)};
    std::atomic<uint32_t> current_format{kNoFormat};
    std::atomic<int32_t> slot_stride{0};
    int32_t video_frame_bytes = 0;
    std::atomic<uint8_t*> video_slots{nullptr};
    size_t video_region_bytes = 0;  // what ReleasePages needs back
    AtomicInt32Array video_tags;
    std::atomic<int32_t> last_video_frame{0};
    AtomicInt32Array flag_values;
    AtomicInt32Array flag_tags;
    std::atomic<int32_t> last_flag_frame{0};
    platform::Lock request_lock;
    platform::AutoResetEvent done_event;
    // Auto-reset: the wait that a signal ends takes it, and no reset (a
    // round trip to the server under Wine) follows. The worker signals only
    // a serving thread that has said it waits, once per wait.
    platform::AutoResetEvent wake_event;
    // Set by the serving thread when it is about to wait on wake_event, and
    // taken (exchanged to None) by the one worker call that then signals it
    // (relay/request_channel.cpp). A ServingWait.
    std::atomic<uint8_t> serving_wait{static_cast<uint8_t>(ServingWait::None)};
    // The frames the read-ahead looks ahead before it refills a ring
    // (ReadAheadLead), set before the go signal; the worker reads it too.
    int32_t read_ahead_lead = 0;
    // Waits left to bound briefly: while the sub-plugin leaves notes, they
    // wait for the end of a brief wait rather than each wake the serving
    // thread (relay/export_run.cpp).
    int32_t brief_waits_left = 0;
    // Request fields: written by the worker under request_lock before it
    // stores `command` (release), read by the serving thread after loading it
    // (acquire); the answers travel back before done_event is signalled.
    int32_t req_video_frame = -1;
    uint32_t req_video_format = kNoFormat;
    int32_t req_flag_frame = -1;
    int32_t req_audio_start = 0;
    int32_t req_audio_length = 0;
    int* req_audio_read = nullptr;
    void* audio_result = nullptr;
    int32_t flag_result = 0;
    // The answer to a video request: its slot, or null where the editor gave
    // null for that very request, or no slot can be had for it.
    void* video_result = nullptr;
    // A frame the read-ahead found refused while the worker's request for it
    // was on its way (serving thread only): a busy serving thread may fetch a
    // missed frame before it reads the request, which still gets the editor's
    // null rather than the zeros of an aborted export.
    int32_t refused_video_frame = -1;
    RelayActivity activity;
    ServingActivity serving;
    std::atomic<int32_t> aborted{0};
    std::atomic<uint8_t> abort_check_pending{0};
    std::atomic<uint8_t> preview_pending{0};
    std::atomic<int32_t> progress_position{kNoProgress};
    std::atomic<int32_t> progress_total{kNoProgress};
    int32_t shown_position = kNoProgress;
    int32_t shown_total = kNoProgress;
};

// The module-wide context: null before the first init, after exit and after
// a failed init. Only PluginInit and PluginExit change it; the worker reads it
// in the substitute service functions, which carry no context parameter.
RelayContext* ModuleContext();
void SetModuleContext(RelayContext* context);
