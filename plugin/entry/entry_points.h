// The relay's own table and the six functions in it, as the editor calls them.
#pragma once

#include "plugin/output_plugin.h"

extern "C" OutputPluginTable* GetOutputPluginTable();

int PluginInit();
int PluginExit();
int PluginOutput(OutputInfo* info);
int PluginConfig(WindowHandle parent, ModuleHandle module);
int PluginConfigGet(void* data, int size);
int PluginConfigSet(void* data, int size);
