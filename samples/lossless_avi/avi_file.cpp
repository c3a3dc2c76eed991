#include "samples/lossless_avi/avi_file.h"

#include <cstring>
#include <new>

namespace lossless_avi {

namespace {
// Large enough that the many small chunks (audio, chunk headers, index
// pieces) cost a system call per megabyte, not one each.
constexpr size_t kBufferBytes = 1 << 20;
// WriteFile takes a 32-bit count; this keeps each call well inside it.
constexpr size_t kMostPerWrite = 1 << 26;
}  // namespace

AviFileSink::~AviFileSink() { Release(); }

void AviFileSink::Release() {
    if (file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
    file_ = INVALID_HANDLE_VALUE;
    delete[] buffer_;
    buffer_ = nullptr;
    buffered_ = 0;
}

bool AviFileSink::Fail(DWORD error) {
    if (error_ == 0) error_ = error != 0 ? error : ERROR_WRITE_FAULT;
    return false;
}

bool AviFileSink::Create(const std::wstring& path) {
    Release();
    error_ = 0;
    written_ = 0;
    created_ = false;
    path_ = path;
    buffer_ = new (std::nothrow) uint8_t[kBufferBytes];
    if (buffer_ == nullptr) return Fail(ERROR_NOT_ENOUGH_MEMORY);
    // Others may read the file while it grows, never write or delete it.
    file_ = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                        nullptr);
    if (file_ == INVALID_HANDLE_VALUE) return Fail(GetLastError());
    created_ = true;
    return true;
}

bool AviFileSink::WriteAll(const uint8_t* bytes, size_t size) {
    while (size > 0) {
        const DWORD piece = static_cast<DWORD>(size < kMostPerWrite ? size : kMostPerWrite);
        DWORD done = 0;
        if (!WriteFile(file_, bytes, piece, &done, nullptr)) return Fail(GetLastError());
        // A write that takes nothing and says nothing: the device is full.
        if (done == 0) return Fail(ERROR_DISK_FULL);
        bytes += done;
        size -= done;
        written_ += done;
    }
    return true;
}

bool AviFileSink::Flush() {
    if (buffered_ == 0) return true;
    const size_t count = buffered_;
    buffered_ = 0;
    return WriteAll(buffer_, count);
}

bool AviFileSink::Seek(uint64_t offset) {
    LARGE_INTEGER position;
    position.QuadPart = static_cast<LONGLONG>(offset);
    return SetFilePointerEx(file_, position, nullptr, FILE_BEGIN) ? true : Fail(GetLastError());
}

bool AviFileSink::Append(const void* bytes, size_t size) {
    if (file_ == INVALID_HANDLE_VALUE || error_ != 0) return false;
    if (size > kBufferBytes - buffered_ && !Flush()) return false;
    if (size >= kBufferBytes) return WriteAll(static_cast<const uint8_t*>(bytes), size);
    std::memcpy(buffer_ + buffered_, bytes, size);
    buffered_ += size;
    return true;
}

bool AviFileSink::Patch(uint64_t offset, const void* bytes, size_t size) {
    if (file_ == INVALID_HANDLE_VALUE || error_ != 0) return false;
    if (offset >= written_ && offset + size <= written_ + buffered_) {
        std::memcpy(buffer_ + (offset - written_), bytes, size);
        return true;
    }
    if (!Flush()) return false;
    const uint64_t end = written_;
    if (offset + size > end) return Fail(ERROR_INVALID_PARAMETER);
    if (!Seek(offset) || !WriteAll(static_cast<const uint8_t*>(bytes), size)) return false;
    // The patch rewrote bytes that were counted already.
    written_ = end;
    return Seek(end);
}

bool AviFileSink::Close() {
    if (file_ == INVALID_HANDLE_VALUE) return false;
    const bool flushed = error_ == 0 && Flush();
    // The system may report a delayed write's failure only when the file
    // is closed.
    const bool closed = CloseHandle(file_) ? true : Fail(GetLastError());
    file_ = INVALID_HANDLE_VALUE;
    delete[] buffer_;
    buffer_ = nullptr;
    return flushed && closed && error_ == 0;
}

void AviFileSink::Discard() {
    Release();
    // Only a file this export made: a name it failed to create may be
    // another program's file.
    if (created_) DeleteFileW(path_.c_str());
    created_ = false;
}

}  // namespace lossless_avi
