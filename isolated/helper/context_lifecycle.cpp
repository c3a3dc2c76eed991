// The helper's relay context lives for its exports only (isolated/worker
// opens it with the module's handoff events): it never scans, since the
// helper's encoders belong to its call loop, and it closes what an export
// left behind.
#include "plugin/relay_context.h"

RelayContext::RelayContext() { ResetExportState(); }

RelayContext::~RelayContext() { Close(); }

void RelayContext::Close() {
    request_lock.TearDown();
    done_event.Close();
    wake_event.Close();
    selected = nullptr;
    settings_cache.Free();
    ReleaseExportBuffers();
}
