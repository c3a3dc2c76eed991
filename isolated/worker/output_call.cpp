#include "isolated/worker/output_call.h"

#include <atomic>
#include <new>

#include "isolated/protocol/output_request.h"
#include "isolated/protocol/section_links.h"
#include "plugin/relay_context.h"

namespace {

RelayContext* g_exports = nullptr;

// The module's serving loop waits for this word: without it the editor would
// serve an export that never starts until the user cancels.
void TellServingSideItIsOver(ControlBlock& block) {
    block.channel.mailbox.command.store(static_cast<int32_t>(RelayCommand::Finished), std::memory_order_release);
}

}  // namespace

bool OpenExports(platform::ObjectHandle done_event, platform::ObjectHandle wake_event) {
    CloseExports();
    g_exports = new (std::nothrow) RelayContext;
    if (g_exports == nullptr) return false;
    if (!g_exports->OpenWorkerSide(done_event, wake_event)) {
        CloseExports();
        return false;
    }
    return true;
}

void CloseExports() {
    if (g_exports == nullptr) return;
    SetModuleContext(nullptr);
    delete g_exports;
    g_exports = nullptr;
}

int RunOutputCall(ControlBlock& block, OutputPluginTable* table) {
    static char file_name[kFileNameRoom];
    OutputInfo info{};
    int32_t buffer_count = 0;
    RelayContext* context = g_exports;
    if (context == nullptr || table == nullptr || !ReadOutputRequest(block, &info, &buffer_count, file_name)) {
        TellServingSideItIsOver(block);
        return 0;
    }

    SectionWorkerLink link(block, buffer_count, info.passthrough_2[3]);
    context->buffer_count = buffer_count;
    context->ShareExport(&block.channel, RingWords(block), kRingWordCapacity, nullptr, &link);
    int result = 0;
    if (context->PrepareWorkerSide(info, table)) {
        SetModuleContext(context);
        if (context->StartWorker()) {
            result = static_cast<int>(context->FinishOutput());
        } else {
            TellServingSideItIsOver(block);
            context->FinishOutput();
        }
        SetModuleContext(nullptr);
    } else {
        TellServingSideItIsOver(block);
    }
    context->ShareExport(nullptr, nullptr, 0, nullptr, nullptr);
    link.Close();
    return result;
}
