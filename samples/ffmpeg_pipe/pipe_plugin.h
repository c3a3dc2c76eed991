// What the ffmpeg sample's plugin functions share: its settings, its name,
// its file types and the one way it tells the user about a failure.
#pragma once

#include <string>

#include "plugin/output_plugin.h"
#include "samples/ffmpeg_pipe/pipe_plan.h"

namespace ffmpeg_pipe {

extern const char kName[];
extern const char kFileFilter[];
extern PipeSettings g_settings;

// A message box captioned with the sample's name: `text` in code page 932,
// then `detail` (UTF-8, e.g. ffmpeg's own words) after an empty line.
void ShowPipeError(const char* text, const std::string& detail = std::string());

int PipeConfig(WindowHandle parent, ModuleHandle module);

}  // namespace ffmpeg_pipe
