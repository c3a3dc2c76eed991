#include "platform/shared_memory.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

SharedMemory::~SharedMemory() { Close(); }

bool SharedMemory::Create(size_t bytes) {
    Close();
    if (bytes == 0) return false;
    // Anonymous, zero-filled, and closed in any program this process starts
    // unless ChildProcess hands it on.
    const int file = memfd_create("offloader-section", MFD_CLOEXEC);
    if (file < 0) return false;
    if (ftruncate(file, static_cast<off_t>(bytes)) != 0) {
        close(file);
        return false;
    }
    return Map(static_cast<ObjectHandle>(file), bytes);
}

bool SharedMemory::Map(ObjectHandle handle, size_t bytes) {
    Close();
    handle_ = handle;
    const int file = static_cast<int>(handle);
    // Pages beyond the end of the file would map, and then fault when
    // touched.
    struct stat status = {};
    if (handle == 0 || bytes == 0 || fstat(file, &status) != 0 || static_cast<uint64_t>(status.st_size) < bytes) {
        Close();
        return false;
    }
    void* view = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, file, 0);
    if (view == MAP_FAILED) {
        Close();
        return false;
    }
    data_ = static_cast<uint8_t*>(view);
    size_ = bytes;
    return true;
}

// The kernel does it without touching the bytes: a read here would race
// with the writer, as the thread sanitizer would rightly say.
void SharedMemory::BringIn(const std::atomic<bool>& stop) const {
#ifdef MADV_POPULATE_WRITE
    constexpr size_t kPiece = 1024 * 1024;  // a multiple of any page size
    for (size_t at = 0; at < size_ && !stop.load(std::memory_order_relaxed); at += kPiece) {
        const size_t piece = size_ - at < kPiece ? size_ - at : kPiece;
        // Kernels older than the advice refuse it; nothing is lost but time.
        if (madvise(data_ + at, piece, MADV_POPULATE_WRITE) != 0) return;
    }
#else
    static_cast<void>(stop);
#endif
}

void SharedMemory::Close() {
    if (data_ != nullptr) munmap(data_, size_);
    if (handle_ != 0) close(static_cast<int>(handle_));
    data_ = nullptr;
    size_ = 0;
    handle_ = 0;
}

}  // namespace platform
