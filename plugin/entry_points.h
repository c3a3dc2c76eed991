// The relay's own table and the six functions in it, as the editor calls them.
#pragma once

#include "plugin/output_plugin.h"

// The name the editor lists the relay under (the table's `name`). ShowError
// captions its boxes with it, and the registry refuses a sub-plugin that
// carries it: that would be a copy of the relay. A constant in this header
// rather than a definition beside the table in entry_points.cpp: ShowError
// and the registry sit below the entry points, and would otherwise need them
// to link.
inline constexpr char kDisplayName[] = "Offloader";

extern "C" OutputPluginTable* GetOutputPluginTable();

int PluginInit();
int PluginExit();
int PluginOutput(OutputInfo* info);
int PluginConfig(WindowHandle parent, ModuleHandle module);
int PluginConfigGet(void* data, int size);
int PluginConfigSet(void* data, int size);
