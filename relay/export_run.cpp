// One export: the editor's call of `output` is turned around. The sub-plugin
// runs on a worker thread while the editor's thread stays in ServeRequests
// (serving_side.cpp), serving the worker's requests and reading ahead, until
// the worker reports Finished. Here: the export prepared, the worker's thread
// started, its body, and its end.
#include <atomic>
#include <cstddef>
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
    MakeRelayInfo();
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
    if (SetUpRingArrays()) {
        buffers.flag_values.Fill(0);
        buffers.video_tags.Fill(kEmptyTag);
        buffers.flag_tags.Fill(kEmptyTag);
        return true;
    }
    ReleaseExportBuffers();
    ShowError(kArrayMemoryMessage);
    return false;
}

void RelayContext::MakeRelayInfo() {
    relay_info = host_copy;
    relay_info.get_video = RelayGetVideo;
    relay_info.get_audio = RelayGetAudio;
    relay_info.is_abort = RelayIsAbort;
    relay_info.show_progress = RelayShowProgress;
    relay_info.get_flag = RelayGetFlag;
    relay_info.update_preview = RelayUpdatePreview;
    relay_info.get_video_ex = RelayGetVideoEx;
}

bool RelayContext::SetUpRingArrays() {
    if (shared_ring_words == nullptr) {
        return buffers.flag_values.Allocate(buffer_count) && buffers.video_tags.Allocate(buffer_count) &&
               buffers.flag_tags.Allocate(buffer_count);
    }
    // Three arrays of buffer_count in the room the other process shares.
    if (buffer_count <= 0 || static_cast<int64_t>(buffer_count) * 3 > shared_ring_word_count) return false;
    buffers.video_tags.Place(shared_ring_words, buffer_count);
    buffers.flag_tags.Place(shared_ring_words + buffer_count, buffer_count);
    buffers.flag_values.Place(shared_ring_words + 2 * static_cast<ptrdiff_t>(buffer_count), buffer_count);
    return true;
}

bool RelayContext::PrepareWorkerSide(const OutputInfo& info, OutputPluginTable* table, int32_t priority) {
    // The serving side is the editor's; nothing here ever calls the editor.
    host_info = nullptr;
    host_copy = info;
    MakeRelayInfo();
    selected = table;
    editor_priority = priority;
    ReleaseExportBuffers();
    // The serving side filled the words before it posted the export.
    return table != nullptr && channel != &own_channel && SetUpRingArrays();
}

bool RelayContext::StartWorker() {
    const bool prepared = host_info != nullptr || worker_link != nullptr;
    if (!prepared || !done_event.Valid() || !wake_event.Valid() || !request_lock.IsSetUp() || buffer_count <= 0 ||
        !buffers.video_tags || !buffers.flag_values || !buffers.flag_tags) {
        ShowError(kWorkerStartMessage);
        return false;
    }
    if (!worker_thread.Start(WorkerMain, this)) {
        worker_thread_id = 0;
        return false;
    }
    worker_thread_id = worker_thread.Id();
    // The sub-plugin works at the editor's pace, not at the default priority.
    const int priority = worker_link != nullptr ? editor_priority : platform::CurrentThreadPriority();
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

    context->channel->mailbox.command.store(static_cast<int32_t>(RelayCommand::Finished), std::memory_order_release);
    // Signalled whether the serving thread waits or not: the last word of an
    // export costs one call, and must not depend on anything else.
    context->wake_event.Signal();

    platform::StopWorkerLibraries();
    platform::EndCurrentThread(static_cast<unsigned>(result));
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
    buffers.video_tags.Free();
    buffers.flag_values.Free();
    buffers.flag_tags.Free();
    ReleaseVideoSlots();
}

void RelayContext::TellServingSideTheWorkerEnded() {
    channel->mailbox.command.store(static_cast<int32_t>(RelayCommand::Finished), std::memory_order_release);
    wake_event.Signal();
}
