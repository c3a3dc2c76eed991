#include "plugin/relay_context.h"

#include "platform/pages.h"

// Placeholder until the export run lands.
bool RelayContext::PrepareOutput(OutputInfo*) { return false; }
bool RelayContext::StartWorker() { return false; }
bool RelayContext::ServeRequests() { return true; }
int32_t RelayContext::FinishOutput() { return 0; }
void RelayContext::ReleaseVideoSlots() {
    platform::ReleasePages(video_slots.exchange(nullptr), video_region_bytes);
    video_region_bytes = 0;
}
