// The helper's side of an export: the encoder's output runs on a worker
// thread of the helper, as the relay runs it in the editor's process, and
// its requests go through the control block's channel to the module, which
// serves them on the editor's thread.
#pragma once

#include "isolated/protocol/control_block.h"
#include "platform/handles.h"
#include "plugin/output_plugin.h"

// The one context of the helper's exports, whose handoff events are the
// module's. False when they cannot be taken over.
bool OpenExports(platform::ObjectHandle done_event, platform::ObjectHandle wake_event);
void CloseExports();

// One export with `table`'s output, to its end; the result of the encoder's
// output (0 also when the request is unusable or no worker can start: the
// module's serving loop is then told the export is over).
int RunOutputCall(ControlBlock& block, OutputPluginTable* table);

// After the call's answer: the last export's sections are unmapped and
// closed. Unmapping a large view takes the system milliseconds, and the
// editor's thread need not wait for them.
void LetExportSectionsGo();
