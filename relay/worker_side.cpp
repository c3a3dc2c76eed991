// The worker's side: what the substitute service functions do on any thread
// of the sub-plugin. A hit reads a ring in place; a miss or an audio request
// posts a round trip to the editor's thread (serving_side.cpp); a note is
// left for it.
//
// A posted request is one round trip under request_lock: the worker writes
// the mailbox's request fields, publishes them with a release store of its
// `command`, signals wake_event and waits on done_event. The serving thread
// loads `command` with acquire, serves, stores Idle and only then signals
// done_event: in the other order the worker's next request could be
// overwritten by the late Idle.
//
// wake_event is signalled only when the serving thread has said that it is
// about to wait (the handoff's serving_wait), and only for what the wait is
// for: under Wine a signal is a round trip to the server, and so is the wait
// it ends.
// A busy serving thread reads every field at the end of its pass anyway.
// The worker stores what it has to tell, then reads the word; the serving
// thread stores the word, then reads the fields again before it waits; all
// of them sequentially consistent, so that, as in Dekker's protocol, at
// least one of them sees the other.
//
// - A request always ends the wait.
// - A hit (video or flag) ends it only when its ring runs low, the frame
//   read_ahead_lead after it missing: the serving thread then refills the
//   whole window in one go, several frames for one wake-up, while the
//   encoder reads on through what is left.
// - A note (progress, preview, abort check) ends a wait that is not brief.
//   While notes keep coming the serving thread waits briefly (30 ms), and
//   they wait for that bound instead of each costing a wake-up.
#include <atomic>

#include "platform/messages.h"
#include "plugin/relay_context.h"
#include "relay/read_ahead_ring.h"
#include "relay/service_functions.h"

// The fields the serving thread is to look at must be stored before this.
// Those stores are sequentially consistent, as this load is: it must not
// be ordered before them. The tags that a hit looks at were all written
// before the serving thread stored the word this load reads.
void RelayContext::WakeServingThread(Nudge nudge) {
    const auto wait = static_cast<ServingWait>(channel->handoff.serving_wait.load(std::memory_order_seq_cst));
    if (wait == ServingWait::None) return;
    const int32_t frame_count = host_copy.frame_count;
    switch (nudge) {
        case Nudge::Request: break;
        case Nudge::Note:
            if (wait != ServingWait::ForAnything) return;
            break;
        case Nudge::VideoHit:
            if (!VideoRing().RunningLow(channel->video_ring.position.load(std::memory_order_relaxed),
                                        channel->handoff.read_ahead_lead, frame_count)) {
                return;
            }
            break;
        case Nudge::FlagHit:
            if (!FlagRing().RunningLow(channel->flag_ring.position.load(std::memory_order_relaxed),
                                       channel->handoff.read_ahead_lead, frame_count)) {
                return;
            }
            break;
    }
    // The exchange lets only one of several threads of the sub-plugin signal.
    if (channel->handoff.serving_wait.exchange(static_cast<uint8_t>(ServingWait::None), std::memory_order_seq_cst) !=
        static_cast<uint8_t>(ServingWait::None)) {
        wake_event.Signal();
    }
}

// The editor's thread serves one request at a time; the lock keeps a
// sub-plugin's own threads from interleaving their round trips.
class RelayContext::RoundTrip {
public:
    explicit RoundTrip(RelayContext& context) : context_(context) { context_.request_lock.Enter(); }
    ~RoundTrip() { context_.request_lock.Leave(); }
    RoundTrip(const RoundTrip&) = delete;
    RoundTrip& operator=(const RoundTrip&) = delete;

    // The request fields must be written before this.
    void Post(RelayCommand code, int32_t frame = -1) {
        RelayActivity& activity = context_.channel->activity;
        activity.last_command.store(static_cast<int32_t>(code), std::memory_order_relaxed);
        activity.last_frame.store(frame, std::memory_order_relaxed);
        activity.requests_posted.fetch_add(1, std::memory_order_relaxed);
        context_.channel->mailbox.command.store(static_cast<int32_t>(code), std::memory_order_seq_cst);
        context_.WakeServingThread(Nudge::Request);
        context_.done_event.Wait(platform::WaitLimit::Forever);
        activity.requests_answered.fetch_add(1, std::memory_order_relaxed);
    }

private:
    RelayContext& context_;
};

void* RelayContext::RelayVideo(int frame, uint32_t format) {
    if (frame < 0) {
        // Its slot index would be negative; answer as a fetch that failed.
        channel->aborted.store(1, std::memory_order_release);
        return nullptr;
    }
    const ReadAheadRing ring = VideoRing();
    // In a helper program, slots the serving side has replaced since this
    // side mapped them are not the ones the tags speak of.
    const bool hit = format != kNoFormat && format == channel->video_ring.format.load(std::memory_order_acquire) &&
                     (worker_link == nullptr || worker_link->SlotsCurrent()) && ring.MoveAndLookUp(frame);
    if (!hit) {
        // The serving thread decides the answer while this thread waits: the
        // slot (with the frame, or zeros once the export is aborted), or the
        // editor's own null. Taken before the lock is left, so that another
        // thread's request cannot overwrite it first.
        void* answer = nullptr;
        {
            RoundTrip trip(*this);
            channel->mailbox.video_frame = frame;
            channel->mailbox.video_format = format;
            trip.Post(RelayCommand::Video, frame);
            // The slot's address too: under the lock no other thread's
            // request can change the format and with it the region.
            const int32_t slot = channel->mailbox.video_slot;
            if (worker_link != nullptr) {
                answer = LinkedSlot(slot);
            } else if (slot != kNoSlot) {
                answer = VideoSlot(slot);
            }
        }
        ring.MoveTo(frame);
        return answer;
    }
    channel->activity.video_hits.fetch_add(1, std::memory_order_relaxed);
    WakeServingThread(Nudge::VideoHit);  // the read-ahead moves on once it runs low
    uint8_t* slots = buffers.video_slots.load(std::memory_order_acquire);
    const int32_t stride = buffers.slot_stride.load(std::memory_order_acquire);
    if (slots == nullptr || stride == 0) return nullptr;
    return slots + static_cast<size_t>(ring.SlotOf(frame)) * static_cast<size_t>(stride);
}

// The answer's slot in a helper program, under the request lock: the slots
// the answer speaks of are mapped first if they are new. The serving side is
// another process, and its slot number is checked like any other input.
uint8_t* RelayContext::LinkedSlot(int32_t slot) {
    int32_t stride = 0;
    uint8_t* slots = worker_link->SyncSlots(&stride);
    buffers.slot_stride.store(slots != nullptr ? stride : 0, std::memory_order_release);
    buffers.video_slots.store(slots, std::memory_order_release);
    if (slots == nullptr || slot < 0 || slot >= buffers.video_tags.count()) return nullptr;
    return slots + static_cast<size_t>(slot) * static_cast<size_t>(stride);
}

int RelayContext::RelayFlag(int frame) {
    // Such as "the frame before the first": no frame has it, and a flag has
    // no failure that could end the export. Its slot index would be negative.
    if (frame < 0) return 0;
    int32_t value = 0;
    if (FlagRing().ReadHeld(frame, [this, &value](int32_t slot) {
            value = buffers.flag_values[slot].load(std::memory_order_acquire);
        })) {
        channel->activity.flag_hits.fetch_add(1, std::memory_order_relaxed);
        WakeServingThread(Nudge::FlagHit);
        return value;
    }
    // The answer comes back in the mailbox, read before the lock is left: a
    // sub-plugin thread of its own could move the position and let the ring
    // slot be refilled before this thread looked at it.
    RoundTrip trip(*this);
    channel->mailbox.flag_frame = frame;
    trip.Post(RelayCommand::Flag, frame);
    return channel->mailbox.flag_result;
}

void* RelayContext::RelayAudio(int start, int length, int* read) {
    RoundTrip trip(*this);
    channel->mailbox.audio_start = start;
    channel->mailbox.audio_length = length;
    channel->mailbox.audio_read = read;
    trip.Post(RelayCommand::Audio);
    if (worker_link != nullptr) {
        int32_t samples = 0;
        void* data = worker_link->TakeAudio(&samples);
        if (read != nullptr) *read = samples;
        return data;
    }
    return channel->mailbox.audio_result;
}

int RelayContext::RelayAbortCheck() {
    channel->notes.abort_check_pending.store(1, std::memory_order_seq_cst);
    WakeServingThread(Nudge::Note);
    platform::PumpMessages();
    return channel->aborted.load(std::memory_order_acquire);
}

int RelayContext::RelayProgress(int position, int total) {
    channel->notes.progress_position.store(position, std::memory_order_seq_cst);
    channel->notes.progress_total.store(total, std::memory_order_seq_cst);
    WakeServingThread(Nudge::Note);
    return 1;
}

int RelayContext::RelayPreview() {
    channel->notes.preview_pending.store(1, std::memory_order_seq_cst);
    WakeServingThread(Nudge::Note);
    return 1;
}

// The sub-plugin's service functions carry no context; they find it through
// the module-wide pointer, which exists for the whole export.
void* RelayGetVideo(int frame) { return RelayGetVideoEx(frame, kFormatDefault); }

void* RelayGetVideoEx(int frame, uint32_t format) {
    RelayContext* context = ModuleContext();
    return context != nullptr ? context->RelayVideo(frame, format) : nullptr;
}

void* RelayGetAudio(int start, int length, int* read) {
    RelayContext* context = ModuleContext();
    if (context == nullptr) {
        if (read != nullptr) *read = 0;
        return nullptr;
    }
    return context->RelayAudio(start, length, read);
}

int RelayIsAbort() {
    RelayContext* context = ModuleContext();
    return context != nullptr ? context->RelayAbortCheck() : 1;
}

int RelayShowProgress(int position, int total) {
    RelayContext* context = ModuleContext();
    return context != nullptr ? context->RelayProgress(position, total) : 0;
}

int RelayGetFlag(int frame) {
    RelayContext* context = ModuleContext();
    return context != nullptr ? context->RelayFlag(frame) : 0;
}

int RelayUpdatePreview() {
    RelayContext* context = ModuleContext();
    return context != nullptr ? context->RelayPreview() : 0;
}
