// What the lossless sample's plugin functions share: its settings, its
// name, its file types and the one way it tells the user about a failure.
#pragma once

#include <string>

#include "plugin/output_plugin.h"
#include "samples/lossless_avi/lossless_plan.h"

namespace lossless_avi {

extern const char kName[];
extern const char kFileFilter[];
extern LosslessSettings g_settings;

// A message box captioned with the sample's name: `text` in code page 932,
// then `detail` (UTF-8: paths, the system's words) after an empty line.
void ShowLosslessError(const char* text, const std::string& detail = std::string());

int LosslessConfig(WindowHandle parent, ModuleHandle module);

}  // namespace lossless_avi
