// What a test tells the fault sub-plugin from outside its calls.
#pragma once

// An auto-reset event: each signal lets one idle thread of the sub-plugin
// crash its process (FAULT_CRASHES_WHEN_IDLE).
inline constexpr char kCrashNowEvent[] = "OffloaderTestFaultCrashNow";
