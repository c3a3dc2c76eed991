// An export's request as it crosses to the helper: the editor's record
// without its functions, the buffer count, and the output file's name. The
// editor's record passes one pointer through (passthrough_3, the name of the
// file to write, in the editor's memory): the name itself is copied, and the
// helper's record points at its own copy.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "isolated/protocol/control_block.h"
#include "plugin/output_plugin.h"

// The payload during an export: the rings' words first, then the name.
constexpr size_t kFileNameRoom = 32 * 1024;
constexpr int32_t kRingWordCapacity = static_cast<int32_t>((kPayloadBytes - kFileNameRoom) / sizeof(int32_t));

std::atomic<int32_t>* RingWords(ControlBlock& block);

// The editor's side: `info` as the editor gave it.
void WriteOutputRequest(ControlBlock& block, const OutputInfo& info, int32_t buffer_count, int32_t worker_priority);

// The helper's side: the request checked and copied out; false when it
// cannot be what the module wrote. `file_name` (kFileNameRoom bytes) gets
// the name, and `info` points at it where the editor named a file.
bool ReadOutputRequest(const ControlBlock& block, OutputInfo* info, int32_t* buffer_count, int32_t* worker_priority,
                       char* file_name);
