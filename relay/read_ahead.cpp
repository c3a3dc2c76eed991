// The serving side of the read-ahead rings. Only the editor's thread runs
// this code; the worker reads tags, flag values and slots without a lock
// (request_channel.cpp). Both rings follow one protocol (read_ahead_ring.h);
// here are their payloads: frames copied into the slot region, and flags.
#include <cstdint>
#include <cstring>
#include <limits>

#include "platform/pages.h"
#include "plugin/relay_context.h"
#include "plugin/show_error.h"
#include "relay/read_ahead_ring.h"
#include "relay/relay_messages.h"

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

ReadAheadRing RelayContext::VideoRing() { return ReadAheadRing(video_tags, last_video_frame); }

ReadAheadRing RelayContext::FlagRing() { return ReadAheadRing(flag_tags, last_flag_frame); }

uint8_t* RelayContext::VideoSlot(int32_t slot) const {
    return video_slots.load(std::memory_order_relaxed) +
           static_cast<size_t>(slot) * static_cast<size_t>(slot_stride.load(std::memory_order_relaxed));
}

void RelayContext::ReleaseVideoSlots() {
    platform::ReleasePages(video_slots.exchange(nullptr, std::memory_order_acq_rel), video_region_bytes);
    video_region_bytes = 0;
}

bool RelayContext::EnsureVideoFormat() {
    const uint32_t wanted = req_video_format;
    if (wanted != kNoFormat && current_format.load(std::memory_order_relaxed) == wanted &&
        video_slots.load(std::memory_order_relaxed) != nullptr) {
        return true;
    }

    video_tags.Fill(kEmptyTag);
    refused_video_frame = -1;  // it was refused in the old format
    video_frame_bytes = 0;
    slot_stride.store(0, std::memory_order_release);
    ReleaseVideoSlots();
    // The format names the ring only while a region exists, so that no later
    // request in the old format can reach a released region.
    current_format.store(kNoFormat, std::memory_order_release);

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
            region = platform::AllocatePages(static_cast<size_t>(region_bytes));
        }
    }
    if (region == nullptr) {
        // Once the export is aborted the user has been told, or has
        // cancelled; requests read on until the sub-plugin notices, and each
        // would show the message again.
        if (aborted.load(std::memory_order_acquire) == 0) ShowError(kBufferMemoryMessage);
        return false;
    }

    video_region_bytes = static_cast<size_t>(region_bytes);
    video_frame_bytes = static_cast<int32_t>(frame_bytes);
    slot_stride.store(static_cast<int32_t>(stride), std::memory_order_release);
    video_slots.store(static_cast<uint8_t*>(region), std::memory_order_release);
    current_format.store(wanted, std::memory_order_release);
    return true;
}

bool RelayContext::PrefetchVideo(int32_t behind, int32_t ahead) {
    const ReadAheadRing ring = VideoRing();
    const uint32_t format = current_format.load(std::memory_order_relaxed);
    const int32_t position = ring.Position();
    return format != kNoFormat && video_slots.load(std::memory_order_relaxed) != nullptr &&
           ring.PrefetchAround(position, behind, ahead, host_copy.frame_count,
                               [this, format, position](int32_t frame, int32_t slot) {
                                   if (CopyFrame(frame, format, slot)) return true;
                                   // The worker stands on a frame its slot does not hold: its request
                                   // for it is on the way, and the editor's null is that request's answer.
                                   if (frame == position) refused_video_frame = frame;
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
        aborted.store(1, std::memory_order_release);
        return false;
    }
    std::memcpy(VideoSlot(slot), source, static_cast<size_t>(video_frame_bytes));
    ++serving.frames_copied;
    return true;
}

bool RelayContext::CopyFlag(int32_t frame, int32_t slot) {
    flag_values[slot].store(host_info->get_flag(frame), std::memory_order_release);
    ++serving.flags_read;
    return true;
}

void RelayContext::FillVideo() {
    video_result = nullptr;
    const int32_t frame = req_video_frame;
    const uint32_t format = req_video_format;
    if (frame < 0) {  // the worker answers these itself; never index a ring with them
        aborted.store(1, std::memory_order_release);
        return;
    }
    // Also once the export is aborted: a request in another format, or the
    // first one, still needs a slot of its own size to be answered with.
    if (format != current_format.load(std::memory_order_relaxed) || format == kNoFormat) {
        if (!EnsureVideoFormat()) {
            aborted.store(1, std::memory_order_release);
            return;
        }
    }
    const ReadAheadRing ring = VideoRing();
    const int32_t slot = ring.SlotOf(frame);
    if (aborted.load(std::memory_order_acquire) != 0) {
        if (frame == refused_video_frame) {  // the editor's own null, once
            refused_video_frame = -1;
            return;
        }
        // The editor is no longer asked, but it never answers a cancelled
        // export with null, and a sub-plugin may read one more frame before
        // it asks is_abort again. A slot that does not hold the frame gives
        // zeros, never another frame's bytes.
        if (!ring.Holds(frame)) {
            ring.Empty(slot);
            std::memset(VideoSlot(slot), 0, static_cast<size_t>(video_frame_bytes));
        }
        video_result = VideoSlot(slot);
        return;
    }
    // A refused fetch passes the editor's own null on.
    const auto fill = ring.FillRequest(
        frame, [this, format](int32_t wanted, int32_t into) { return CopyFrame(wanted, format, into); });
    if (fill != ReadAheadRing::Fill::Refused) video_result = VideoSlot(slot);
}

void RelayContext::FillFlag() {
    const int32_t frame = req_flag_frame;
    if (frame < 0) {  // the worker answers these itself; never index a ring with them
        flag_result = 0;
        return;
    }
    const ReadAheadRing ring = FlagRing();
    const int32_t slot = ring.SlotOf(frame);
    if (aborted.load(std::memory_order_acquire) != 0) {
        // Whatever the slot holds, possibly another frame's flag: the
        // sub-plugin learns of the abort through is_abort.
        flag_result = flag_values[slot].load(std::memory_order_acquire);
        return;
    }
    ring.FillRequest(frame, [this](int32_t wanted, int32_t into) { return CopyFlag(wanted, into); });
    flag_result = flag_values[slot].load(std::memory_order_relaxed);
}
