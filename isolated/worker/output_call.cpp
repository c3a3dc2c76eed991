#include "isolated/worker/output_call.h"

#include <atomic>
#include <new>
#include <optional>

#include "isolated/protocol/output_request.h"
#include "isolated/protocol/section_links.h"
#include "plugin/relay_context.h"

namespace {
RelayContext* g_exports = nullptr;
// The last export's sections, kept mapped until its answer has gone.
std::optional<SectionWorkerLink> g_sections;
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

void LetExportSectionsGo() {
    if (!g_sections) return;
    g_sections->Close();
    g_sections.reset();
}

void CloseExports() {
    LetExportSectionsGo();
    if (g_exports == nullptr) return;
    SetModuleContext(nullptr);
    delete g_exports;
    g_exports = nullptr;
}

int RunOutputCall(ControlBlock& block, OutputPluginTable* table) {
    static char file_name[kFileNameRoom];
    OutputInfo info{};
    int32_t buffer_count = 0;
    int32_t priority = 0;
    RelayContext* context = g_exports;
    if (context == nullptr) {
        // No events to tell the module with: its serving loop sees the word
        // at its next half-second.
        block.channel.mailbox.command.store(static_cast<int32_t>(RelayCommand::Finished), std::memory_order_release);
        return 0;
    }
    if (table == nullptr || !ReadOutputRequest(block, &info, &buffer_count, &priority, file_name)) {
        context->ShareExport(&block.channel, nullptr, 0, nullptr, nullptr);
        context->TellServingSideTheWorkerEnded();
        context->ShareExport(nullptr, nullptr, 0, nullptr, nullptr);
        return 0;
    }

    LetExportSectionsGo();
    SectionWorkerLink& link = g_sections.emplace(block, buffer_count, info.passthrough_2[3]);
    context->buffer_count = buffer_count;
    context->ShareExport(&block.channel, RingWords(block), kRingWordCapacity, nullptr, &link);
    int result = 0;
    if (context->PrepareWorkerSide(info, table, priority)) {
        SetModuleContext(context);
        if (context->StartWorker()) result = static_cast<int>(context->FinishOutput());
        SetModuleContext(nullptr);
    }
    context->FinishOutput();
    // Whether the worker said so or not (an encoder may end its thread
    // itself, and a worker may not start at all): the module's serving loop
    // ends only with this word.
    context->TellServingSideTheWorkerEnded();
    context->ShareExport(nullptr, nullptr, 0, nullptr, nullptr);
    return result;
}
