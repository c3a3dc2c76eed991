// The test program's record of the calls its test sub-plugins received. The
// sub-plugins find it through the program's OffloaderTestRecord export, so
// the record outlives their unloading; those that run in another program
// (the isolated module's helper) append to a file that this record takes in
// whenever it is read.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct RecordedCall {
    std::string module;
    std::string function;
    int argument;
    int result;
    std::string bytes;
    std::string directory;
    uint32_t thread_id;
    int thread_priority;
    int32_t detail;
};

// Every call recorded since the last TakeCalls(), oldest first.
std::vector<RecordedCall> TakeCalls();
std::vector<RecordedCall> PeekCalls();

// Calls of one function, by any module when `module` is empty.
std::vector<RecordedCall> CallsTo(const std::vector<RecordedCall>& calls, const std::string& module,
                                  const std::string& function);
