// The isolated module when an encoder takes its helper down, or there is no
// helper to start: the editor's call returns, the user is told what happened
// and to which encoder, and the next call works through a fresh helper. And
// the helper itself, which serves nobody but the module that started it.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "isolated/protocol/control_block.h"
#include "tests/common/call_log.h"
#include "tests/common/cp932_texts.h"
#include "tests/subplugins/fault_orders.h"
#include "tests/wine/check.h"
#include "tests/wine/editor.h"
#include "tests/wine/host_editor.h"
#include "tests/wine/settings_bytes.h"

using namespace settings_bytes;

namespace {

const char kCrashInInit[] = "fault_crash_init.auo_";
const char kCrashInConfigGet[] = "fault_crash_config_get.auo_";
const char kCrashInOutput[] = "fault_crash_output.auo_";
const char kCrashWhenIdle[] = "fault_crash_idle.auo_";
const char kStuck[] = "fault_stuck.auo_";
const char kStuckInInit[] = "fault_stuck_init.auo_";
const char kStuckInConfigGet[] = "fault_stuck_config_get.auo_";
const char kFaultName[] = "Fault Encoder";
constexpr DWORD kBoxLimit = 10000;

const char kNotIsolated[] = "sidecar.auo runs its encoders in the editor's process: a crash there is the editor's";

std::vector<std::string> BoxesShown(size_t count) {
    editor::WaitForMessageBoxes(count, kBoxLimit);
    return editor::TakeMessageBoxTexts();
}

void PrintTexts(const std::vector<std::string>& texts) {
    for (const std::string& text : texts) std::printf("      box: %s\n", text.c_str());
}

int Restore(const editor::Relay& relay, const std::string& name, const std::string& inner) {
    std::vector<uint8_t> record = MakeRecord(8, name, inner);
    return relay.table->config_set(record.data(), static_cast<int>(record.size()));
}

std::string HelperPath() { return editor::Folder() + "\\sidecar_helper.exe"; }

// Starts the helper with `arguments`, handing on every inheritable handle;
// its exit code, or STILL_ACTIVE when it has not ended within the bound.
DWORD RunHelper(const std::string& arguments) {
    std::string command = "\"" + HelperPath() + "\"" + (arguments.empty() ? "" : " " + arguments);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
        return 0xFFFFFFFF;
    }
    WaitForSingleObject(process.hProcess, kBoxLimit);
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(process.hProcess, &code);
    if (code == STILL_ACTIVE) TerminateProcess(process.hProcess, 1);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return code;
}

// A section and two events as a module would hand them on, inheritable.
struct HandedOn {
    HANDLE section = nullptr;
    HANDLE call = nullptr;
    HANDLE reply = nullptr;
    HANDLE done = nullptr;
    HANDLE wake = nullptr;

    HandedOn(size_t bytes, uint32_t version) {
        SECURITY_ATTRIBUTES inherited = {sizeof inherited, nullptr, TRUE};
        section =
            CreateFileMappingA(INVALID_HANDLE_VALUE, &inherited, PAGE_READWRITE, 0, static_cast<DWORD>(bytes), nullptr);
        for (HANDLE* event : {&call, &reply, &done, &wake}) *event = CreateEventA(&inherited, FALSE, FALSE, nullptr);
        if (void* view = section != nullptr ? MapViewOfFile(section, FILE_MAP_WRITE, 0, 0, bytes) : nullptr) {
            // The block's head as this build writes it, with `version`.
            const uint32_t head[3] = {kControlBlockMagic, version, static_cast<uint32_t>(sizeof(ControlBlock))};
            std::memcpy(view, head, sizeof head);
            UnmapViewOfFile(view);
        }
    }
    ~HandedOn() {
        for (HANDLE handle : {section, call, reply, done, wake}) {
            if (handle != nullptr) CloseHandle(handle);
        }
    }
    std::string Arguments() const {
        char line[200];
        std::snprintf(line, sizeof line, "--block=%lu --call=%lu --reply=%lu --done=%lu --wake=%lu",
                      reinterpret_cast<unsigned long>(section), reinterpret_cast<unsigned long>(call),
                      reinterpret_cast<unsigned long>(reply), reinterpret_cast<unsigned long>(done),
                      reinterpret_cast<unsigned long>(wake));
        return line;
    }
};

}  // namespace

namespace {

// The two ways an encoder takes its helper down outside an export: it
// crashes, or it stops answering and the module ends the helper once the
// call has waited for longer than it may.
struct Ending {
    const char* what;
    const char* file;
    bool crashes;
};

bool IsEndingText(const Ending& ending, const std::string& text, const std::string& name, bool left_out) {
    if (ending.crashes) return editor::IsAccessViolationText(text, name, ending.file, left_out);
    return text ==
           std::string(cp932::kCrashOpening) + name + cp932::kHungClosing + (left_out ? cp932::kLeftOutNote : "");
}

}  // namespace

TEST_CASE(isolation,
          an_encoder_that_crashes_or_hangs_the_helper_in_init_is_left_out_with_a_message_and_the_others_kept) {
    if (!editor::Module().isolated) SKIP_CASE(kNotIsolated);
    for (const Ending& ending : {Ending{"a crash", kCrashInInit, true}, Ending{"a hang", kStuckInInit, false}}) {
        CheckRow in_row(ending.what);
        editor::ClearSidecar();
        for (const char* name : {"basic.auo_", ending.file, "with_settings.auo_"}) {
            REQUIRE(editor::InstallSubPlugin(name));
        }
        editor::Relay relay;
        REQUIRE(editor::LoadRelay(&relay));
        TakeCalls();
        CHECK_EQ(relay.table->init(), 1);
        const std::vector<std::string> texts = BoxesShown(1);
        REQUIRE_EQ(texts.size(), 1u);
        if (!CHECK(IsEndingText(ending, texts[0], ending.file, true))) PrintTexts(texts);
        // Started in the first helper only; the others in the next one too.
        std::vector<RecordedCall> calls = TakeCalls();
        CHECK_EQ(CallsTo(calls, ending.file, "load").size(), 1u);
        CHECK_EQ(CallsTo(calls, ending.file, "init").size(), 1u);
        CHECK(!CallsTo(calls, "with_settings.auo_", "init").empty());

        // The others can be chosen; the one left out cannot.
        const std::string inner = SettingsOf("with_settings.auo_");
        CHECK_EQ(Restore(relay, "with_settings.auo_", inner), kHeader + static_cast<int>(inner.size()));
        CHECK_EQ(Restore(relay, "basic.auo_", ""), kHeader);
        CHECK_EQ(Restore(relay, ending.file, ""), 0);
        TakeCalls();
        CHECK_EQ(relay.table->exit(), 1);
        calls = TakeCalls();
        CHECK_EQ(CallsTo(calls, "basic.auo_", "exit").size(), 1u);
        CHECK_EQ(CallsTo(calls, "with_settings.auo_", "exit").size(), 1u);
        CHECK(CallsTo(calls, ending.file, "exit").empty());
        CHECK(editor::TakeMessageBoxTexts().empty());
        editor::UnloadRelay(&relay);
        editor::ClearSidecar();
    }
}

TEST_CASE(isolation,
          a_crash_or_hang_in_config_get_fails_the_call_with_a_message_and_the_next_call_starts_a_fresh_helper) {
    if (!editor::Module().isolated) SKIP_CASE(kNotIsolated);
    for (const Ending& ending :
         {Ending{"a crash", kCrashInConfigGet, true}, Ending{"a hang", kStuckInConfigGet, false}}) {
        CheckRow in_row(ending.what);
        editor::ClearSidecar();
        for (const char* name : {ending.file, "with_settings.auo_"}) REQUIRE(editor::InstallSubPlugin(name));
        editor::Relay relay;
        REQUIRE(editor::LoadRelay(&relay));
        REQUIRE_EQ(relay.table->init(), 1);
        CHECK_EQ(Restore(relay, ending.file, ""), kHeader + 16);
        const DWORD first_helper = editor::HelperProcessId();
        CHECK(first_helper != 0);
        TakeCalls();

        // The editor saves: the encoder's size query takes its helper down,
        // and the record is the relay's header alone.
        CHECK_EQ(relay.table->config_get(nullptr, 0), kHeader);
        std::vector<std::string> texts = BoxesShown(1);
        REQUIRE_EQ(texts.size(), 1u);
        if (!CHECK(IsEndingText(ending, texts[0], kFaultName, false))) PrintTexts(texts);
        CHECK_EQ(CallsTo(TakeCalls(), ending.file, "config_get").size(), 1u);
        CHECK_EQ(editor::HelperProcessId(), 0u);

        // The next call, to another encoder, goes to a fresh helper.
        const std::string inner = SettingsOf("with_settings.auo_");
        TakeCalls();
        CHECK_EQ(Restore(relay, "with_settings.auo_", inner), kHeader + static_cast<int>(inner.size()));
        const DWORD second_helper = editor::HelperProcessId();
        CHECK(second_helper != 0 && second_helper != first_helper);
        std::vector<RecordedCall> sets = CallsTo(TakeCalls(), "with_settings.auo_", "config_set");
        REQUIRE(!sets.empty());
        CHECK(sets.back().bytes == inner);
        CHECK(editor::TakeMessageBoxTexts().empty());
        CHECK_EQ(relay.table->exit(), 1);
        editor::UnloadRelay(&relay);
        editor::ClearSidecar();
        TakeCalls();
    }
}

TEST_CASE(isolation, a_crash_between_calls_is_told_at_the_next_call_which_runs_in_a_fresh_helper) {
    if (!editor::Module().isolated) SKIP_CASE(kNotIsolated);
    editor::ClearSidecar();
    REQUIRE(editor::InstallSubPlugin(kCrashWhenIdle));
    const HANDLE crash_now = CreateEventA(nullptr, FALSE, FALSE, kCrashNowEvent);
    REQUIRE(crash_now != nullptr);
    editor::Relay relay;
    REQUIRE(editor::LoadRelay(&relay));
    REQUIRE_EQ(relay.table->init(), 1);
    // Choosing it starts the encoder's thread, which crashes when told.
    CHECK_EQ(Restore(relay, kCrashWhenIdle, ""), kHeader + 16);
    const DWORD first_helper = editor::HelperProcessId();
    const HANDLE helper = OpenProcess(SYNCHRONIZE, FALSE, first_helper);
    REQUIRE(helper != nullptr);
    SetEvent(crash_now);
    CHECK_EQ(WaitForSingleObject(helper, kBoxLimit), static_cast<DWORD>(WAIT_OBJECT_0));
    CloseHandle(helper);
    CHECK(editor::TakeMessageBoxTexts().empty());

    // The editor saves: the user is told, and the call is answered by a
    // fresh helper that has the encoder's settings back.
    CHECK_EQ(relay.table->config_get(nullptr, 0), kHeader + 16);
    const std::vector<std::string> texts = BoxesShown(1);
    REQUIRE_EQ(texts.size(), 1u);
    if (!CHECK(editor::IsAccessViolationText(texts[0], kFaultName, kCrashWhenIdle, false))) PrintTexts(texts);
    const DWORD second_helper = editor::HelperProcessId();
    CHECK(second_helper != 0 && second_helper != first_helper);
    CHECK_EQ(relay.table->exit(), 1);
    CHECK(editor::TakeMessageBoxTexts().empty());
    editor::UnloadRelay(&relay);
    CloseHandle(crash_now);
    editor::ClearSidecar();
    TakeCalls();
}

TEST_CASE(isolation, without_its_helper_the_module_says_so_and_lists_nothing_until_the_helper_is_back) {
    if (!editor::Module().isolated) SKIP_CASE(kNotIsolated);
    editor::ClearSidecar();
    REQUIRE(editor::InstallSubPlugin("basic.auo_"));
    const std::string away = HelperPath() + ".away";
    REQUIRE(MoveFileA(HelperPath().c_str(), away.c_str()));
    editor::Relay relay;
    bool loaded = editor::LoadRelay(&relay);
    if (loaded) {
        CHECK_EQ(relay.table->init(), 1);
        const std::vector<std::string> texts = BoxesShown(1);
        CHECK(texts == std::vector<std::string>{cp932::kHelperMissingText});
        std::vector<uint8_t> record(static_cast<size_t>(kHeader));
        CHECK_EQ(relay.table->config_get(record.data(), kHeader), kHeader);
        CHECK_EQ(NameField(record.data()), std::string(256, '\0'));
        CHECK_EQ(relay.table->exit(), 1);
        editor::UnloadRelay(&relay);
    }
    REQUIRE(MoveFileA(away.c_str(), HelperPath().c_str()));
    REQUIRE(loaded);

    REQUIRE(editor::LoadRelay(&relay));
    CHECK_EQ(relay.table->init(), 1);
    std::vector<uint8_t> record(static_cast<size_t>(kHeader));
    CHECK_EQ(relay.table->config_get(record.data(), kHeader), kHeader);
    CHECK_EQ(NameField(record.data()), Padded("basic.auo_"));
    CHECK(editor::TakeMessageBoxTexts().empty());
    CHECK_EQ(relay.table->exit(), 1);
    editor::UnloadRelay(&relay);
    editor::ClearSidecar();
    TakeCalls();
}

// Each row is started by hand, as a user or another program might: none
// of them is what the module hands its helper, so the helper ends at once.
TEST_CASE(isolation, the_helper_serves_only_the_module_that_started_it) {
    if (!editor::Module().isolated) SKIP_CASE(kNotIsolated);
    const HandedOn other_build(sizeof(ControlBlock), kControlBlockVersion + 1);
    const HandedOn short_block(sizeof(ControlBlock) / 2, kControlBlockVersion);
    const HandedOn this_build(sizeof(ControlBlock), kControlBlockVersion);
    struct Row {
        const char* what;
        std::string arguments;
    };
    const Row rows[] = {
        {"no command line", ""},
        {"handles that name nothing", "--block=4000 --call=4004 --reply=4008 --done=4012 --wake=4016"},
        {"a block of another build", other_build.Arguments()},
        {"a block shorter than the build's", short_block.Arguments()},
        {"the handles out of order", this_build.Arguments().substr(this_build.Arguments().find(' ') + 1) +
                                         " --block=" + std::to_string(reinterpret_cast<uintptr_t>(this_build.section))},
        {"a word more", this_build.Arguments() + " --editor=C:\\editor.exe"},
    };
    for (const Row& row : rows) {
        CheckRow in_row(row.what);
        CHECK_EQ(RunHelper(row.arguments), kHelperRefusedExitCode);
    }
}

TEST_CASE(isolation, a_crash_in_output_fails_the_export_with_a_message_and_the_next_export_runs_in_a_fresh_helper) {
    if (!editor::Module().isolated) SKIP_CASE(kNotIsolated);
    host_editor::LoadedRelay loaded({kCrashInOutput});
    REQUIRE(loaded.ready);
    REQUIRE(loaded.Choose(kCrashInOutput, 8) >= kHeader);
    const DWORD first_helper = editor::HelperProcessId();
    host_editor::Export crashing;
    crashing.frame_count = 30;
    CHECK_EQ(loaded.Run(crashing).result, 0);
    std::vector<std::string> texts = BoxesShown(1);
    REQUIRE_EQ(texts.size(), 1u);
    if (!CHECK(editor::IsAccessViolationText(texts[0], kFaultName, kCrashInOutput, false))) PrintTexts(texts);
    CHECK_EQ(editor::HelperProcessId(), 0u);
    // The editor's thread served nothing after the helper's end and was
    // never called off its thread.
    CHECK_EQ(static_cast<long>(host_editor::g_host.off_thread), 0L);

    // The next export, with another encoder, runs whole in a fresh helper.
    REQUIRE_EQ(loaded.Choose(host_editor::kChecking, 8), kHeader);
    host_editor::Export next;
    CHECK(host_editor::CheckCleanExport(next, loaded.Run(next)));
    const DWORD second_helper = editor::HelperProcessId();
    CHECK(second_helper != 0 && second_helper != first_helper);
    CHECK(editor::TakeMessageBoxTexts().empty());
}

TEST_CASE(isolation, an_encoder_that_hangs_is_ended_after_the_editors_cancel_and_the_next_export_runs) {
    if (!editor::Module().isolated) SKIP_CASE(kNotIsolated);
    host_editor::LoadedRelay loaded({kStuck});
    REQUIRE(loaded.ready);
    REQUIRE(loaded.Choose(kStuck, 8) >= kHeader);
    // It reads frame 0 and waits for ever, asking nothing: the serving side
    // asks the editor on its behalf, and the user has cancelled.
    host_editor::Export hung;
    hung.frame_count = 30;
    hung.cancel_after_frame = 0;
    CHECK_EQ(loaded.Run(hung).result, 0);
    std::vector<std::string> texts = BoxesShown(1);
    REQUIRE_EQ(texts.size(), 1u);
    if (!CHECK_EQ(texts[0], std::string(cp932::kCrashOpening) + kFaultName + cp932::kHungClosing)) PrintTexts(texts);
    CHECK(host_editor::g_host.abort_checks > 0);
    CHECK_EQ(editor::HelperProcessId(), 0u);

    REQUIRE_EQ(loaded.Choose(host_editor::kChecking, 8), kHeader);
    host_editor::Export next;
    CHECK(host_editor::CheckCleanExport(next, loaded.Run(next)));
    CHECK(editor::TakeMessageBoxTexts().empty());
}
