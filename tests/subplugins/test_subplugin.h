// What every source of a test sub-plugin module shares: the way to record a
// call into the test program's record (see call_record.h). A module built
// with -DSUBPLUGIN_OUTPUT=SomeFunction takes its output function from another
// source of the same module, which records through this too.
#pragma once

#include <cstdint>

namespace test_subplugin {

// `bytes` are copied at once; `detail` is function-specific (call_record.h).
void Record(const char* function, int argument, int result, const void* bytes = nullptr, int byte_count = 0,
            int32_t detail = 0);

// The module's own file name, without a folder.
const char* ModuleName();

}  // namespace test_subplugin
