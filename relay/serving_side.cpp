// The serving side: the editor's thread while the worker runs. One loop
// answers the worker's requests, reads ahead into the two rings and forwards
// the notes, and waits when there is nothing to do; the worker reads tags,
// flag values and slots without a lock (worker_side.cpp). Both rings follow
// one protocol (read_ahead_ring.h); here are their payloads: frames copied
// into the slot region, and flags.
#include <atomic>
#include <cstdint>
#include <cstring>
#include <limits>

#include "platform/messages.h"
#include "platform/pages.h"
#include "plugin/relay_context.h"
#include "plugin/show_error.h"
#include "relay/read_ahead_ring.h"
#include "relay/relay_messages.h"

namespace {
// About half a second of brief waits after the last note.
constexpr int32_t kBriefWaitsAfterANote = 16;
}  // namespace

bool RelayContext::ServeRequests() {
    // Computed wide: a restored buffer count may be far above 48.
    const int32_t behind = static_cast<int32_t>((static_cast<int64_t>(buffer_count) - 1) / 3);
    const int32_t ahead = static_cast<int32_t>(static_cast<int64_t>(buffer_count) * 2 / 3);

    channel->handoff.read_ahead_lead = ReadAheadLead(ahead);

    done_event.Signal();
    for (bool last_pass = false; !last_pass; ++serving.passes) {
        switch (static_cast<RelayCommand>(channel->mailbox.command.load(std::memory_order_acquire))) {
            case RelayCommand::Idle: {
                bool worked = false;
                if (channel->aborted.load(std::memory_order_acquire) == 0) {
                    const bool video = PrefetchVideo(behind, ahead);
                    const bool flag = PrefetchFlag(behind, ahead);
                    worked = video || flag;
                }
                if (!worked) last_pass = WaitForWork();
                break;
            }
            case RelayCommand::Audio:
                FillAudio();
                ReleaseAnswer();
                break;
            case RelayCommand::Flag:
                FillFlag();
                ReleaseAnswer();
                break;
            case RelayCommand::Video:
                FillVideo();
                ReleaseAnswer();
                break;
            default: last_pass = true; break;
        }
        if (FlushNotifications()) channel->handoff.brief_waits_left = kBriefWaitsAfterANote;
    }
    return true;
}

// Idle first, the signal second: in the other order the worker's next
// request could be overwritten by the late Idle.
void RelayContext::ReleaseAnswer() {
    channel->mailbox.command.store(static_cast<int32_t>(RelayCommand::Idle), std::memory_order_release);
    done_event.Signal();
}

bool RelayContext::WaitForWork() {
    // While the sub-plugin leaves notes (an encoder reports its progress and
    // asks is_abort every frame), they wait for a brief bound instead of
    // each ending the wait: the editor still sees them within 30 ms. Once
    // they stop, the first one ends the wait at once.
    const bool brief = channel->handoff.brief_waits_left > 0;
    const ServingWait wait = brief ? ServingWait::ForWork : ServingWait::ForAnything;
    // Say so first, look again second: a worker that stored its news before
    // this store finds no one waiting and signals nothing, so the look must
    // see the news; one that stores after it finds the word and signals.
    channel->handoff.serving_wait.store(static_cast<uint8_t>(wait), std::memory_order_seq_cst);
    if (WorkArrived()) {
        channel->handoff.serving_wait.store(static_cast<uint8_t>(ServingWait::None), std::memory_order_relaxed);
        if (serving_link != nullptr) serving_link->WorkerHeard();
        return false;
    }
    // The sub-plugin may show a window owned by one of the editor's, or send
    // to one: its thread then waits in SendMessage until this thread takes
    // the message, and would never post Finished. Posted messages stay queued.
    ++serving.waits;
    if (brief) ++serving.brief_waits;
    const platform::WaitLimit limit = brief ? platform::WaitLimit::Brief : platform::WaitLimit::HalfSecond;
    if (serving_link != nullptr) return WaitForWorkerProcess(limit, brief);
    const platform::WaitResult result = wake_event.WaitTakingSentMessages(limit);
    channel->handoff.serving_wait.store(static_cast<uint8_t>(ServingWait::None), std::memory_order_relaxed);
    if (result == platform::WaitResult::Signalled) return false;
    CountTimeout(brief);
    // The sub-plugin ended the thread itself (ExitThread): Finished will
    // never come, and the editor must not hang.
    return worker_thread.HasEnded();
}

void RelayContext::CountTimeout(bool brief) {
    if (brief) {
        --channel->handoff.brief_waits_left;
        ++serving.brief_timeouts;
    } else {
        ++serving.timed_out_waits;
    }
}

// The worker's side in another process: the wait ends as soon as that
// process does, and a worker that keeps silent is asked after.
bool RelayContext::WaitForWorkerProcess(platform::WaitLimit limit, bool brief) {
    const platform::WaitEnd end = platform::WaitForEventOrEnd(wake_event, serving_link->WorkerProcess(), limit,
                                                              platform::WhileWaiting::TakeSentMessages);
    channel->handoff.serving_wait.store(static_cast<uint8_t>(ServingWait::None), std::memory_order_relaxed);
    if (end == platform::WaitEnd::ProcessEnded) return true;
    if (end == platform::WaitEnd::Signalled) {
        serving_link->WorkerHeard();
        return false;
    }
    CountTimeout(brief);
    switch (serving_link->WorkerSilent()) {
        case ServingLink::Silence::KeepWaiting: return false;
        case ServingLink::Silence::AskEditor: {
            // A cancel the encoder already saw counts as well: it may have
            // hung on its way out.
            if (channel->aborted.load(std::memory_order_acquire) == 0) {
                if (int answer = host_info->is_abort()) {
                    int32_t expected = 0;
                    channel->aborted.compare_exchange_strong(expected, answer, std::memory_order_acq_rel);
                }
            }
            if (channel->aborted.load(std::memory_order_acquire) != 0) serving_link->EditorCancelled();
            return false;
        }
        case ServingLink::Silence::GiveUp: return true;
    }
    return false;
}

// What the worker may have stored since this pass looked: a request, a
// note, or a position that leaves a ring running low.
bool RelayContext::WorkArrived() {
    if (channel->mailbox.command.load(std::memory_order_seq_cst) != static_cast<int32_t>(RelayCommand::Idle))
        return true;
    // Once aborted, nothing is read ahead and no note goes to the editor.
    if (channel->aborted.load(std::memory_order_seq_cst) != 0) return false;
    const int32_t frame_count = host_copy.frame_count;
    return channel->notes.preview_pending.load(std::memory_order_seq_cst) != 0 ||
           channel->notes.abort_check_pending.load(std::memory_order_seq_cst) != 0 ||
           channel->notes.progress_position.load(std::memory_order_seq_cst) != channel->notes.shown_position ||
           channel->notes.progress_total.load(std::memory_order_seq_cst) != channel->notes.shown_total ||
           (channel->video_ring.format.load(std::memory_order_relaxed) != kNoFormat &&
            VideoRing().RunningLow(VideoRing().Position(), channel->handoff.read_ahead_lead, frame_count)) ||
           FlagRing().RunningLow(FlagRing().Position(), channel->handoff.read_ahead_lead, frame_count);
}

namespace {

constexpr int64_t kSlotAlignment = 64;

// The size of one frame in a format, as the cache sees it.
struct FrameSize {
    enum class Kind {
        Refused,        // a code the cache does not take (kNoFormat among them)
        Unaddressable,  // negative, or beyond what an int32 counts: a failed allocation
        Bytes,
    };
    Kind kind;
    int64_t bytes;  // for Kind::Bytes only
};

FrameSize FrameBytesFor(const OutputInfo& info, uint32_t format) {
    int64_t bytes_per_pixel = 0;
    switch (format) {
        case kFormatDefault:
            return info.frame_bytes < 0 ? FrameSize{FrameSize::Kind::Unaddressable, 0}
                                        : FrameSize{FrameSize::Kind::Bytes, info.frame_bytes};
        case kFormatYUY2:
        case kFormatYUY2Reversed: bytes_per_pixel = 2; break;
        case kFormatYC48:
        case kFormatYC48Reversed: bytes_per_pixel = 6; break;
        default: return {FrameSize::Kind::Refused, 0};
    }
    if (info.width < 0 || info.height < 0) return {FrameSize::Kind::Unaddressable, 0};
    // Both factors are below 2^31, so the pixel count fits 62 bits and the
    // byte count 65 bits would not: test the pixel count first.
    const int64_t pixels = static_cast<int64_t>(info.width) * info.height;
    if (pixels > std::numeric_limits<int32_t>::max()) return {FrameSize::Kind::Unaddressable, 0};
    return {FrameSize::Kind::Bytes, pixels * bytes_per_pixel};
}

}  // namespace

ReadAheadRing RelayContext::VideoRing() { return ReadAheadRing(buffers.video_tags, channel->video_ring.position); }

ReadAheadRing RelayContext::FlagRing() { return ReadAheadRing(buffers.flag_tags, channel->flag_ring.position); }

uint8_t* RelayContext::VideoSlot(int32_t slot) const {
    return buffers.video_slots.load(std::memory_order_relaxed) +
           static_cast<size_t>(slot) * static_cast<size_t>(buffers.slot_stride.load(std::memory_order_relaxed));
}

void RelayContext::ReleaseVideoSlots() {
    uint8_t* region = buffers.video_slots.exchange(nullptr, std::memory_order_acq_rel);
    if (serving_link != nullptr) {
        if (region != nullptr) serving_link->ReleaseSlotRegion();
    } else if (worker_link == nullptr) {
        platform::ReleasePages(region, buffers.video_region_bytes);
    }
    // The worker's side in a helper maps the slots itself, and lets them go there.
    buffers.video_region_bytes = 0;
}

bool RelayContext::EnsureVideoFormat() {
    const uint32_t wanted = channel->mailbox.video_format;
    if (wanted != kNoFormat && channel->video_ring.format.load(std::memory_order_relaxed) == wanted &&
        buffers.video_slots.load(std::memory_order_relaxed) != nullptr) {
        return true;
    }

    buffers.video_tags.Fill(kEmptyTag);
    channel->video_ring.refused_frame = -1;  // it was refused in the old format
    buffers.video_frame_bytes = 0;
    buffers.slot_stride.store(0, std::memory_order_release);
    ReleaseVideoSlots();
    // The format names the ring only while a region exists, so that no later
    // request in the old format can reach a released region.
    channel->video_ring.format.store(kNoFormat, std::memory_order_release);

    const FrameSize size = FrameBytesFor(host_copy, wanted);
    if (size.kind == FrameSize::Kind::Refused) return false;
    const int64_t frame_bytes = size.kind == FrameSize::Kind::Bytes ? size.bytes : 0;

    // An empty frame, or a region that cannot be addressed in this process
    // (e.g. 48 slots of 3840x2160 YC48 in 32 bits), is a failed allocation.
    void* region = nullptr;
    int64_t stride = 0;
    uint64_t region_bytes = 0;
    if (frame_bytes > 0 && frame_bytes <= std::numeric_limits<int32_t>::max() - (kSlotAlignment - 1)) {
        stride = (frame_bytes + kSlotAlignment - 1) / kSlotAlignment * kSlotAlignment;
        region_bytes = static_cast<uint64_t>(buffer_count) * static_cast<uint64_t>(stride);
        if (region_bytes <= static_cast<uint64_t>(std::numeric_limits<ptrdiff_t>::max())) {
            region = serving_link != nullptr ? serving_link->CreateSlotRegion(static_cast<size_t>(region_bytes),
                                                                              static_cast<int32_t>(stride))
                                             : platform::AllocatePages(static_cast<size_t>(region_bytes));
        }
    }
    if (region == nullptr) {
        // Once the export is aborted the user has been told, or has
        // cancelled; requests read on until the sub-plugin notices, and each
        // would show the message again.
        if (channel->aborted.load(std::memory_order_acquire) == 0) ShowError(kBufferMemoryMessage);
        return false;
    }

    buffers.video_region_bytes = static_cast<size_t>(region_bytes);
    buffers.video_frame_bytes = static_cast<int32_t>(frame_bytes);
    buffers.slot_stride.store(static_cast<int32_t>(stride), std::memory_order_release);
    buffers.video_slots.store(static_cast<uint8_t*>(region), std::memory_order_release);
    channel->video_ring.format.store(wanted, std::memory_order_release);
    return true;
}

bool RelayContext::PrefetchVideo(int32_t behind, int32_t ahead) {
    const ReadAheadRing ring = VideoRing();
    const uint32_t format = channel->video_ring.format.load(std::memory_order_relaxed);
    const int32_t position = ring.Position();
    return format != kNoFormat && buffers.video_slots.load(std::memory_order_relaxed) != nullptr &&
           ring.PrefetchAround(position, behind, ahead, host_copy.frame_count,
                               [this, format, position](int32_t frame, int32_t slot) {
                                   if (CopyFrame(frame, format, slot)) return true;
                                   // The worker stands on a frame its slot does not hold: its request
                                   // for it is on the way, and the editor's null is that request's answer.
                                   if (frame == position) channel->video_ring.refused_frame = frame;
                                   return false;
                               });
}

bool RelayContext::PrefetchFlag(int32_t behind, int32_t ahead) {
    const ReadAheadRing ring = FlagRing();
    return ring.PrefetchAround(ring.Position(), behind, ahead, host_copy.frame_count,
                               [this](int32_t frame, int32_t slot) { return CopyFlag(frame, slot); });
}

bool RelayContext::CopyFrame(int32_t frame, uint32_t format, int32_t slot) {
    const void* source = host_info->get_video_ex(frame, format);
    if (source == nullptr) {
        channel->aborted.store(1, std::memory_order_release);
        return false;
    }
    std::memcpy(VideoSlot(slot), source, static_cast<size_t>(buffers.video_frame_bytes));
    ++serving.frames_copied;
    return true;
}

bool RelayContext::CopyFlag(int32_t frame, int32_t slot) {
    buffers.flag_values[slot].store(host_info->get_flag(frame), std::memory_order_release);
    ++serving.flags_read;
    return true;
}

void RelayContext::FillVideo() {
    channel->mailbox.video_slot = kNoSlot;
    const int32_t frame = channel->mailbox.video_frame;
    const uint32_t format = channel->mailbox.video_format;
    if (frame < 0) {  // the worker answers these itself; never index a ring with them
        channel->aborted.store(1, std::memory_order_release);
        return;
    }
    // Also once the export is aborted: a request in another format, or the
    // first one, still needs a slot of its own size to be answered with.
    if (format != channel->video_ring.format.load(std::memory_order_relaxed) || format == kNoFormat) {
        if (!EnsureVideoFormat()) {
            channel->aborted.store(1, std::memory_order_release);
            return;
        }
    }
    const ReadAheadRing ring = VideoRing();
    const int32_t slot = ring.SlotOf(frame);
    if (channel->aborted.load(std::memory_order_acquire) != 0) {
        if (frame == channel->video_ring.refused_frame) {  // the editor's own null, once
            channel->video_ring.refused_frame = -1;
            return;
        }
        // The editor is no longer asked, but it never answers a cancelled
        // export with null, and a sub-plugin may read one more frame before
        // it asks is_abort again. A slot that does not hold the frame gives
        // zeros, never another frame's bytes.
        if (!ring.Holds(frame)) {
            ring.Empty(slot);
            std::memset(VideoSlot(slot), 0, static_cast<size_t>(buffers.video_frame_bytes));
        }
        channel->mailbox.video_slot = slot;
        return;
    }
    // A refused fetch passes the editor's own null on.
    const auto fill = ring.FillRequest(
        frame, [this, format](int32_t wanted, int32_t into) { return CopyFrame(wanted, format, into); });
    if (fill != ReadAheadRing::Fill::Refused) channel->mailbox.video_slot = slot;
}

void RelayContext::FillFlag() {
    const int32_t frame = channel->mailbox.flag_frame;
    if (frame < 0) {  // the worker answers these itself; never index a ring with them
        channel->mailbox.flag_result = 0;
        return;
    }
    const ReadAheadRing ring = FlagRing();
    const int32_t slot = ring.SlotOf(frame);
    if (channel->aborted.load(std::memory_order_acquire) != 0) {
        // Whatever the slot holds, possibly another frame's flag: the
        // sub-plugin learns of the abort through is_abort.
        channel->mailbox.flag_result = buffers.flag_values[slot].load(std::memory_order_acquire);
        return;
    }
    ring.FillRequest(frame, [this](int32_t wanted, int32_t into) { return CopyFlag(wanted, into); });
    channel->mailbox.flag_result = buffers.flag_values[slot].load(std::memory_order_relaxed);
}

void RelayContext::FillAudio() {
    // The count the worker's side asked with is, from another process, a
    // pointer into that process: never written from here. The editor writes
    // into a count of this one, and the link carries it across.
    const bool aborted = channel->aborted.load(std::memory_order_acquire) != 0;
    if (serving_link != nullptr) {
        if (aborted) {
            serving_link->CarryAudio(nullptr, 0);
            return;
        }
        int read = 0;
        const void* data = host_info->get_audio(channel->mailbox.audio_start, channel->mailbox.audio_length, &read);
        serving_link->CarryAudio(data, read);
        return;
    }
    if (aborted) {
        channel->mailbox.audio_result = nullptr;
        if (channel->mailbox.audio_read != nullptr) *channel->mailbox.audio_read = 0;
        return;
    }
    // The editor writes the count through `read`; a sub-plugin that passes
    // null gets the audio without it rather than a write through null.
    int ignored = 0;
    channel->mailbox.audio_result =
        host_info->get_audio(channel->mailbox.audio_start, channel->mailbox.audio_length,
                             channel->mailbox.audio_read != nullptr ? channel->mailbox.audio_read : &ignored);
}

bool RelayContext::FlushNotifications() {
    if (channel->aborted.load(std::memory_order_acquire) != 0) return false;
    bool forwarded = false;
    // Each note is taken before it is forwarded, so that one left while the
    // editor's function runs is kept for the next pass instead of lost.
    if (channel->notes.preview_pending.exchange(0, std::memory_order_acq_rel) != 0) {
        host_info->update_preview();
        forwarded = true;
    }
    const int32_t position = channel->notes.progress_position.load(std::memory_order_acquire);
    const int32_t total = channel->notes.progress_total.load(std::memory_order_acquire);
    if (position != channel->notes.shown_position || total != channel->notes.shown_total) {
        host_info->show_progress(position, total);
        channel->notes.shown_position = position;
        channel->notes.shown_total = total;
        forwarded = true;
    }
    if (channel->notes.abort_check_pending.exchange(0, std::memory_order_acq_rel) != 0) {
        forwarded = true;
        // Only ever raise the flag: the worker may have set it meanwhile
        // (a frame number below 0), and that must not be cleared.
        if (int answer = host_info->is_abort()) {
            int32_t expected = 0;
            channel->aborted.compare_exchange_strong(expected, answer, std::memory_order_acq_rel);
        }
    }
    return forwarded;
}
