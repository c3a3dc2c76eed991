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

unsigned THREAD_ENTRY_CALL WorkerMain(void* argument) {
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
    // Signalled whatever the flag says: the last word of an export costs one
    // call, and the serving thread must not depend on an earlier signal.
    context->wake_signalled.store(true, std::memory_order_release);
    context->wake_event.Signal();

    platform::StopWorkerLibraries();
    platform::EndCurrentThread(static_cast<unsigned>(result));
}

bool RelayContext::ServeRequests() {
    // Computed wide: a restored buffer count may be far above 48.
    const int32_t behind = static_cast<int32_t>((static_cast<int64_t>(buffer_count) - 1) / 3);
    const int32_t ahead = static_cast<int32_t>(static_cast<int64_t>(buffer_count) * 2 / 3);

    done_event.Signal();
    for (bool last_pass = false; !last_pass;) {
        switch (static_cast<RelayCommand>(command.load(std::memory_order_acquire))) {
            case RelayCommand::Idle: {
                bool worked = false;
                if (aborted.load(std::memory_order_acquire) == 0) {
                    const bool video = PrefetchVideo(behind, ahead);
                    const bool flag = PrefetchFlag(behind, ahead);
                    worked = video || flag;
                }
                if (!worked) {
                    // The sub-plugin may show a window owned by one of the
                    // editor's, or send to one: its thread then waits in
                    // SendMessage until this thread takes the message, and
                    // would never post Finished. Posted messages stay queued.
                    if (wake_event.WaitTakingSentMessages(platform::WaitLimit::HalfSecond) ==
                        platform::WaitResult::Signalled) {
                        // Reset first, clear second: a worker that still
                        // finds the flag set has stored its news before this
                        // exchange reads the flag, and the next pass reads
                        // them. The other order could leave the event reset
                        // while the flag says it is signalled.
                        wake_event.Reset();
                        wake_signalled.exchange(false, std::memory_order_acq_rel);
                    } else if (worker_thread.HasEnded()) {
                        // The sub-plugin ended the thread itself (ExitThread):
                        // Finished will never come, and the editor must not hang.
                        last_pass = true;
                    }
                }
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
            default:
                last_pass = true;
                break;
        }
        FlushNotifications();
    }
    return true;
}

int32_t RelayContext::FinishOutput() {
    int32_t code = 0;
    if (worker_thread.Started()) {
        code = static_cast<int32_t>(worker_thread.Join());
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
