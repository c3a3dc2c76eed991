#include "isolated/protocol/output_request.h"

#include <cstring>

namespace {

// The record's last four bytes hold a pointer only where pointers are four
// bytes: in the editor's 32-bit process and its helper.
constexpr bool kRecordHoldsPointer = sizeof(const char*) == sizeof(OutputInfo::passthrough_3);

const char* FileNameOf(const OutputInfo& info) {
    const char* name = nullptr;
    if constexpr (kRecordHoldsPointer) std::memcpy(&name, info.passthrough_3, sizeof name);
    return name;
}

void PointAt(OutputInfo& info, const char* name) {
    if constexpr (kRecordHoldsPointer) std::memcpy(info.passthrough_3, &name, sizeof name);
}

OutputInfo WithoutFunctions(OutputInfo info) {
    info.get_video = nullptr;
    info.get_audio = nullptr;
    info.is_abort = nullptr;
    info.show_progress = nullptr;
    info.get_flag = nullptr;
    info.update_preview = nullptr;
    info.get_video_ex = nullptr;
    return info;
}

constexpr size_t kFileNameOffset = kPayloadBytes - kFileNameRoom;

}  // namespace

std::atomic<int32_t>* RingWords(ControlBlock& block) { return reinterpret_cast<std::atomic<int32_t>*>(block.payload); }

void WriteOutputRequest(ControlBlock& block, const OutputInfo& info, int32_t buffer_count, int32_t worker_priority) {
    OutputRequest& request = block.output;
    request.info = WithoutFunctions(info);
    PointAt(request.info, nullptr);
    request.buffer_count = buffer_count;
    request.worker_priority = worker_priority;
    request.file_name_offset = 0;
    request.file_name_bytes = 0;
    const char* name = FileNameOf(info);
    if (name == nullptr) return;
    // A name that does not fit is cut short rather than read past: no
    // path of the system is this long.
    size_t length = 0;
    while (length < kFileNameRoom - 1 && name[length] != '\0') ++length;
    std::memcpy(block.payload + kFileNameOffset, name, length);
    block.payload[kFileNameOffset + length] = '\0';
    request.file_name_offset = static_cast<int32_t>(kFileNameOffset);
    request.file_name_bytes = static_cast<int32_t>(length);
}

bool ReadOutputRequest(const ControlBlock& block, OutputInfo* info, int32_t* buffer_count, int32_t* worker_priority,
                       char* file_name) {
    const OutputRequest request = block.output;
    if (request.buffer_count <= 0 || request.buffer_count > kRingWordCapacity / 3) return false;
    *info = WithoutFunctions(request.info);
    PointAt(*info, nullptr);
    *buffer_count = request.buffer_count;
    // Any value: the system refuses a priority it does not know, and the
    // worker then keeps the helper's.
    *worker_priority = request.worker_priority;
    file_name[0] = '\0';
    if (request.file_name_offset == 0) return true;
    if (request.file_name_offset != static_cast<int32_t>(kFileNameOffset) || request.file_name_bytes < 0 ||
        static_cast<size_t>(request.file_name_bytes) >= kFileNameRoom) {
        return false;
    }
    // Copied out, then terminated here: the module may write the block again.
    std::memcpy(file_name, block.payload + kFileNameOffset, static_cast<size_t>(request.file_name_bytes));
    file_name[request.file_name_bytes] = '\0';
    PointAt(*info, file_name);
    return true;
}
