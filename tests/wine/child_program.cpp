// The test host's child: a small program of its own that uses what the
// platform hands a helper process (see child_program.h for its commands).
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/child_process.h"
#include "platform/crash_report.h"
#include "platform/event.h"
#include "platform/shared_memory.h"
#include "tests/wine/child_program.h"

namespace {

using namespace child_program;

platform::ObjectHandle Value(const char* text) { return static_cast<platform::ObjectHandle>(std::strtoul(text, nullptr, 10)); }

void Fill(uint8_t* bytes, size_t count, uint8_t fill) {
    for (size_t i = 0; i < count; ++i) bytes[i] = PatternByte(i, fill);
}

uint32_t OffsetInThisModule(const void* code) {
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(code) -
                                 reinterpret_cast<uintptr_t>(GetModuleHandleA(nullptr)));
}

// Not a constant: a write through a known null pointer may be compiled
// into a trap instruction instead of the write.
int* volatile g_nowhere = nullptr;
volatile unsigned g_bottom = 0xFFFFFFFFu;

__attribute__((noinline)) void WriteThroughNull() { *g_nowhere = 1; }

DWORD WINAPI WritesThroughNull(void*) {
    WriteThroughNull();
    return 0;
}

__attribute__((noinline)) unsigned Recurse(unsigned depth) {
    volatile char frame[512];
    frame[0] = static_cast<char>(depth);
    if (depth == g_bottom) return 0;
    return Recurse(depth + 1) + static_cast<unsigned>(frame[0]);
}

int Serve(char** argv) {
    platform::SharedMemory shared;
    platform::AutoResetEvent go;
    platform::AutoResetEvent done;
    if (!shared.Map(Value(argv[2]), kSectionBytes) || !go.Adopt(Value(argv[3])) || !done.Adopt(Value(argv[4]))) {
        return kBadHandles;
    }
    auto* state = reinterpret_cast<Shared*>(shared.data());
    HANDLE unlisted = reinterpret_cast<HANDLE>(Value(argv[5]));
    DWORD flags = 0;
    state->unlisted = !GetHandleInformation(unlisted, &flags)               ? kNothingThere
                      : WaitForSingleObject(unlisted, 0) == WAIT_OBJECT_0 ? kTheSignalledEvent
                                                                          : kSomeHandle;
    GetCurrentDirectoryA(sizeof state->current_folder, state->current_folder);
    Fill(PatternStart(shared.data()), kPatternBytes, 1);
    done.Signal();

    if (go.Wait(platform::WaitLimit::Forever) != platform::WaitResult::Signalled) return kBadHandles;
    platform::SharedMemory second;
    if (!second.Map(state->second_section, state->second_bytes)) return kBadHandles;
    Fill(second.data(), second.size(), 2);
    done.Signal();
    return kServed;
}

int Crash(char** argv) {
    platform::SharedMemory shared;
    if (!shared.Map(Value(argv[2]), kSectionBytes)) return kBadHandles;
    auto* state = reinterpret_cast<Shared*>(shared.data());
    platform::RecordCrashesInto(&state->crash, kCrashRecorded);
    const std::string how = argv[3];
    if (how == "null") {
        state->crashing_function = OffsetInThisModule(reinterpret_cast<const void*>(&WriteThroughNull));
        WriteThroughNull();
    } else if (how == "thread") {
        state->crashing_function = OffsetInThisModule(reinterpret_cast<const void*>(&WriteThroughNull));
        HANDLE thread = CreateThread(nullptr, 0, WritesThroughNull, nullptr, 0, nullptr);
        if (thread != nullptr) WaitForSingleObject(thread, INFINITE);
    } else if (how == "overflow") {
        state->crashing_function = OffsetInThisModule(reinterpret_cast<const void*>(&Recurse));
        return static_cast<int>(Recurse(0));
    }
    return kNotCrashed;
}

int Tie(char** argv) {
    platform::SharedMemory shared;
    platform::AutoResetEvent done;
    if (!shared.Map(Value(argv[2]), kSectionBytes) || !done.Adopt(Value(argv[3]))) return kBadHandles;
    auto* state = reinterpret_cast<Shared*>(shared.data());
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, sizeof self);
    platform::ChildProcess grandchild;
    if (!grandchild.Start(self, nullptr, 0, [](const platform::ObjectHandle*) { return std::string("wait"); })) {
        return kBadHandles;
    }
    state->grandchild_id = GetProcessId(reinterpret_cast<HANDLE>(grandchild.handle()));
    state->grandchild_tied = grandchild.TiedToStarter();
    done.Signal();
    Sleep(INFINITE);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "serve" && argc == 6) return Serve(argv);
    if (command == "crash" && argc == 4) return Crash(argv);
    if (command == "tie" && argc == 4) return Tie(argv);
    if (command == "wait") Sleep(INFINITE);
    return kBadCommand;
}
