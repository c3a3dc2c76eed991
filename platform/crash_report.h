// What a process that runs foreign code leaves behind when that code
// crashes: the exception's code and where it happened, as a module and an
// offset in it, written into memory that the process's starter can read.
#pragma once

#include <atomic>
#include <cstdint>

namespace platform {

// Plain values only, so that it can sit in a section two processes share.
struct CrashRecord {
    // Set last, with release, once the fields below are complete.
    std::atomic<uint32_t> written{0};
    uint32_t code = 0;     // the exception code (a signal number on POSIX)
    uint32_t offset = 0;   // of the faulting instruction in its module; its address when no module holds it
    char module[260] = {};  // the module's file name without its folder; empty when none holds the address
};

// From now on an exception that nothing in this process handles, on any of
// its threads, is written into `record`, and the process ends at once with
// `exit_code`: no clean-up runs in a process whose state the crash may have
// corrupted. A stack overflow is recorded as well. When several threads
// crash at once, the first is recorded. A module that installs an
// unhandled-exception filter of its own afterwards takes the crashes from
// then on.
//
// POSIX (native tests only): the faults the kernel signals (SIGSEGV,
// SIGBUS, SIGILL, SIGFPE); a stack overflow is recorded only on the thread
// that called this, as only that one has an alternate stack to run on.
void RecordCrashesInto(CrashRecord* record, uint32_t exit_code);

}  // namespace platform
