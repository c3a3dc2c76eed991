// A helper process as the platform starts it, under Windows' rules: it
// gets the handles it is listed and no other, shares sections and events
// with its starter, leaves a record of its crash, and does not outlive the
// process that started it. The other side is child_program.exe.
#include <windows.h>

#include <cstring>
#include <string>

#include "platform/child_process.h"
#include "platform/event.h"
#include "platform/shared_memory.h"
#include "tests/wine/check.h"
#include "tests/wine/child_program.h"
#include "tests/wine/editor.h"

namespace {

using namespace child_program;
using platform::ObjectHandle;
using platform::WaitEnd;
using platform::WaitLimit;
using platform::WhileWaiting;

// Only keeps a child that hangs from hanging the run; never reached.
constexpr DWORD kHangGuard = 60000;

std::string ChildPath() { return editor::BuildFolder() + "\\child_program.exe"; }

std::string Number(ObjectHandle value) { return std::to_string(value); }

// The first byte that is not the fill's pattern; `count` when all are.
size_t FirstWrongByte(const uint8_t* bytes, size_t count, uint8_t fill) {
    for (size_t i = 0; i < count; ++i) {
        if (bytes[i] != PatternByte(i, fill)) return i;
    }
    return count;
}

ObjectHandle DuplicateHere(ObjectHandle handle) {
    HANDLE copy = nullptr;
    DuplicateHandle(GetCurrentProcess(), reinterpret_cast<HANDLE>(handle), GetCurrentProcess(), &copy, 0, FALSE,
                    DUPLICATE_SAME_ACCESS);
    return reinterpret_cast<ObjectHandle>(copy);
}

}  // namespace

TEST_CASE(child_process, a_section_maps_only_as_far_as_it_reaches) {
    constexpr size_t kBytes = 2 * 4096;
    platform::SharedMemory created;
    REQUIRE(created.Create(kBytes));
    created.data()[kBytes - 1] = 0x5A;

    const struct {
        size_t bytes;
        bool maps;
    } rows[] = {{kBytes, true}, {kBytes + 1, false}, {kBytes + 4096, false}, {0, false}};
    for (const auto& row : rows) {
        CheckRow in("mapping " + std::to_string(row.bytes) + " bytes of " + std::to_string(kBytes));
        platform::SharedMemory mapped;
        CHECK_EQ(mapped.Map(DuplicateHere(created.handle()), row.bytes), row.maps);
        CHECK_EQ(static_cast<bool>(mapped), row.maps);
        if (row.maps) CHECK_EQ(mapped.data()[kBytes - 1], 0x5A);
    }
    platform::SharedMemory none;
    CHECK(!none.Create(0));
}

TEST_CASE(child_process, a_child_gets_the_listed_handles_only_and_its_news_comes_before_its_end) {
    platform::SharedMemory shared;
    platform::AutoResetEvent go;
    platform::AutoResetEvent done;
    REQUIRE(shared.Create(kSectionBytes) && go.Create() && done.Create());
    // Inheritable, signalled, and not listed: the child must not get it.
    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
    HANDLE unlisted = CreateEventA(&inheritable, TRUE, TRUE, nullptr);
    REQUIRE(unlisted != nullptr);

    const ObjectHandle listed[] = {shared.handle(), go.handle(), done.handle()};
    platform::ChildProcess child;
    REQUIRE(child.Start(ChildPath().c_str(), listed, 3, [&](const ObjectHandle* theirs) {
        return "serve " + Number(theirs[0]) + " " + Number(theirs[1]) + " " + Number(theirs[2]) + " " +
               Number(reinterpret_cast<ObjectHandle>(unlisted));
    }));
    CHECK(child.TiedToStarter());
    REQUIRE(platform::WaitForEventOrEnd(done, child.handle(), WaitLimit::Forever, WhileWaiting::Nothing) ==
            WaitEnd::Signalled);
    auto* state = reinterpret_cast<Shared*>(shared.data());
    CHECK_EQ(FirstWrongByte(PatternStart(shared.data()), kPatternBytes, 1), kPatternBytes);
    CHECK_EQ(state->unlisted, static_cast<uint32_t>(kNothingThere));
    char folder[MAX_PATH] = {};
    GetCurrentDirectoryA(sizeof folder, folder);
    CHECK_EQ(std::string(state->current_folder), std::string(folder));

    // A section handed over once the child runs.
    platform::SharedMemory second;
    REQUIRE(second.Create(3 * 4096 + 100));
    state->second_section = static_cast<uint32_t>(child.DuplicateInto(second.handle()));
    state->second_bytes = static_cast<uint32_t>(second.size());
    CHECK(state->second_section != 0);
    go.Signal();

    // The child signals, then exits: a wait that finds both reports the
    // signal, and the next one the end.
    REQUIRE(child.WaitForEnd(kHangGuard));
    CHECK_EQ(child.ExitCode(), static_cast<uint32_t>(kServed));
    CHECK(platform::WaitForEventOrEnd(done, child.handle(), WaitLimit::Forever, WhileWaiting::TakeSentMessages) ==
          WaitEnd::Signalled);
    CHECK_EQ(FirstWrongByte(second.data(), second.size(), 2), second.size());
    CHECK(platform::WaitForEventOrEnd(done, child.handle(), WaitLimit::Forever, WhileWaiting::DispatchMessages) ==
          WaitEnd::ProcessEnded);
    CHECK(platform::WaitForEventOrEnd(done, 0, WaitLimit::Brief, WhileWaiting::Nothing) == WaitEnd::TimedOut);
    CloseHandle(unlisted);
}

TEST_CASE(child_process, a_crash_in_the_child_is_recorded_with_its_module_and_offset) {
    const struct {
        const char* how;
        uint32_t code;
    } rows[] = {
        {"null", EXCEPTION_ACCESS_VIOLATION},
        {"thread", EXCEPTION_ACCESS_VIOLATION},
        {"overflow", EXCEPTION_STACK_OVERFLOW},
    };
    for (const auto& row : rows) {
        CheckRow in(std::string("crash: ") + row.how);
        platform::SharedMemory shared;
        REQUIRE(shared.Create(kSectionBytes));
        const ObjectHandle listed[] = {shared.handle()};
        platform::ChildProcess child;
        REQUIRE(child.Start(ChildPath().c_str(), listed, 1,
                            [&](const ObjectHandle* theirs) { return "crash " + Number(theirs[0]) + " " + row.how; }));
        REQUIRE(child.WaitForEnd(kHangGuard));
        const auto* state = reinterpret_cast<const Shared*>(shared.data());
        CHECK_EQ(child.ExitCode(), static_cast<uint32_t>(kCrashRecorded));
        CHECK_EQ(state->crash.written.load(std::memory_order_acquire), 1u);
        if (row.code == EXCEPTION_ACCESS_VIOLATION) {
            CHECK(editor::IsAccessViolationCode(state->crash.code));
        } else {
            CHECK_EQ(state->crash.code, row.code);
        }
        CHECK_EQ(std::string(state->crash.module), std::string("child_program.exe"));
        // Within the function that crashed, which is a few dozen bytes long.
        CHECK(state->crash.offset >= state->crashing_function && state->crash.offset < state->crashing_function + 256);
    }
}

TEST_CASE(child_process, a_child_ends_with_the_process_that_started_it) {
    // The child starts a grandchild of its own (inside the job that ties it
    // to this process, so that their jobs nest) and is then ended without
    // a word, as a crashed editor would be.
    platform::SharedMemory shared;
    platform::AutoResetEvent done;
    REQUIRE(shared.Create(kSectionBytes) && done.Create());
    const ObjectHandle listed[] = {shared.handle(), done.handle()};
    platform::ChildProcess child;
    REQUIRE(child.Start(ChildPath().c_str(), listed, 2, [](const ObjectHandle* theirs) {
        return "tie " + Number(theirs[0]) + " " + Number(theirs[1]);
    }));
    REQUIRE(platform::WaitForEventOrEnd(done, child.handle(), WaitLimit::Forever, WhileWaiting::Nothing) ==
            WaitEnd::Signalled);
    const auto* state = reinterpret_cast<const Shared*>(shared.data());
    CHECK_EQ(state->grandchild_tied, 1u);
    HANDLE grandchild = OpenProcess(SYNCHRONIZE, FALSE, state->grandchild_id);
    REQUIRE(grandchild != nullptr);
    CHECK_EQ(WaitForSingleObject(grandchild, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    child.Terminate(1);
    CHECK_EQ(WaitForSingleObject(grandchild, kHangGuard), static_cast<DWORD>(WAIT_OBJECT_0));
    CloseHandle(grandchild);
}
