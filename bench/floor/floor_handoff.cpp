#include "bench/floor/floor_handoff.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <vector>

#include "platform/event.h"
#include "platform/lock.h"
#include "platform/pages.h"
#include "platform/thread.h"

namespace floor_handoff {
namespace {

// About 20 to 60 µs of polling before a side sleeps: a sleep and its wake
// cost two system calls (two round trips to the server under Wine), more
// than the spin when the other side is about to deliver.
constexpr int kSpinChecks = 2000;
constexpr int64_t kSlotAlignment = 64;

inline void CpuRelax() {
#if defined(__i386__) || defined(__x86_64__)
    __builtin_ia32_pause();
#endif
}

// One side's sleep. The other side signals the event only when this side
// says it sleeps: each side stores its own word (the published count, or
// `sleeping`), fences, and then reads the other's, so at least one of them
// sees the other (Dekker). A signal left over from a sleep that found its
// condition true in the recheck only makes the next sleep return at once.
class Sleeper {
public:
    bool Create() { return event_.Create(); }

    // Until `ready()`; with a time limit of half a second per sleep, after
    // which it returns false so that the caller can look at other things.
    template <class Ready>
    bool WaitUntil(Ready ready, platform::WaitLimit limit, int64_t* sleeps) {
        for (int i = 0; i < kSpinChecks; ++i) {
            if (ready()) return true;
            CpuRelax();
        }
        for (;;) {
            sleeping_.store(true, std::memory_order_relaxed);
            std::atomic_thread_fence(std::memory_order_seq_cst);
            if (ready()) {
                sleeping_.store(false, std::memory_order_relaxed);
                return true;
            }
            ++*sleeps;
            if (event_.Wait(limit) == platform::WaitResult::TimedOut) {
                sleeping_.store(false, std::memory_order_relaxed);
                return ready();
            }
        }
    }

    // After the store that the sleeper waits for.
    void Wake(int64_t* wakes) {
        std::atomic_thread_fence(std::memory_order_seq_cst);
        if (sleeping_.load(std::memory_order_relaxed) && sleeping_.exchange(false, std::memory_order_relaxed)) {
            ++*wakes;
            event_.Signal();
        }
    }

private:
    platform::AutoResetEvent event_;
    std::atomic<bool> sleeping_{false};
};

enum class Request : int32_t { None, Video, Flag, Audio };

struct Floor {
    OutputInfo* host = nullptr;
    OutputInfo worker_info{};
    OutputPluginTable* encoder = nullptr;
    WorkerHooks hooks;
    int32_t slots = 0;
    int32_t frame_count = 0;
    size_t default_bytes = 0;  // the editor's frame_bytes, for format 0
    size_t frame_bytes = 0;    // of a frame in the ring's format
    size_t stride = 0;
    uint8_t* region = nullptr;
    size_t region_bytes = 0;
    std::vector<std::atomic<int32_t>> flags;

    // The ring: frames [0, produced) have been published; the encoder has
    // let go of every frame below `consumed` (it holds `consumed` itself).
    // Frame f lives in slot f % slots, so the editor's thread may write
    // frames below consumed + slots.
    std::atomic<int32_t> produced{0};
    std::atomic<int32_t> consumed{0};
    std::atomic<int32_t> failed{0};  // the editor had no frame: the encoder gets null from then on
    // The format the ring holds: the one of the encoder's first frame
    // request, set by the encoder's side before the editor's thread
    // produces anything. The slots are sized for it once it is known.
    std::atomic<uint32_t> ring_format{kNoFormat};

    // Notes, forwarded by the editor's thread.
    std::atomic<int32_t> progress_position{-1};
    std::atomic<int32_t> progress_total{-1};
    std::atomic<int32_t> preview_pending{0};
    std::atomic<int32_t> abort_check_pending{0};
    std::atomic<int32_t> aborted{0};
    int32_t shown_position = -1;
    int32_t shown_total = -1;

    // The mailbox, for whatever the ring does not hold.
    platform::Lock mailbox_lock;
    std::atomic<Request> request{Request::None};
    int32_t request_frame = 0;
    uint32_t request_format = 0;
    int32_t request_start = 0;
    int32_t request_length = 0;
    int* request_read = nullptr;
    void* answer_pointer = nullptr;
    int32_t answer_value = 0;
    std::vector<uint8_t> side_buffer;

    std::atomic<int32_t> finished{0};
    int32_t result = 0;
    Sleeper editor_sleeper;
    Sleeper encoder_sleeper;
    Counters counters;  // each field written by one thread only; read after the join
    int64_t encoder_wakes = 0;
    int64_t editor_wakes = 0;

    uint8_t* SlotOf(int32_t frame) const { return region + static_cast<size_t>(frame % slots) * stride; }
};

Floor* g_floor = nullptr;

size_t FrameBytes(const Floor& floor, uint32_t format) {
    const size_t pixels = static_cast<size_t>(floor.host->width) * static_cast<size_t>(floor.host->height);
    switch (format) {
        case kFormatDefault: return floor.default_bytes;
        case kFormatYUY2:
        case kFormatYUY2Reversed: return pixels * 2;
        case kFormatYC48:
        case kFormatYC48Reversed: return pixels * 6;
        default: return 0;
    }
}

// --- The encoder's side ------------------------------------------------

void* MailboxRequest(Floor& floor, Request kind) {
    floor.request.store(kind, std::memory_order_release);
    floor.editor_sleeper.Wake(&floor.encoder_wakes);
    ++floor.counters.round_trips;
    floor.encoder_sleeper.WaitUntil([&floor] { return floor.request.load(std::memory_order_acquire) == Request::None; },
                                    platform::WaitLimit::Forever, &floor.counters.encoder_sleeps);
    return floor.answer_pointer;
}

void* FloorGetVideoEx(int frame, uint32_t format) {
    Floor& floor = *g_floor;
    const int32_t held = floor.consumed.load(std::memory_order_relaxed);  // only this side writes it
    uint32_t ring_format = floor.ring_format.load(std::memory_order_acquire);
    if (ring_format == kNoFormat && FrameBytes(floor, format) > 0) {
        // Only this side sets it; the editor's thread waits for it.
        floor.ring_format.store(format, std::memory_order_release);
        ring_format = format;
    }
    if (format == ring_format && frame >= held && frame < floor.frame_count) {
        floor.consumed.store(frame, std::memory_order_release);
        floor.editor_sleeper.Wake(&floor.encoder_wakes);
        floor.encoder_sleeper.WaitUntil(
            [&floor, frame] {
                return floor.produced.load(std::memory_order_acquire) > frame ||
                       floor.failed.load(std::memory_order_acquire) != 0;
            },
            platform::WaitLimit::Forever, &floor.counters.encoder_sleeps);
        if (floor.produced.load(std::memory_order_acquire) > frame) return floor.SlotOf(frame);
        return nullptr;
    }
    platform::LockGuard guard(floor.mailbox_lock);
    floor.request_frame = frame;
    floor.request_format = format;
    return MailboxRequest(floor, Request::Video);
}

void* FloorGetVideo(int frame) { return FloorGetVideoEx(frame, kFormatDefault); }

int FloorGetFlag(int frame) {
    Floor& floor = *g_floor;
    if (frame >= floor.consumed.load(std::memory_order_relaxed) &&
        frame < floor.produced.load(std::memory_order_acquire)) {
        return floor.flags[static_cast<size_t>(frame % floor.slots)].load(std::memory_order_relaxed);
    }
    platform::LockGuard guard(floor.mailbox_lock);
    floor.request_frame = frame;
    MailboxRequest(floor, Request::Flag);
    return floor.answer_value;
}

void* FloorGetAudio(int start, int length, int* read) {
    Floor& floor = *g_floor;
    platform::LockGuard guard(floor.mailbox_lock);
    floor.request_start = start;
    floor.request_length = length;
    floor.request_read = read;
    return MailboxRequest(floor, Request::Audio);
}

int FloorIsAbort() {
    Floor& floor = *g_floor;
    floor.abort_check_pending.store(1, std::memory_order_release);
    return floor.aborted.load(std::memory_order_acquire);
}

int FloorShowProgress(int position, int total) {
    g_floor->progress_position.store(position, std::memory_order_release);
    g_floor->progress_total.store(total, std::memory_order_release);
    return 1;
}

int FloorUpdatePreview() {
    g_floor->preview_pending.store(1, std::memory_order_release);
    return 1;
}

unsigned THREAD_ENTRY_CALL WorkerMain(void* argument) {
    Floor& floor = *static_cast<Floor*>(argument);
    if (floor.hooks.start != nullptr) floor.hooks.start();
    floor.result = floor.encoder->output != nullptr ? floor.encoder->output(&floor.worker_info) : 1;
    floor.finished.store(1, std::memory_order_release);
    floor.editor_sleeper.Wake(&floor.encoder_wakes);
    if (floor.hooks.stop != nullptr) floor.hooks.stop();
    return 0;
}

// --- The editor's side -------------------------------------------------

void ServeMailbox(Floor& floor) {
    const Request kind = floor.request.load(std::memory_order_acquire);
    if (kind == Request::None) return;
    switch (kind) {
        case Request::Video: {
            const void* data = floor.host->get_video_ex(floor.request_frame, floor.request_format);
            const size_t bytes = FrameBytes(floor, floor.request_format);
            floor.answer_pointer = nullptr;
            if (data != nullptr && bytes > 0) {
                // The editor's buffer is only valid until its next call,
                // which comes before the encoder reads.
                std::memcpy(floor.side_buffer.data(), data, bytes);
                floor.answer_pointer = floor.side_buffer.data();
            }
            break;
        }
        case Request::Flag: floor.answer_value = floor.host->get_flag(floor.request_frame); break;
        case Request::Audio: {
            int ignored = 0;
            floor.answer_pointer = floor.host->get_audio(floor.request_start, floor.request_length,
                                                         floor.request_read != nullptr ? floor.request_read : &ignored);
            break;
        }
        case Request::None: break;
    }
    floor.request.store(Request::None, std::memory_order_release);
    floor.encoder_sleeper.Wake(&floor.editor_wakes);
}

void ForwardNotes(Floor& floor) {
    if (floor.preview_pending.exchange(0, std::memory_order_acq_rel) != 0) floor.host->update_preview();
    const int32_t position = floor.progress_position.load(std::memory_order_acquire);
    const int32_t total = floor.progress_total.load(std::memory_order_acquire);
    if (position != floor.shown_position || total != floor.shown_total) {
        floor.host->show_progress(position, total);
        floor.shown_position = position;
        floor.shown_total = total;
    }
    if (floor.abort_check_pending.exchange(0, std::memory_order_acq_rel) != 0 && floor.host->is_abort() != 0) {
        floor.aborted.store(1, std::memory_order_release);
    }
}

// On the editor's thread, once the ring's format is known; the encoder reads
// a slot only after the frame in it was published, so after this.
bool AllocateSlots(Floor& floor, uint32_t format) {
    floor.frame_bytes = FrameBytes(floor, format);
    floor.stride = (floor.frame_bytes + kSlotAlignment - 1) / kSlotAlignment * kSlotAlignment;
    floor.region_bytes = floor.stride * static_cast<size_t>(floor.slots);
    floor.region = static_cast<uint8_t*>(platform::AllocatePages(floor.region_bytes));
    return floor.region != nullptr;
}

void Serve(Floor& floor, platform::Thread& worker) {
    int32_t next = 0;
    for (;;) {
        ServeMailbox(floor);
        ForwardNotes(floor);
        if (floor.finished.load(std::memory_order_acquire) != 0) return;
        auto room = [&floor, &next] {
            return next < floor.frame_count && floor.failed.load(std::memory_order_relaxed) == 0 &&
                   floor.ring_format.load(std::memory_order_acquire) != kNoFormat &&
                   next < floor.consumed.load(std::memory_order_acquire) + floor.slots;
        };
        if (room()) {
            const uint32_t format = floor.ring_format.load(std::memory_order_acquire);
            if (floor.region == nullptr && !AllocateSlots(floor, format)) {
                floor.failed.store(1, std::memory_order_release);
                floor.encoder_sleeper.Wake(&floor.editor_wakes);
                continue;
            }
            const void* data = floor.host->get_video_ex(next, format);
            if (data == nullptr) {
                floor.failed.store(1, std::memory_order_release);
            } else {
                std::memcpy(floor.SlotOf(next), data, floor.frame_bytes);
                floor.flags[static_cast<size_t>(next % floor.slots)].store(floor.host->get_flag(next),
                                                                           std::memory_order_relaxed);
                ++next;
                floor.produced.store(next, std::memory_order_release);
            }
            floor.encoder_sleeper.Wake(&floor.editor_wakes);
            continue;
        }
        const bool woke = floor.editor_sleeper.WaitUntil(
            [&floor, &room] {
                return room() || floor.finished.load(std::memory_order_acquire) != 0 ||
                       floor.request.load(std::memory_order_acquire) != Request::None;
            },
            platform::WaitLimit::HalfSecond, &floor.counters.editor_sleeps);
        // An encoder that ended its thread itself never says it finished.
        if (!woke && worker.HasEnded()) return;
    }
}

}  // namespace

int RunExport(OutputInfo* host, OutputPluginTable* encoder, int32_t slots, WorkerHooks hooks, Counters* counters) {
    if (host == nullptr || encoder == nullptr || slots < 1 || host->frame_bytes <= 0 || host->width <= 0 ||
        host->height <= 0) {
        return 0;
    }
    Floor floor;
    floor.host = host;
    floor.encoder = encoder;
    floor.hooks = hooks;
    floor.slots = slots;
    floor.frame_count = host->frame_count;
    floor.default_bytes = static_cast<size_t>(host->frame_bytes);
    std::vector<std::atomic<int32_t>> flags(static_cast<size_t>(slots));
    floor.flags.swap(flags);
    floor.side_buffer.assign(std::max({FrameBytes(floor, kFormatDefault), FrameBytes(floor, kFormatYC48)}), 0);
    if (!floor.mailbox_lock.SetUp() || !floor.editor_sleeper.Create() || !floor.encoder_sleeper.Create()) {
        return 0;
    }
    floor.worker_info = *host;
    floor.worker_info.get_video = FloorGetVideo;
    floor.worker_info.get_video_ex = FloorGetVideoEx;
    floor.worker_info.get_flag = FloorGetFlag;
    floor.worker_info.get_audio = FloorGetAudio;
    floor.worker_info.is_abort = FloorIsAbort;
    floor.worker_info.show_progress = FloorShowProgress;
    floor.worker_info.update_preview = FloorUpdatePreview;

    g_floor = &floor;
    int result = 0;
    {
        platform::Thread worker;
        if (worker.Start(WorkerMain, &floor)) {
            worker.SetPriority(platform::CurrentThreadPriority());
            Serve(floor, worker);
            worker.Join();
            ForwardNotes(floor);
            result = floor.result;
        }
    }
    g_floor = nullptr;
    platform::ReleasePages(floor.region, floor.region_bytes);
    floor.mailbox_lock.TearDown();
    if (counters != nullptr) {
        *counters = floor.counters;
        counters->wakes = floor.encoder_wakes + floor.editor_wakes;
    }
    return result;
}

}  // namespace floor_handoff
