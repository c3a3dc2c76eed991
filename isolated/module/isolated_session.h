// What the isolated module's open context has beyond a relay context: the
// helper, and the tables of the proxies that stand in the context's list
// for the encoders it runs. One at a time, as there is one context: only
// PluginInit opens one, after closing the one before.
#pragma once

#include "isolated/module/helper_process.h"
#include "platform/handles.h"
#include "plugin/relay_context.h"

// Starts the helper, handed the context's handoff events, and lists its
// encoders into `plugins` as proxies (SubPluginEntry with no module, and a
// table whose config, config_get and config_set call the helper, where the
// encoder has them). A helper that cannot start leaves the list empty: the
// user has been told why, and the next call tries again. False only when
// nothing could be set up.
bool OpenSession(platform::ObjectHandle done_event, platform::ObjectHandle wake_event, SubPluginList& plugins);
// Lets the helper go (every encoder's exit) and frees the proxies' tables:
// after the context's list is emptied.
void CloseSession();

// The open session's helper, or null: the proxies and the export reach it
// here, as the substitute service functions reach the context through
// ModuleContext().
HelperProcess* SessionHelper();
