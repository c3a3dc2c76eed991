// The isolated module's `output`: the editor's thread serves the encoder
// that runs in the helper, as the relay serves its worker thread, over the
// control block's channel.
#pragma once

#include "isolated/protocol/helper_endpoint.h"
#include "plugin/output_plugin.h"
#include "plugin/relay_context.h"

// The export's result as the editor is to see it: the encoder's own, or 0
// when the export could not run or the helper ended during it (the user has
// then been told why).
int RunIsolatedExport(RelayContext& context, HelperEndpoint& helper, OutputInfo* info);
