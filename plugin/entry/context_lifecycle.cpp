// Opening and closing the context: the scan of the sub-plugins, the events
// and the lock of the handoff, the slots. They hand work to the registry and
// the relay, so they sit above both, beside the entry points that call them.
#include "plugin/relay_context.h"

#include "registry/sub_plugin_registry.h"

RelayContext::RelayContext() { ResetExportState(); }

RelayContext::~RelayContext() { Close(); }

bool RelayContext::Open() {
    if (!request_lock.SetUp()) return false;
    if (!done_event.Create()) return false;
    if (!wake_event.Create()) return false;
    ScanSubPlugins(plugins);
    selected = plugins.empty() ? nullptr : plugins.front().table;
    return true;
}

void RelayContext::Close() {
    request_lock.TearDown();
    done_event.Close();
    wake_event.Close();
    UnloadSubPlugins(plugins);
    selected = nullptr;
    settings_cache.Free();
    ReleaseExportBuffers();
}
