#include "isolated/protocol/section_links.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <limits>

namespace {

// Sections are made in whole allocation units of the system, so that the
// size announced is the size mapped: a view may not end inside a page that
// the other side could still reach.
constexpr uint64_t kSectionUnit = 64 * 1024;
// An audio answer larger than this is not carried (hours of audio in one
// request: no encoder asks for it, and it would take the helper's room).
constexpr uint64_t kAudioLimit = 256u * 1024 * 1024;

uint64_t RoundToUnit(uint64_t bytes) { return (bytes + kSectionUnit - 1) / kSectionUnit * kSectionUnit; }

}  // namespace

SectionServingLink::SectionServingLink(ControlBlock& block, PeerProcess& peer, const char* encoder_name,
                                       int32_t sample_bytes, SilenceLimits limits)
    : block_(block),
      peer_(peer),
      encoder_name_(encoder_name),
      sample_bytes_(sample_bytes > 0 ? sample_bytes : 0),
      limits_(limits) {}

SectionServingLink::~SectionServingLink() { StopBringingIn(); }

unsigned THREAD_ENTRY_CALL SectionServingLink::BringInSlots(void* link) {
    auto* self = static_cast<SectionServingLink*>(link);
    self->slots_.BringIn(self->stop_bringing_in_);
    return 0;
}

// Without the thread the export runs as well, only with the first touches
// on the editor's thread.
void SectionServingLink::StartBringingIn() {
    stop_bringing_in_.store(false, std::memory_order_relaxed);
    static_cast<void>(bringing_in_.Start(&BringInSlots, this));
}

// Before the section goes: the thread reads its view.
void SectionServingLink::StopBringingIn() {
    if (!bringing_in_.Started()) return;
    stop_bringing_in_.store(true, std::memory_order_relaxed);
    bringing_in_.Join();
}

// The notice goes out before the answer that needs it, and its generation
// last (release): the helper that loads it (acquire) finds the handle and
// sizes that go with it.
bool SectionServingLink::Announce(SectionNotice& notice, const platform::SharedMemory& section, int32_t stride) {
    const platform::ObjectHandle remote = peer_.DuplicateIntoPeer(section.handle());
    if (remote == 0 || remote > std::numeric_limits<uint32_t>::max()) return false;
    notice.handle = static_cast<uint32_t>(remote);
    notice.bytes = static_cast<uint32_t>(section.size());
    notice.stride = stride;
    notice.generation.store(notice.generation.load(std::memory_order_relaxed) + 1, std::memory_order_release);
    return true;
}

uint8_t* SectionServingLink::CreateSlotRegion(size_t bytes, int32_t stride) {
    StopBringingIn();
    slots_.Close();
    const uint64_t rounded = RoundToUnit(bytes);
    if (bytes == 0 || stride <= 0 || rounded > std::numeric_limits<uint32_t>::max()) return nullptr;
    if (!slots_.Create(static_cast<size_t>(rounded))) return nullptr;
    if (!Announce(block_.slots, slots_, stride)) {
        slots_.Close();
        return nullptr;
    }
    StartBringingIn();
    return slots_.data();
}

void SectionServingLink::ReleaseSlotRegion() {
    StopBringingIn();
    peer_.LetSectionGo(slots_);
}

bool SectionServingLink::EnsureAudioRoom(size_t bytes) {
    if (audio_ && audio_.size() >= bytes) return true;
    audio_.Close();
    return audio_.Create(static_cast<size_t>(RoundToUnit(std::max<uint64_t>(bytes, 1)))) &&
           Announce(block_.audio, audio_, 0);
}

void SectionServingLink::CarryAudio(const void* data, int32_t samples_read) {
    AudioAnswer& answer = block_.audio_answer;
    answer = AudioAnswer{};
    if (data == nullptr) {
        answer.samples_read = samples_read;
        return;
    }
    const int64_t bytes = samples_read > 0 ? static_cast<int64_t>(samples_read) * sample_bytes_ : 0;
    // What cannot be carried whole goes as no audio: a part of it would be
    // taken for all of it.
    if (bytes > static_cast<int64_t>(kAudioLimit) || (samples_read > 0 && sample_bytes_ == 0) ||
        !EnsureAudioRoom(static_cast<size_t>(bytes))) {
        return;
    }
    std::memcpy(audio_.data(), data, static_cast<size_t>(bytes));
    answer.present = 1;
    answer.samples_read = samples_read;
    answer.bytes = static_cast<int32_t>(bytes);
}

ServingLink::Silence SectionServingLink::WorkerSilent() {
    const Clock::time_point now = Clock::now();
    if (!silent_) {
        silent_ = true;
        silent_since_ = now;
    }
    if (cancelled_) {
        if (now - cancelled_at_ < limits_.after_cancel) return Silence::AskEditor;
        peer_.EndUnanswering(encoder_name_);
        return Silence::GiveUp;
    }
    return now - silent_since_ >= limits_.before_asking ? Silence::AskEditor : Silence::KeepWaiting;
}

void SectionServingLink::WorkerHeard() {
    silent_ = false;
    cancelled_ = false;
}

void SectionServingLink::EditorCancelled() {
    if (cancelled_) return;
    cancelled_ = true;
    cancelled_at_ = Clock::now();
}

SectionWorkerLink::SectionWorkerLink(ControlBlock& block, int32_t buffer_count, int32_t sample_bytes)
    : block_(block), buffer_count_(buffer_count), sample_bytes_(sample_bytes > 0 ? sample_bytes : 0) {}

bool SectionWorkerLink::Sync(const SectionNotice& notice, platform::SharedMemory& section, uint32_t& mapped,
                             uint64_t least_bytes) {
    const uint32_t generation = notice.generation.load(std::memory_order_acquire);
    if (generation == mapped) return static_cast<bool>(section);
    mapped = generation;
    // Taken over even when it is refused below, so that it is closed.
    const uint64_t bytes = notice.bytes;
    if (!section.Map(notice.handle, static_cast<size_t>(bytes))) return false;
    if (bytes < least_bytes) {
        section.Close();
        return false;
    }
    return true;
}

// Any thread of the encoder, without the lock: only the atomic is read here.
bool SectionWorkerLink::SlotsCurrent() const {
    const uint32_t usable = usable_slots_.load(std::memory_order_acquire);
    return usable != 0 && block_.slots.generation.load(std::memory_order_acquire) == usable;
}

uint8_t* SectionWorkerLink::SyncSlots(int32_t* stride) {
    *stride = 0;
    const int32_t announced = block_.slots.stride;
    // The slots that the tags index must lie within what is mapped.
    const uint64_t least = announced > 0 ? static_cast<uint64_t>(announced) * static_cast<uint64_t>(buffer_count_)
                                         : std::numeric_limits<uint64_t>::max();
    const uint32_t before = slots_generation_;
    if (!Sync(block_.slots, slots_, slots_generation_, least)) {
        usable_slots_.store(0, std::memory_order_release);
        return nullptr;
    }
    if (slots_generation_ != before) {
        stride_ = announced;
        usable_slots_.store(slots_generation_, std::memory_order_release);
    }
    *stride = stride_;
    return slots_.data();
}

void* SectionWorkerLink::TakeAudio(int32_t* samples_read) {
    const AudioAnswer answer = block_.audio_answer;
    *samples_read = 0;
    if (answer.present == 0) {
        // The editor's own null, with the count it wrote.
        *samples_read = answer.samples_read;
        return nullptr;
    }
    if (answer.samples_read < 0 || answer.bytes < 0 ||
        static_cast<int64_t>(answer.samples_read) * sample_bytes_ != answer.bytes) {
        return nullptr;
    }
    if (!Sync(block_.audio, audio_, audio_generation_, static_cast<uint64_t>(answer.bytes))) return nullptr;
    if (audio_.size() < static_cast<size_t>(answer.bytes)) return nullptr;
    *samples_read = answer.samples_read;
    return audio_.data();
}

void SectionWorkerLink::Close() {
    int32_t stride = 0;
    SyncSlots(&stride);
    Sync(block_.audio, audio_, audio_generation_, 0);
    usable_slots_.store(0, std::memory_order_release);
    slots_.Close();
    audio_.Close();
}
