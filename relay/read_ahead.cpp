// The serving side of the read-ahead rings. Only the editor's thread runs
// this code; the worker reads tags, flag values and slots without a lock
// (request_channel.cpp), so every store that publishes a slot is a release
// store of its tag after the data.
//
// The worker may hit a frame that lies outside the window of the position the
// serving thread last read, and the serving thread may be about to replace
// exactly that slot. Both sides therefore work like Dekker's protocol: the
// worker stores its new position and then loads the tag; the serving thread
// empties the tag and then loads the position again. With sequentially
// consistent operations at least one of them sees the other: either the worker
// sees the empty tag (a miss, served by a request), or the serving thread sees
// the moved position and puts the slot back untouched.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>

#include "platform/pages.h"
#include "plugin/relay_context.h"
#include "plugin/show_error.h"
#include "relay/relay_messages.h"

namespace {

constexpr int64_t kSlotAlignment = 64;

// Size of one frame in `format`, or false for a code the cache refuses. A
// size that is negative or does not fit an int32 is reported as -1, which the
// caller treats as a failed allocation.
bool FrameBytesFor(const OutputInfo& info, uint32_t format, int64_t* bytes) {
    int64_t bytes_per_pixel = 0;
    switch (format) {
        case kFormatDefault:
            *bytes = info.frame_bytes;
            return true;
        case kFormatYUY2:
        case kFormatYUY2Reversed:
            bytes_per_pixel = 2;
            break;
        case kFormatYC48:
        case kFormatYC48Reversed:
            bytes_per_pixel = 6;
            break;
        default:
            return false;  // kNoFormat among them: it marks the absence of slots
    }
    if (info.width < 0 || info.height < 0) {
        *bytes = -1;
        return true;
    }
    // Both factors are below 2^31, so the pixel count fits 62 bits and the
    // byte count 65 bits would not: test the pixel count first.
    int64_t pixels = static_cast<int64_t>(info.width) * info.height;
    *bytes = pixels > std::numeric_limits<int32_t>::max() ? -1 : pixels * bytes_per_pixel;
    return true;
}

struct Window {
    int64_t first;
    int64_t end;  // excluded
};

Window WindowAround(int32_t position, int32_t behind, int32_t ahead, int32_t frame_count) {
    int64_t first = std::max<int64_t>(0, static_cast<int64_t>(position) - behind);
    int64_t end = std::min<int64_t>(frame_count, static_cast<int64_t>(position) + ahead);
    return {first, end};
}

}  // namespace

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
    video_frame_bytes = 0;
    slot_stride.store(0, std::memory_order_release);
    ReleaseVideoSlots();
    // The format names the ring only while a region exists, so that no later
    // request in the old format can reach a released region.
    current_format.store(kNoFormat, std::memory_order_release);

    int64_t frame_bytes = 0;
    if (!FrameBytesFor(host_copy, wanted, &frame_bytes)) return false;

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
    const uint32_t format = current_format.load(std::memory_order_relaxed);
    uint8_t* const slots = video_slots.load(std::memory_order_relaxed);
    if (format == kNoFormat || slots == nullptr) return false;

    const int32_t position = last_video_frame.load(std::memory_order_seq_cst);
    const Window window = WindowAround(position, behind, ahead, host_copy.frame_count);
    for (int64_t frame = window.first; frame < window.end; ++frame) {
        const int32_t slot = static_cast<int32_t>(frame % buffer_count);
        if (video_tags[slot].load(std::memory_order_relaxed) == frame) continue;

        const int32_t displaced = video_tags[slot].exchange(kEmptyTag, std::memory_order_seq_cst);
        if (last_video_frame.load(std::memory_order_seq_cst) != position) {
            // The worker moved meanwhile and may be reading the displaced
            // frame; leave it, and lay the window anew on the next pass.
            video_tags[slot].store(displaced, std::memory_order_release);
            return true;
        }
        const void* source = host_info->get_video_ex(static_cast<int>(frame), format);
        if (source != nullptr) {
            std::memcpy(slots + static_cast<size_t>(slot) * static_cast<size_t>(slot_stride.load(std::memory_order_relaxed)),
                        source, static_cast<size_t>(video_frame_bytes));
            video_tags[slot].store(static_cast<int32_t>(frame), std::memory_order_release);
        } else {
            aborted.store(1, std::memory_order_release);
        }
        return true;
    }
    return false;
}

bool RelayContext::PrefetchFlag(int32_t behind, int32_t ahead) {
    const int32_t position = last_flag_frame.load(std::memory_order_seq_cst);
    const Window window = WindowAround(position, behind, ahead, host_copy.frame_count);
    for (int64_t frame = window.first; frame < window.end; ++frame) {
        const int32_t slot = static_cast<int32_t>(frame % buffer_count);
        if (flag_tags[slot].load(std::memory_order_relaxed) == frame) continue;

        const int32_t displaced = flag_tags[slot].exchange(kEmptyTag, std::memory_order_seq_cst);
        if (last_flag_frame.load(std::memory_order_seq_cst) != position) {
            flag_tags[slot].store(displaced, std::memory_order_release);
            return true;
        }
        flag_values[slot].store(host_info->get_flag(static_cast<int>(frame)), std::memory_order_release);
        flag_tags[slot].store(static_cast<int32_t>(frame), std::memory_order_release);
        return true;
    }
    return false;
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
    const int32_t slot = frame % buffer_count;
    uint8_t* const answer = video_slots.load(std::memory_order_relaxed) +
                            static_cast<size_t>(slot) * static_cast<size_t>(slot_stride.load(std::memory_order_relaxed));

    if (aborted.load(std::memory_order_acquire) != 0) {
        // The editor is no longer asked, but it never answers a cancelled
        // export with null, and a sub-plugin may read one more frame before
        // it asks is_abort again. A slot that does not hold the frame gives
        // zeros, never another frame's bytes.
        if (video_tags[slot].load(std::memory_order_relaxed) != frame) {
            video_tags[slot].store(kEmptyTag, std::memory_order_seq_cst);
            std::memset(answer, 0, static_cast<size_t>(video_frame_bytes));
        }
        video_result = answer;
        return;
    }

    // Moving the position before the answer is released keeps the next
    // read-ahead pass from refilling this slot with a frame of the old window.
    last_video_frame.store(frame, std::memory_order_seq_cst);
    if (video_tags[slot].load(std::memory_order_relaxed) == frame) {
        video_result = answer;
        return;
    }
    // The tag names the frame only once its bytes are in place: a failed
    // fetch must not leave stale bytes that a later hit would take.
    video_tags[slot].store(kEmptyTag, std::memory_order_seq_cst);
    const void* source = host_info->get_video_ex(frame, format);
    if (source == nullptr) {
        // The editor's own answer for this frame is passed on.
        aborted.store(1, std::memory_order_release);
        return;
    }
    std::memcpy(answer, source, static_cast<size_t>(video_frame_bytes));
    video_tags[slot].store(frame, std::memory_order_release);
    video_result = answer;
}

void RelayContext::FillFlag() {
    const int32_t frame = req_flag_frame;
    if (frame < 0) {  // the worker answers these itself; never index a ring with them
        flag_result = 0;
        return;
    }
    const int32_t slot = frame % buffer_count;
    if (aborted.load(std::memory_order_acquire) != 0) {
        // Whatever the slot holds, possibly another frame's flag: the
        // sub-plugin learns of the abort through is_abort.
        flag_result = flag_values[slot].load(std::memory_order_acquire);
        return;
    }
    last_flag_frame.store(frame, std::memory_order_seq_cst);
    if (flag_tags[slot].load(std::memory_order_relaxed) == frame) {
        flag_result = flag_values[slot].load(std::memory_order_relaxed);
        return;
    }
    flag_tags[slot].store(kEmptyTag, std::memory_order_seq_cst);
    const int32_t value = host_info->get_flag(frame);
    flag_values[slot].store(value, std::memory_order_release);
    flag_tags[slot].store(frame, std::memory_order_release);
    flag_result = value;
}
