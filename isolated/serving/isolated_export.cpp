#include "isolated/serving/isolated_export.h"

#include <cstddef>

#include "isolated/protocol/output_request.h"
#include "isolated/protocol/section_links.h"
#include "platform/thread.h"
#include "registry/sub_plugin_registry.h"

int RunIsolatedExport(RelayContext& context, HelperEndpoint& helper, OutputInfo* info) {
    if (info == nullptr) return 0;
    const SubPluginEntry* entry = FindByTable(context.plugins, context.selected);
    if (entry == nullptr) {
        // The relay's own checks tell the user what is missing; no helper is
        // started for an export that cannot run.
        context.PrepareOutput(info);
        context.FinishOutput();
        return 0;
    }
    if (!helper.EnsureRunning()) return 0;

    ControlBlock& block = helper.Block();
    const char* name = entry->table->name != nullptr ? entry->table->name : "";
    SectionServingLink link(block, helper, name, info->passthrough_2[3]);
    context.ShareExport(&block.channel, RingWords(block), kRingWordCapacity, &link, nullptr);

    int result = 0;
    context.ForgetHandoffSignals();
    if (context.PrepareOutput(info)) {
        WriteOutputRequest(block, *info, context.buffer_count, platform::CurrentThreadPriority());
        block.call.encoder = static_cast<int32_t>(entry - context.plugins.data());
        helper.Post(HelperCall::Output);
        context.ServeRequests();
        const CallOutcome outcome = helper.AwaitAnswer(name, platform::WhileWaiting::TakeSentMessages);
        if (!outcome.helper_ended && outcome.status == CallStatus::Done) result = outcome.result;
    }
    context.FinishOutput();
    context.ShareExport(nullptr, nullptr, 0, nullptr, nullptr);
    return result;
}
