// What the editor calls in sidecar_isolated.auo: the module's own table and
// its six functions. Apart from the export, which serves an encoder in the
// helper, they are sidecar.auo's: the context does the rest, with proxies
// in its list where sidecar.auo has loaded encoders.
#include <new>

#include "dialog/settings_dialog.h"
#include "isolated/module/isolated_session.h"
#include "isolated/protocol/product_names.h"
#include "isolated/serving/isolated_export.h"
#include "plugin/display_name.h"
#include "plugin/file_filter.h"
#include "plugin/relay_context.h"

const char kDisplayName[] = ISOLATED_DISPLAY_NAME;

namespace {

const char kInformation[] = "Offloader 0.9.0 : 出力プラグインを別のプロセスで動かし、フレームを先読みします";

void DestroyModuleContext() {
    if (RelayContext* context = ModuleContext()) {
        context->Close();
        delete context;
        SetModuleContext(nullptr);
    }
}

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
    HelperProcess* helper = SessionHelper();
    if (context == nullptr || helper == nullptr) return 0;
    return RunIsolatedExport(*context, *helper, info);
}

int PluginConfig(WindowHandle parent, ModuleHandle module) {
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

}  // namespace

extern "C" OutputPluginTable* GetOutputPluginTable() { return &g_relay_table; }
