#include "platform/shared_memory.h"

#include <windows.h>

#include <cstdint>

namespace platform {

namespace {
HANDLE HandleOf(ObjectHandle handle) { return reinterpret_cast<HANDLE>(handle); }
}  // namespace

SharedMemory::~SharedMemory() { Close(); }

bool SharedMemory::Create(size_t bytes) {
    Close();
    if (bytes == 0) return false;
    const uint64_t size = bytes;
    // No name and no inheritable handle: another process reaches it only
    // through a handle it is handed on purpose. Its pages come zero-filled.
    HANDLE section = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, static_cast<DWORD>(size >> 32),
                                        static_cast<DWORD>(size), nullptr);
    if (section == nullptr) return false;
    return Map(reinterpret_cast<ObjectHandle>(section), bytes);
}

bool SharedMemory::Map(ObjectHandle handle, size_t bytes) {
    Close();
    handle_ = handle;
    // A view larger than the section is refused here, not left to fault at
    // its first access beyond the end. A size of 0 would map the whole
    // section, whatever its size.
    void* view =
        handle == 0 || bytes == 0 ? nullptr : MapViewOfFile(HandleOf(handle), FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, bytes);
    if (view == nullptr) {
        Close();
        return false;
    }
    data_ = static_cast<uint8_t*>(view);
    size_ = bytes;
    return true;
}

void SharedMemory::Close() {
    if (data_ != nullptr) UnmapViewOfFile(data_);
    if (handle_ != 0) CloseHandle(HandleOf(handle_));
    data_ = nullptr;
    size_ = 0;
    handle_ = 0;
}

}  // namespace platform
