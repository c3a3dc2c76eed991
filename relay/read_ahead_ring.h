// The protocol that both read-ahead rings share, written once: the video
// ring (frames in slots of a region) and the flag ring (one value a slot)
// differ only in their payload and in how the editor is asked for it.
//
// A ring is a set of tags, one per slot (frame f lives in slot f mod count;
// a tag is the frame its slot holds, or kEmptyTag), and a position: the frame
// the worker asked for last. Only the editor's thread writes tags and
// payloads; it stores a tag with release after the payload, and the worker
// compares the tag before it reads the payload.
//
// The worker may hit a frame outside the window of the position the serving
// thread last read, while the serving thread is about to replace exactly
// that slot. Both sides therefore work like Dekker's protocol: the worker
// stores its new position and then loads the tag; the serving thread empties
// the tag and then loads the position again. With sequentially consistent
// operations at least one of them sees the other: either the worker sees the
// empty tag (a miss, served by a request), or the serving thread sees the
// moved position and puts the slot back untouched.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>

#include "plugin/export_state.h"
#include "plugin/owned_memory.h"

// The frames from max(0, position - behind) up to, not including,
// min(frame_count, position + ahead).
struct RingWindow {
    int64_t first;
    int64_t end;
};

inline RingWindow WindowAround(int32_t position, int32_t behind, int32_t ahead, int32_t frame_count) {
    return {std::max<int64_t>(0, static_cast<int64_t>(position) - behind),
            std::min<int64_t>(frame_count, static_cast<int64_t>(position) + ahead)};
}

// How far ahead of the position a waiting read-ahead looks before it is worth
// waking: half the frames ahead, so that each wake-up (a round trip to the
// server under Wine, and the wait it ends) fetches several frames while the
// encoder still has the other half to read. 0 where the window holds no frame
// after the position: nothing to read ahead.
inline int32_t ReadAheadLead(int32_t ahead) {
    const int32_t lead = ahead - ahead / 2;
    return lead < ahead ? lead : 0;
}

// A view of one ring's tags and position, wherever they are held (the
// relay's context, or a test's own). It owns nothing and costs two
// references to make.
class ReadAheadRing {
public:
    ReadAheadRing(AtomicInt32Array& tags, std::atomic<int32_t>& position) : tags_(tags), position_(position) {}

    // Frames below 0 have no slot: their remainder is negative.
    int32_t SlotOf(int32_t frame) const { return frame % tags_.count(); }

    // --- The worker's side (any thread of the sub-plugin).

    // Moves the position to `frame`, then says whether its slot holds it.
    // Position first, tag second: the read-ahead empties a tag first and
    // reads the position second, so it cannot take this slot unnoticed.
    bool MoveAndLookUp(int32_t frame) const {
        position_.store(frame, std::memory_order_seq_cst);
        return tags_[SlotOf(frame)].load(std::memory_order_seq_cst) == frame;
    }

    void MoveTo(int32_t frame) const { position_.store(frame, std::memory_order_seq_cst); }

    // A payload read without the lock, kept only when the slot still holds
    // the frame afterwards: another thread of the sub-plugin may have moved
    // the position meanwhile and let the read-ahead replace the payload
    // while `read(slot)` took it. The payload's acquire load orders this
    // second look after it.
    template <class Read>
    bool ReadHeld(int32_t frame, Read&& read) const {
        if (!MoveAndLookUp(frame)) return false;
        read(SlotOf(frame));
        return tags_[SlotOf(frame)].load(std::memory_order_acquire) == frame;
    }

    // Whether the read-ahead has fallen far enough behind `position` to be
    // worth waking: the frame `lead` after it (or the clip's last frame,
    // where that comes first) is not in its slot. The worker asks this of
    // a serving thread that waits, which wrote every tag before it said so.
    bool RunningLow(int32_t position, int32_t lead, int32_t frame_count) const {
        if (lead <= 0 || position < 0) return false;
        const int64_t wanted = std::min<int64_t>(static_cast<int64_t>(position) + lead, int64_t{frame_count} - 1);
        if (wanted <= position) return false;
        const auto frame = static_cast<int32_t>(wanted);
        return tags_[SlotOf(frame)].load(std::memory_order_acquire) != frame;
    }

    // --- The serving side (the editor's thread only).

    int32_t Position() const { return position_.load(std::memory_order_seq_cst); }

    // One read-ahead step around `position`, as read by Position(): finds the
    // lowest frame of the window that its slot does not hold and has
    // `store(frame, slot)` put its payload in place; the tag then names it
    // when `store` says the editor gave one. False when nothing is missing.
    template <class Store>
    bool PrefetchAround(int32_t position, int32_t behind, int32_t ahead, int32_t frame_count, Store&& store) const {
        const RingWindow window = WindowAround(position, behind, ahead, frame_count);
        for (int64_t wide = window.first; wide < window.end; ++wide) {
            const auto frame = static_cast<int32_t>(wide);
            std::atomic<int32_t>& tag = tags_[SlotOf(frame)];
            if (tag.load(std::memory_order_relaxed) == frame) continue;

            const int32_t displaced = tag.exchange(kEmptyTag, std::memory_order_seq_cst);
            if (position_.load(std::memory_order_seq_cst) != position) {
                // The worker moved meanwhile and may be reading the displaced
                // frame; leave it, and lay the window anew on the next pass.
                tag.store(displaced, std::memory_order_release);
                return true;
            }
            if (store(frame, SlotOf(frame))) tag.store(frame, std::memory_order_release);
            return true;
        }
        return false;
    }

    enum class Fill { AlreadyHeld, Stored, Refused };

    // A posted request for `frame`. Moving the position before the answer is
    // released keeps the next read-ahead pass from refilling this slot with
    // a frame of the old window. The tag names the frame only once `store`
    // has put its payload in place: a refused fetch leaves the slot empty,
    // never with stale bytes that a later hit would take.
    template <class Store>
    Fill FillRequest(int32_t frame, Store&& store) const {
        position_.store(frame, std::memory_order_seq_cst);
        std::atomic<int32_t>& tag = tags_[SlotOf(frame)];
        if (tag.load(std::memory_order_relaxed) == frame) return Fill::AlreadyHeld;
        tag.store(kEmptyTag, std::memory_order_seq_cst);
        if (!store(frame, SlotOf(frame))) return Fill::Refused;
        tag.store(frame, std::memory_order_release);
        return Fill::Stored;
    }

    // Whether the slot holds the frame, as the serving thread sees its own stores.
    bool Holds(int32_t frame) const { return tags_[SlotOf(frame)].load(std::memory_order_relaxed) == frame; }

    // Empties one slot's tag before its payload is overwritten outside the
    // read-ahead (zeros for a frame the editor is no longer asked for).
    void Empty(int32_t slot) const { tags_[slot].store(kEmptyTag, std::memory_order_seq_cst); }

private:
    AtomicInt32Array& tags_;
    std::atomic<int32_t>& position_;
};
