// Opening and closing the isolated module's context: the lock and events of
// the handoff as sidecar.auo makes them, the helper, and the proxies that
// stand for the helper's encoders in the context's list, where the
// settings record and the dialog use them as they use loaded encoders.
#include "isolated/module/isolated_session.h"
#include "plugin/relay_context.h"
#include "registry/sub_plugin_registry.h"

RelayContext::RelayContext() { ResetExportState(); }

RelayContext::~RelayContext() { Close(); }

bool RelayContext::Open() {
    if (!request_lock.SetUp()) return false;
    if (!done_event.Create()) return false;
    if (!wake_event.Create()) return false;
    if (!OpenSession(done_event.handle(), wake_event.handle(), plugins)) return false;
    selected = plugins.empty() ? nullptr : plugins.front().table;
    return true;
}

void RelayContext::Close() {
    // The proxies go before their tables; the helper (every encoder's exit
    // there) before the events it was handed.
    UnloadSubPlugins(plugins);
    selected = nullptr;
    CloseSession();
    request_lock.TearDown();
    done_event.Close();
    wake_event.Close();
    settings_cache.Free();
    ReleaseExportBuffers();
}
