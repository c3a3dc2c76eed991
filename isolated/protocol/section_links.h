// The two halves of an export whose encoder runs in the helper program: the
// editor's side makes the sections (video slots, audio) and announces them in
// the control block; the helper's side maps each new one after the answer
// that names it. Each half checks what the other wrote before it uses it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>

#include "isolated/protocol/control_block.h"
#include "platform/handles.h"
#include "platform/shared_memory.h"
#include "platform/thread.h"
#include "plugin/export_link.h"

// What the editor's half needs of the helper's process.
class PeerProcess {
public:
    virtual ~PeerProcess() = default;
    virtual platform::ObjectHandle Process() const = 0;
    // One of the editor's handles, duplicated into the helper; 0 on failure.
    // The helper owns the copy from then on.
    virtual platform::ObjectHandle DuplicateIntoPeer(platform::ObjectHandle handle) const = 0;
    // Ends a helper whose encoder stopped answering after the editor's
    // cancel, and tells the user so.
    virtual void EndUnanswering(const char* encoder_name) = 0;
    // Takes over a section the export is done with, and lets it go. Its
    // pages are freed at its last close, tens of milliseconds for a large
    // one: a peer may do that on a thread of its own, so that the editor's
    // thread does not wait for it at the export's end.
    virtual void LetSectionGo(platform::SharedMemory& section) { section.Close(); }
};

// How long a silent encoder is left alone before the editor is asked on its
// behalf, and how long it gets once the editor has cancelled.
struct SilenceLimits {
    std::chrono::milliseconds before_asking{2000};
    std::chrono::milliseconds after_cancel{10000};
};

class SectionServingLink final : public ServingLink {
public:
    // `sample_bytes`: the size of one audio sample of the export (the
    // editor's record says it), 0 when it names none.
    SectionServingLink(ControlBlock& block, PeerProcess& peer, const char* encoder_name, int32_t sample_bytes,
                       SilenceLimits limits = {});
    ~SectionServingLink() override;
    SectionServingLink(const SectionServingLink&) = delete;
    SectionServingLink& operator=(const SectionServingLink&) = delete;

    uint8_t* CreateSlotRegion(size_t bytes, int32_t stride) override;
    void ReleaseSlotRegion() override;
    void CarryAudio(const void* data, int32_t samples_read) override;
    platform::ObjectHandle WorkerProcess() const override { return peer_.Process(); }
    Silence WorkerSilent() override;
    void WorkerHeard() override;
    void EditorCancelled() override;

private:
    using Clock = std::chrono::steady_clock;

    bool Announce(SectionNotice& notice, const platform::SharedMemory& section, int32_t stride);
    bool EnsureAudioRoom(size_t bytes);
    void StartBringingIn();
    void StopBringingIn();
    static unsigned THREAD_ENTRY_CALL BringInSlots(void* link);

    ControlBlock& block_;
    PeerProcess& peer_;
    const char* const encoder_name_;
    const int32_t sample_bytes_;
    const SilenceLimits limits_;
    platform::SharedMemory slots_;
    // A fresh section's pages are found and cleared by the system at their
    // first touch; this thread has that done ahead of the editor's thread,
    // which would otherwise stop at every page of its first round of frames.
    platform::Thread bringing_in_;
    std::atomic<bool> stop_bringing_in_{false};
    platform::SharedMemory audio_;
    bool silent_ = false;
    Clock::time_point silent_since_{};
    bool cancelled_ = false;
    Clock::time_point cancelled_at_{};
};

class SectionWorkerLink final : public WorkerLink {
public:
    // `buffer_count` and `sample_bytes` as the helper checked them in the
    // export's request.
    SectionWorkerLink(ControlBlock& block, int32_t buffer_count, int32_t sample_bytes);

    bool SlotsCurrent() const override;
    uint8_t* SyncSlots(int32_t* stride) override;
    void* TakeAudio(int32_t* samples_read) override;

    // At the export's end: sections announced and not yet mapped are taken
    // over and closed with the rest, so that no handle stays behind.
    void Close();

private:
    // Maps the section `notice` names if it is newer than `mapped`; false
    // when the notice is unusable (then nothing is mapped).
    bool Sync(const SectionNotice& notice, platform::SharedMemory& section, uint32_t& mapped, uint64_t least_bytes);

    ControlBlock& block_;
    const int32_t buffer_count_;
    const int32_t sample_bytes_;
    // Under the request lock: the slots mapped, and the notice they came from.
    platform::SharedMemory slots_;
    uint32_t slots_generation_ = 0;
    int32_t stride_ = 0;
    // The generation whose slots hits may use (0: none), for threads of the
    // encoder that read without the lock.
    std::atomic<uint32_t> usable_slots_{0};
    platform::SharedMemory audio_;
    uint32_t audio_generation_ = 0;
};
