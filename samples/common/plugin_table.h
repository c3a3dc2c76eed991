// The table a sample hands the editor from GetOutputPluginTable: its name,
// its file types, its one line of information and its four functions.
// The samples prepare nothing when the editor loads them and hold nothing
// between exports, so init and exit only answer that all is well.
#pragma once

#include "plugin/output_plugin.h"

namespace sample_plugin {

inline int NothingToInit() { return 1; }
inline int NothingToExit() { return 1; }

// `name`, `file_filter` and `information` in code page 932; the filter is
// pairs of description and pattern, each ending in a NUL, the list in one
// more.
constexpr OutputPluginTable MakeTable(const char* name, const char* file_filter, const char* information,
                                      int (*output)(OutputInfo* info),
                                      int (*config)(WindowHandle parent, ModuleHandle module),
                                      int (*config_get)(void* data, int size),
                                      int (*config_set)(void* data, int size)) {
    return {0,      name,       file_filter, information, NothingToInit, NothingToExit, output,
            config, config_get, config_set,  {}};
}

}  // namespace sample_plugin
