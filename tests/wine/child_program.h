// What the test host and its child program (child_program.exe) agree on:
// the commands the child takes, the section they share, its exit codes.
//
//   serve SECTION GO DONE UNLISTED  maps SECTION, reports what it finds at
//       the value UNLISTED (a handle it was not given), fills the section,
//       signals DONE; on GO maps the section whose handle value and size
//       the host wrote into the first one, fills it, signals DONE, exits
//   crash SECTION HOW  records its crashes into SECTION and crashes: HOW is
//       null (a write through a null pointer), thread (the same, on a
//       thread of its own) or overflow (a stack overflow)
//   tie SECTION DONE  starts a copy of itself that waits for ever, writes
//       that copy's process id into SECTION, signals DONE, and waits
//   wait  waits for ever
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/crash_report.h"

namespace child_program {

constexpr size_t kSectionBytes = 64 * 1024;

enum ExitCode : uint32_t {
    kServed = 7,
    kCrashRecorded = 0xC4A5,
    kNotCrashed = 9,
    kBadCommand = 100,
    kBadHandles = 101,
};

// What the child found at the value of a handle it was not given.
enum Unlisted : uint32_t { kNothingThere = 1, kSomeHandle = 2, kTheSignalledEvent = 3 };

// At the start of the section; the rest holds the child's pattern.
struct Shared {
    platform::CrashRecord crash;
    uint32_t unlisted = 0;
    uint32_t crashing_function = 0;  // offset, in the child's module, of the function that crashes
    uint32_t second_section = 0;     // as the child knows it, written by the host before GO
    uint32_t second_bytes = 0;
    uint32_t grandchild_id = 0;
    uint32_t grandchild_tied = 0;
    char current_folder[260] = {};
};

// Byte i of a pattern: which fill wrote a byte, and where.
inline uint8_t PatternByte(size_t i, uint8_t fill) { return static_cast<uint8_t>(i * 131 + i / 251 + fill); }

inline uint8_t* PatternStart(uint8_t* section) { return section + sizeof(Shared); }
constexpr size_t kPatternBytes = kSectionBytes - sizeof(Shared);

}  // namespace child_program
