// A helper program that this process starts and owns: it receives exactly
// the handles it is given, and it cannot outlive its starter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "platform/handles.h"

namespace platform {

class ChildProcess {
public:
    // What follows the program's quoted path on its command line, made from
    // the values by which the child knows the handles it inherits, one per
    // handle listed and in the same order: they are not this process's
    // values, and the child learns them only from its command line.
    using Arguments = std::function<std::string(const ObjectHandle* child_handles)>;

    ChildProcess() = default;
    ~ChildProcess();  // ends a child that still runs, then closes
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts `executable` (a full path) in this process's current directory.
    // It inherits the `count` handles listed and no other, however many of
    // this process's handles are inheritable. It is tied to this process:
    // when this process ends, however it ends, so does the child (see
    // TiedToStarter). False leaves nothing running.
    //
    // POSIX: the handles are file descriptors, the child's are 3, 4, ...,
    // and `arguments` is split at blanks outside double quotes.
    bool Start(const char* executable, const ObjectHandle* handles, size_t count, const Arguments& arguments);

    bool Started() const { return process_ != 0; }
    // False when the system allowed no tie: this process runs inside a job
    // that lets its children neither nest a job of their own (before
    // Windows 8) nor break away from it. The child then runs all the same,
    // and must watch its starter itself. Always false on POSIX, where
    // nothing the port can set up survives its starter's death.
    bool TiedToStarter() const { return job_ != 0; }
    // Polls without waiting; true once the child has ended, however.
    bool HasEnded() const;
    // True once the child has ended, waiting up to `milliseconds` for it.
    bool WaitForEnd(uint32_t milliseconds) const;
    // The child's exit code once it has ended (the exception code for a
    // crash the system ended it for; 128 + the signal on POSIX); 0 before.
    uint32_t ExitCode() const;
    // Ends the child with `code` (POSIX: by SIGKILL, whatever the code) and
    // waits for it to be gone.
    void Terminate(uint32_t code);
    // Ends a child that still runs and closes every handle; Started() is
    // false afterwards.
    void Close();

    // One of this process's handles, duplicated into the child with the
    // same access; the value the child knows it by, or 0 on failure. Always
    // 0 on POSIX: a descriptor cannot be put into a running process.
    ObjectHandle DuplicateInto(ObjectHandle handle) const;

    // The process itself, to wait on together with an event.
    ObjectHandle handle() const { return process_; }

private:
    ObjectHandle process_ = 0;
    ObjectHandle job_ = 0;  // the tie to this process's life, where the port has one
    uint32_t id_ = 0;
};

}  // namespace platform
