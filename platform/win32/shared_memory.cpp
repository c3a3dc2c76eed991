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
    void* view = handle == 0 || bytes == 0
                     ? nullptr
                     : MapViewOfFile(HandleOf(handle), FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, bytes);
    if (view == nullptr) {
        Close();
        return false;
    }
    data_ = static_cast<uint8_t*>(view);
    size_ = bytes;
    return true;
}

void SharedMemory::BringIn(const std::atomic<bool>& stop) const {
    SYSTEM_INFO system{};
    GetSystemInfo(&system);
    const size_t page = system.dwPageSize != 0 ? system.dwPageSize : 4096;
    constexpr size_t kPiece = 1024 * 1024;
    // A read is enough: a page of a writable view comes in writable on its
    // first touch. Volatile, so that the reads are made.
    const volatile uint8_t* view = data_;
    for (size_t piece = 0; piece < size_; piece += kPiece) {
        if (stop.load(std::memory_order_relaxed)) return;
        const size_t end = size_ - piece < kPiece ? size_ : piece + kPiece;
        for (size_t at = piece; at < end; at += page) static_cast<void>(view[at]);
    }
}

void SharedMemory::Close() {
    if (data_ != nullptr) UnmapViewOfFile(data_);
    if (handle_ != 0) CloseHandle(HandleOf(handle_));
    data_ = nullptr;
    size_ = 0;
    handle_ = 0;
}

}  // namespace platform
