// One export: the editor's call of `output` is turned around. The sub-plugin
// runs on a worker thread while the editor's thread stays here, serving the
// worker's requests and reading ahead, until the worker reports Finished.
#include <atomic>
#include <cstdint>

#include "platform/messages.h"
#include "platform/thread.h"
#include "platform/worker_libraries.h"
#include "plugin/relay_context.h"
#include "plugin/show_error.h"
#include "relay/read_ahead_ring.h"
#include "relay/relay_messages.h"
#include "relay/service_functions.h"

bool RelayContext::PrepareOutput(OutputInfo* info) {
    if (info == nullptr) return false;  // nothing to export, and nothing to copy
    host_info = info;
    host_copy = *info;
    relay_info = host_copy;
    relay_info.get_video = RelayGetVideo;
    relay_info.get_audio = RelayGetAudio;
    relay_info.is_abort = RelayIsAbort;
    relay_info.show_progress = RelayShowProgress;
    relay_info.get_flag = RelayGetFlag;
    relay_info.update_preview = RelayUpdatePreview;
    relay_info.get_video_ex = RelayGetVideoEx;
    ResetExportState();

    if (buffer_count <= 0) {
        ShowError(kInvalidBufferCountMessage);
        return false;
    }
    if (selected == nullptr) {
        ShowError(kNoPluginSelectedMessage);
        return false;
    }

    ReleaseExportBuffers();
    if (flag_values.Allocate(buffer_count) && video_tags.Allocate(buffer_count) && flag_tags.Allocate(buffer_count)) {
        flag_values.Fill(0);
        video_tags.Fill(kEmptyTag);
        flag_tags.Fill(kEmptyTag);
        return true;
    }
    ReleaseExportBuffers();
    ShowError(kArrayMemoryMessage);
    return false;
}

bool RelayContext::StartWorker() {
    if (host_info == nullptr || !done_event.Valid() || !wake_event.Valid() || !request_lock.IsSetUp() ||
        buffer_count <= 0 || !video_tags || !flag_values || !flag_tags) {
        ShowError(kWorkerStartMessage);
        return false;
    }
    if (!worker_thread.Start(WorkerMain, this)) {
        worker_thread_id = 0;
        return false;
    }
    worker_thread_id = worker_thread.Id();
    // The sub-plugin works at the editor's pace, not at the default priority.
    const int priority = platform::CurrentThreadPriority();
    if (priority != platform::kPriorityReadFailed) worker_thread.SetPriority(priority);
    return true;
}

// The argument is the RelayContext.
unsigned THREAD_ENTRY_CALL RelayContext::WorkerMain(void* argument) {
    auto* context = static_cast<RelayContext*>(argument);
    if (context == nullptr) platform::EndCurrentThread(0);

    // Encoders expect OLE and the AVI file library on the thread that runs
    // their output, and a message queue before anyone may post to it.
    platform::StartWorkerLibraries();
    platform::EnsureMessageQueue();

    context->done_event.Wait(platform::WaitLimit::Forever);  // the go signal
    OutputPluginTable* table = context->selected;
    const int result = table->output != nullptr ? table->output(&context->relay_info) : 1;

    context->command.store(static_cast<int32_t>(RelayCommand::Finished), std::memory_order_release);
    // Signalled whether the serving thread waits or not: the last word of an
    // export costs one call, and must not depend on anything else.
    context->wake_event.Signal();

    platform::StopWorkerLibraries();
    platform::EndCurrentThread(static_cast<unsigned>(result));
}

namespace {
// About half a second of brief waits after the last note.
constexpr int32_t kBriefWaitsAfterANote = 16;
}  // namespace

bool RelayContext::ServeRequests() {
    // Computed wide: a restored buffer count may be far above 48.
    const int32_t behind = static_cast<int32_t>((static_cast<int64_t>(buffer_count) - 1) / 3);
    const int32_t ahead = static_cast<int32_t>(static_cast<int64_t>(buffer_count) * 2 / 3);

    read_ahead_lead = ReadAheadLead(ahead);

    done_event.Signal();
    for (bool last_pass = false; !last_pass; ++serving.passes) {
        switch (static_cast<RelayCommand>(command.load(std::memory_order_acquire))) {
            case RelayCommand::Idle: {
                bool worked = false;
                if (aborted.load(std::memory_order_acquire) == 0) {
                    const bool video = PrefetchVideo(behind, ahead);
                    const bool flag = PrefetchFlag(behind, ahead);
                    worked = video || flag;
                }
                if (!worked) last_pass = WaitForWork();
                break;
            }
            case RelayCommand::Audio:
                FillAudio();
                command.store(static_cast<int32_t>(RelayCommand::Idle), std::memory_order_release);
                done_event.Signal();
                break;
            case RelayCommand::Flag:
                FillFlag();
                command.store(static_cast<int32_t>(RelayCommand::Idle), std::memory_order_release);
                done_event.Signal();
                break;
            case RelayCommand::Video:
                FillVideo();
                command.store(static_cast<int32_t>(RelayCommand::Idle), std::memory_order_release);
                done_event.Signal();
                break;
            default: last_pass = true; break;
        }
        if (FlushNotifications()) brief_waits_left = kBriefWaitsAfterANote;
    }
    return true;
}

bool RelayContext::WaitForWork() {
    // While the sub-plugin leaves notes (an encoder reports its progress and
    // asks is_abort every frame), they wait for a brief bound instead of
    // each ending the wait: the editor still sees them within 30 ms. Once
    // they stop, the first one ends the wait at once.
    const bool brief = brief_waits_left > 0;
    const ServingWait wait = brief ? ServingWait::ForWork : ServingWait::ForAnything;
    // Say so first, look again second: a worker that stored its news before
    // this store finds no one waiting and signals nothing, so the look must
    // see the news; one that stores after it finds the word and signals.
    serving_wait.store(static_cast<uint8_t>(wait), std::memory_order_seq_cst);
    if (WorkArrived()) {
        serving_wait.store(static_cast<uint8_t>(ServingWait::None), std::memory_order_relaxed);
        return false;
    }
    // The sub-plugin may show a window owned by one of the editor's, or send
    // to one: its thread then waits in SendMessage until this thread takes
    // the message, and would never post Finished. Posted messages stay queued.
    ++serving.waits;
    if (brief) ++serving.brief_waits;
    const platform::WaitResult result =
        wake_event.WaitTakingSentMessages(brief ? platform::WaitLimit::Brief : platform::WaitLimit::HalfSecond);
    serving_wait.store(static_cast<uint8_t>(ServingWait::None), std::memory_order_relaxed);
    if (result == platform::WaitResult::Signalled) return false;
    if (brief) {
        --brief_waits_left;
        ++serving.brief_timeouts;
    } else {
        ++serving.timed_out_waits;
    }
    // The sub-plugin ended the thread itself (ExitThread): Finished will
    // never come, and the editor must not hang.
    return worker_thread.HasEnded();
}

// What the worker may have stored since this pass looked: a request, a
// note, or a position that leaves a ring running low.
bool RelayContext::WorkArrived() {
    if (command.load(std::memory_order_seq_cst) != static_cast<int32_t>(RelayCommand::Idle)) return true;
    // Once aborted, nothing is read ahead and no note goes to the editor.
    if (aborted.load(std::memory_order_seq_cst) != 0) return false;
    const int32_t frame_count = host_copy.frame_count;
    return preview_pending.load(std::memory_order_seq_cst) != 0 ||
           abort_check_pending.load(std::memory_order_seq_cst) != 0 ||
           progress_position.load(std::memory_order_seq_cst) != shown_position ||
           progress_total.load(std::memory_order_seq_cst) != shown_total ||
           (current_format.load(std::memory_order_relaxed) != kNoFormat &&
            VideoRing().RunningLow(VideoRing().Position(), read_ahead_lead, frame_count)) ||
           FlagRing().RunningLow(FlagRing().Position(), read_ahead_lead, frame_count);
}

int32_t RelayContext::FinishOutput() {
    int32_t code = 0;
    if (worker_thread.Started()) {
        // The worker's end runs the thread-detach code of every DLL and
        // destroys the windows it owns; any of it may send to this thread.
        code = static_cast<int32_t>(worker_thread.JoinTakingSentMessages());
        worker_thread_id = 0;
    }
    ReleaseExportBuffers();
    return code;
}

void RelayContext::ReleaseExportBuffers() {
    video_tags.Free();
    flag_values.Free();
    flag_tags.Free();
    ReleaseVideoSlots();
}
