#include "plugin/relay_context.h"

// Placeholder until the settings record lands.
int RelayContext::GetSettings(void*, int) { return 0; }
int RelayContext::SetSettings(void*, int) { return 0; }
