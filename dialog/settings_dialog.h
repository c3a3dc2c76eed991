// The relay's settings dialog (template 107): the choice of sub-plugin and
// the number of read-ahead buffers.
#pragma once

#include "plugin/output_plugin.h"

class RelayContext;

// Modal to `parent`, from template 107 of `module` (this module's own when
// null); changes the context only when closed with OK.
void RunSettingsDialog(RelayContext* context, WindowHandle parent, ModuleHandle module);
