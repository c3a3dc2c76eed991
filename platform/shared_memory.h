// Memory that two processes map: a section created without a name, which
// another process reaches only through a handle it was handed (inherited at
// its start, or duplicated into it by ChildProcess::DuplicateInto).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "platform/handles.h"

namespace platform {

class SharedMemory {
public:
    SharedMemory() = default;
    ~SharedMemory();  // unmaps and closes
    SharedMemory(const SharedMemory&) = delete;
    SharedMemory& operator=(const SharedMemory&) = delete;

    // A new section of `bytes`, zero-filled, read-write, mapped here; its
    // handle is not inherited by any process unless handed on explicitly.
    // False (and empty) for 0 bytes or when the system refuses.
    bool Create(size_t bytes);

    // Maps a section this process was handed. `bytes` is what the giver says
    // it holds: false, and nothing mapped, when the section is smaller, so
    // that no access within size() can fault (a section is made of whole
    // pages, and the system may accept a size up to the end of its last
    // one; Wine does). False for 0 bytes. Takes the handle over either way:
    // Close() closes it.
    //
    // POSIX: the handle is a file descriptor; a test that plays the other
    // process on a thread hands this a dup() of it.
    bool Map(ObjectHandle handle, size_t bytes);

    void Close();

    // Hands a section over whole (view and handle), e.g. to a thread that
    // is to close it.
    void Swap(SharedMemory& other) noexcept {
        std::swap(data_, other.data_);
        std::swap(size_, other.size_);
        std::swap(handle_, other.handle_);
    }

    // Has the system put pages behind the whole view without changing what
    // they hold, so that whoever writes there first does not stop at every
    // page while the system finds and clears one. Other threads may write
    // the view meanwhile, but it must stay mapped. Looks at `stop` between
    // pieces and returns early once it is set; a system that cannot do it
    // leaves the pages alone.
    void BringIn(const std::atomic<bool>& stop) const;

    uint8_t* data() const { return data_; }
    size_t size() const { return size_; }
    ObjectHandle handle() const { return handle_; }
    explicit operator bool() const { return data_ != nullptr; }

private:
    uint8_t* data_ = nullptr;
    size_t size_ = 0;
    ObjectHandle handle_ = 0;
};

}  // namespace platform
