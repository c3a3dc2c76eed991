// What the ffmpeg sample's plugin functions and its settings dialog share:
// its settings, its name and its file types.
#pragma once

#include "plugin/output_plugin.h"
#include "samples/ffmpeg_pipe/pipe_plan.h"

namespace ffmpeg_pipe {

extern const char kName[];
extern const char kFileFilter[];
extern PipeSettings g_settings;

int PipeConfig(WindowHandle parent, ModuleHandle module);

}  // namespace ffmpeg_pipe
