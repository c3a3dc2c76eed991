// What the lossless sample's plugin functions and its settings dialog share:
// its settings and its file types.
#pragma once

#include "plugin/output_plugin.h"
#include "samples/lossless_avi/lossless_plan.h"

namespace lossless_avi {

extern const char kFileFilter[];
extern LosslessSettings g_settings;

int LosslessConfig(WindowHandle parent, ModuleHandle module);

}  // namespace lossless_avi
