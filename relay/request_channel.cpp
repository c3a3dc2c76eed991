// The worker's side of the channel to the editor's thread, and the serving
// side's audio and notes.
//
// A posted request is one round trip under request_lock: the worker writes
// the request fields, publishes them with a release store of `command`,
// signals wake_event and waits on done_event. The serving thread loads
// `command` with acquire, serves, stores Idle and only then signals
// done_event: in the other order the worker's next request could be
// overwritten by the late Idle.
//
// wake_event is signalled only when the serving thread has said that it is
// about to wait (serving_wait), and only for what the wait is for: under
// Wine a signal is a round trip to the server, and so is the wait it ends.
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
    const auto wait = static_cast<ServingWait>(serving_wait.load(std::memory_order_seq_cst));
    if (wait == ServingWait::None) return;
    const int32_t frame_count = host_copy.frame_count;
    switch (nudge) {
        case Nudge::Request: break;
        case Nudge::Note:
            if (wait != ServingWait::ForAnything) return;
            break;
        case Nudge::VideoHit:
            if (!VideoRing().RunningLow(last_video_frame.load(std::memory_order_relaxed), read_ahead_lead,
                                        frame_count)) {
                return;
            }
            break;
        case Nudge::FlagHit:
            if (!FlagRing().RunningLow(last_flag_frame.load(std::memory_order_relaxed), read_ahead_lead, frame_count)) {
                return;
            }
            break;
    }
    // The exchange lets only one of several threads of the sub-plugin signal.
    if (serving_wait.exchange(static_cast<uint8_t>(ServingWait::None), std::memory_order_seq_cst) !=
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
        RelayActivity& activity = context_.activity;
        activity.last_command.store(static_cast<int32_t>(code), std::memory_order_relaxed);
        activity.last_frame.store(frame, std::memory_order_relaxed);
        activity.requests_posted.fetch_add(1, std::memory_order_relaxed);
        context_.command.store(static_cast<int32_t>(code), std::memory_order_seq_cst);
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
        aborted.store(1, std::memory_order_release);
        return nullptr;
    }
    const ReadAheadRing ring = VideoRing();
    const bool hit =
        format != kNoFormat && format == current_format.load(std::memory_order_acquire) && ring.MoveAndLookUp(frame);
    if (!hit) {
        // The serving thread decides the answer while this thread waits: the
        // slot (with the frame, or zeros once the export is aborted), or the
        // editor's own null. Taken before the lock is left, so that another
        // thread's request cannot overwrite it first.
        void* answer = nullptr;
        {
            RoundTrip trip(*this);
            req_video_frame = frame;
            req_video_format = format;
            trip.Post(RelayCommand::Video, frame);
            answer = video_result;
        }
        ring.MoveTo(frame);
        return answer;
    }
    activity.video_hits.fetch_add(1, std::memory_order_relaxed);
    WakeServingThread(Nudge::VideoHit);  // the read-ahead moves on once it runs low
    uint8_t* slots = video_slots.load(std::memory_order_acquire);
    const int32_t stride = slot_stride.load(std::memory_order_acquire);
    if (slots == nullptr || stride == 0) return nullptr;
    return slots + static_cast<size_t>(ring.SlotOf(frame)) * static_cast<size_t>(stride);
}

int RelayContext::RelayFlag(int frame) {
    // Such as "the frame before the first": no frame has it, and a flag has
    // no failure that could end the export. Its slot index would be negative.
    if (frame < 0) return 0;
    int32_t value = 0;
    if (FlagRing().ReadHeld(
            frame, [this, &value](int32_t slot) { value = flag_values[slot].load(std::memory_order_acquire); })) {
        activity.flag_hits.fetch_add(1, std::memory_order_relaxed);
        WakeServingThread(Nudge::FlagHit);
        return value;
    }
    // The answer comes back in flag_result, read before the lock is left: a
    // sub-plugin thread of its own could move the position and let the ring
    // slot be refilled before this thread looked at it.
    RoundTrip trip(*this);
    req_flag_frame = frame;
    trip.Post(RelayCommand::Flag, frame);
    return flag_result;
}

void* RelayContext::RelayAudio(int start, int length, int* read) {
    RoundTrip trip(*this);
    req_audio_start = start;
    req_audio_length = length;
    req_audio_read = read;
    trip.Post(RelayCommand::Audio);
    return audio_result;
}

int RelayContext::RelayAbortCheck() {
    abort_check_pending.store(1, std::memory_order_seq_cst);
    WakeServingThread(Nudge::Note);
    platform::PumpMessages();
    return aborted.load(std::memory_order_acquire);
}

int RelayContext::RelayProgress(int position, int total) {
    progress_position.store(position, std::memory_order_seq_cst);
    progress_total.store(total, std::memory_order_seq_cst);
    WakeServingThread(Nudge::Note);
    return 1;
}

int RelayContext::RelayPreview() {
    preview_pending.store(1, std::memory_order_seq_cst);
    WakeServingThread(Nudge::Note);
    return 1;
}

void RelayContext::FillAudio() {
    if (aborted.load(std::memory_order_acquire) != 0) {
        audio_result = nullptr;
        if (req_audio_read != nullptr) *req_audio_read = 0;
        return;
    }
    // The editor writes the count through `read`; a sub-plugin that passes
    // null gets the audio without it rather than a write through null.
    int ignored = 0;
    audio_result =
        host_info->get_audio(req_audio_start, req_audio_length, req_audio_read != nullptr ? req_audio_read : &ignored);
}

bool RelayContext::FlushNotifications() {
    if (aborted.load(std::memory_order_acquire) != 0) return false;
    bool forwarded = false;
    // Each note is taken before it is forwarded, so that one left while the
    // editor's function runs is kept for the next pass instead of lost.
    if (preview_pending.exchange(0, std::memory_order_acq_rel) != 0) {
        host_info->update_preview();
        forwarded = true;
    }
    const int32_t position = progress_position.load(std::memory_order_acquire);
    const int32_t total = progress_total.load(std::memory_order_acquire);
    if (position != shown_position || total != shown_total) {
        host_info->show_progress(position, total);
        shown_position = position;
        shown_total = total;
        forwarded = true;
    }
    if (abort_check_pending.exchange(0, std::memory_order_acq_rel) != 0) {
        forwarded = true;
        // Only ever raise the flag: the worker may have set it meanwhile
        // (a frame number below 0), and that must not be cleared.
        if (int answer = host_info->is_abort()) {
            int32_t expected = 0;
            aborted.compare_exchange_strong(expected, answer, std::memory_order_acq_rel);
        }
    }
    return forwarded;
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
