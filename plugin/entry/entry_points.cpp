#include "plugin/entry/entry_points.h"

#include <new>

#include "dialog/settings_dialog.h"
#include "plugin/display_name.h"
#include "plugin/file_filter.h"
#include "plugin/relay_context.h"

const char kDisplayName[] = "Offloader";

namespace {

const char kInformation[] = "Offloader 0.9.0 : 出力プラグインを別スレッドで動かし、フレームを先読みします";

// clang-format off
OutputPluginTable g_relay_table = {
    0,
    kDisplayName,
    kFileFilter,
    kInformation,
    PluginInit,
    PluginExit,
    PluginOutput,
    PluginConfig,
    PluginConfigGet,
    PluginConfigSet,
    {},
};
// clang-format on

void DestroyModuleContext() {
    if (RelayContext* context = ModuleContext()) {
        context->Close();
        delete context;
        SetModuleContext(nullptr);
    }
}

}  // namespace

extern "C" OutputPluginTable* GetOutputPluginTable() { return &g_relay_table; }

int PluginInit() {
    DestroyModuleContext();
    auto* context = new (std::nothrow) RelayContext;
    if (context == nullptr) return 0;
    SetModuleContext(context);
    if (!context->Open()) {
        DestroyModuleContext();
        return 0;
    }
    return 1;
}

int PluginExit() {
    DestroyModuleContext();
    return 1;
}

int PluginOutput(OutputInfo* info) {
    RelayContext* context = ModuleContext();
    if (context == nullptr) return 0;
    if (!context->PrepareOutput(info)) return 0;
    if (!context->StartWorker()) {
        context->FinishOutput();
        return 0;
    }
    context->ServeRequests();
    return static_cast<int>(context->FinishOutput());
}

int PluginConfig(WindowHandle parent, ModuleHandle module) {
    // The dialog needs the context; an editor that configures before init
    // gets no dialog rather than a crash.
    if (RelayContext* context = ModuleContext()) RunSettingsDialog(context, parent, module);
    return 1;
}

int PluginConfigGet(void* data, int size) {
    RelayContext* context = ModuleContext();
    return context != nullptr ? context->GetSettings(data, size) : 0;
}

int PluginConfigSet(void* data, int size) {
    RelayContext* context = ModuleContext();
    return context != nullptr ? context->SetSettings(data, size) : 0;
}
