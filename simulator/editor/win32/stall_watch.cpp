#include "simulator/editor/stall_watch.h"

#include <windows.h>
#include <tlhelp32.h>

#include "simulator/editor/service_editor.h"

namespace editor_sim {

namespace {

// Written with the system's own calls: the thread that is stuck may hold the
// runtime's stream or heap lock, and the report must not wait for it.
void Say(const char* text) {
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, lstrlenA(text), &written, nullptr);
}

// Attaching makes the process start a thread, which waits for the loader's
// lock: when the stuck thread holds that lock, the debugger never prints.
constexpr DWORD kDebuggerLimitMilliseconds = 60000;

// Numbers without the runtime's formatting, which may take locks.
void SayHex(const char* before, uintptr_t value, const char* after) {
    char digits[2 + 2 * sizeof value + 1];
    int at = sizeof digits - 1;
    digits[at] = '\0';
    do {
        digits[--at] = "0123456789abcdef"[value & 0xF];
        value >>= 4;
    } while (value != 0);
    digits[--at] = 'x';
    digits[--at] = '0';
    Say(before);
    Say(digits + at);
    Say(after);
}

struct ModuleSpan {
    uintptr_t begin;
    uintptr_t end;
    char name[MAX_MODULE_NAME32 + 1];
};
constexpr int kMaxModules = 256;
ModuleSpan g_modules[kMaxModules];
int g_module_count = 0;

// The snapshot reads the loader's list without its lock.
void ListModules() {
    g_module_count = 0;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return;
    MODULEENTRY32 entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Module32First(snapshot, &entry); more && g_module_count < kMaxModules;
         more = Module32Next(snapshot, &entry)) {
        ModuleSpan& span = g_modules[g_module_count++];
        span.begin = reinterpret_cast<uintptr_t>(entry.modBaseAddr);
        span.end = span.begin + entry.modBaseSize;
        lstrcpynA(span.name, entry.szModule, sizeof span.name);
    }
    CloseHandle(snapshot);
}

// Code, not data: a word on the stack that points into a module's data is
// no return address.
bool InCode(uintptr_t address) {
    MEMORY_BASIC_INFORMATION region;
    if (VirtualQuery(reinterpret_cast<void*>(address), &region, sizeof region) != sizeof region) return false;
    return (region.Protect & (PAGE_EXECUTE | PAGE_EXECUTE_READ | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY)) != 0;
}

const ModuleSpan* ModuleOf(uintptr_t address) {
    for (int i = 0; i < g_module_count; ++i) {
        if (address >= g_modules[i].begin && address < g_modules[i].end) return &g_modules[i];
    }
    return nullptr;
}

void SayPlace(const char* before, uintptr_t address) {
    const ModuleSpan* module = ModuleOf(address);
    if (module == nullptr) {
        SayHex(before, address, "\n");
        return;
    }
    Say(before);
    Say(module->name);
    SayHex("+", address - module->begin, "\n");
}

// What a stopped thread is doing, read from the outside: where it stands,
// and the words on its stack that point into a module (return addresses,
// mostly; a few may be stale). Needs no lock of the process, so it works
// where the debugger cannot attach.
void SayThread(DWORD id) {
    constexpr int kStackWords = 2048;
    constexpr int kMaxPlaces = 64;
    static uintptr_t stack[kStackWords];
    SayHex("STALL: thread ", id, "\n");
    HANDLE thread = OpenThread(THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT | THREAD_QUERY_INFORMATION, FALSE, id);
    if (thread == nullptr) return;
    CONTEXT context;
    ZeroMemory(&context, sizeof context);
    context.ContextFlags = CONTEXT_CONTROL | CONTEXT_INTEGER;
    SIZE_T read = 0;
    bool stopped = SuspendThread(thread) != static_cast<DWORD>(-1);
    if (stopped && GetThreadContext(thread, &context)) {
        // Whatever of the stack can be read: it ends somewhere above.
        for (SIZE_T bytes = sizeof stack; bytes >= 256 && read == 0; bytes /= 2) {
            if (!ReadProcessMemory(GetCurrentProcess(), reinterpret_cast<void*>(context.Esp), stack, bytes, &read)) {
                read = 0;
            }
        }
    }
    if (stopped) ResumeThread(thread);
    CloseHandle(thread);
    if (!stopped) return;
    SayPlace("  at ", context.Eip);
    int places = 0;
    for (SIZE_T i = 0; i < read / sizeof stack[0] && places < kMaxPlaces; ++i) {
        if (ModuleOf(stack[i]) == nullptr || !InCode(stack[i])) continue;
        ++places;
        SayPlace("  from ", stack[i]);
    }
}

// Every thread of this process but the caller, as the debugger's commands
// to print its stack; then the debugger lets go of the process.
bool WriteDebuggerScript(const char* path) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return false;
    HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        CloseHandle(snapshot);
        return false;
    }
    THREADENTRY32 entry;
    entry.dwSize = sizeof entry;
    char line[64];
    DWORD written = 0;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID != GetCurrentProcessId() || entry.th32ThreadID == GetCurrentThreadId()) continue;
        wsprintfA(line, "bt 0x%lx\n", entry.th32ThreadID);
        WriteFile(file, line, lstrlenA(line), &written, nullptr);
    }
    WriteFile(file, "detach\n", 7, &written, nullptr);
    CloseHandle(file);
    CloseHandle(snapshot);
    return true;
}

void SayEveryThread() {
    ListModules();
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return;
    THREADENTRY32 entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID == GetCurrentProcessId() && entry.th32ThreadID != GetCurrentThreadId()) {
            SayThread(entry.th32ThreadID);
        }
    }
    CloseHandle(snapshot);
}

void PrintStacks() {
    SayEveryThread();
    char debugger[MAX_PATH];
    char folder[MAX_PATH];
    char script[MAX_PATH];
    const bool have_debugger = SearchPathA(nullptr, "winedbg.exe", nullptr, MAX_PATH, debugger, nullptr) != 0;
    if (GetTempPathA(MAX_PATH, folder) == 0 || GetTempFileNameA(folder, "stl", 0, script) == 0 ||
        !WriteDebuggerScript(script)) {
        Say("STALL: the threads cannot be listed\n");
        return;
    }
    if (!have_debugger) {
        Say("STALL: no debugger (winedbg.exe) to print more\n");
        DeleteFileA(script);
        return;
    }
    char command[3 * MAX_PATH];
    wsprintfA(command, "\"%s\" --file \"%s\" 0x%lx", debugger, script, GetCurrentProcessId());
    STARTUPINFOA startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_OUTPUT_HANDLE);
    PROCESS_INFORMATION started;
    ZeroMemory(&started, sizeof started);
    Say("STALL: Wine's debugger, on the same threads:\n");
    if (CreateProcessA(nullptr, command, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &started)) {
        if (WaitForSingleObject(started.hProcess, kDebuggerLimitMilliseconds) == WAIT_TIMEOUT) {
            Say("STALL: the debugger could not attach (the loader's lock is held?)\n");
        }
        CloseHandle(started.hThread);
        CloseHandle(started.hProcess);
    } else {
        Say("STALL: the debugger did not start\n");
    }
    DeleteFileA(script);
}

}  // namespace

bool StallWatch::Start(unsigned limit_seconds) {
    if (watcher_ != nullptr || limit_seconds == 0) return false;
    limit_seconds_ = limit_seconds;
    stop_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    report_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (stop_ == nullptr || report_ == nullptr) return false;
    // Both threads exist before anything can be stuck: starting a thread
    // later would wait for the loader's lock, which the stuck one may hold.
    reporter_ = CreateThread(nullptr, 0, Report, this, 0, nullptr);
    watcher_ = reporter_ != nullptr ? CreateThread(nullptr, 0, Watch, this, 0, nullptr) : nullptr;
    return watcher_ != nullptr;
}

void StallWatch::Stop() {
    if (stop_ != nullptr) SetEvent(stop_);
    for (void** thread : {&watcher_, &reporter_}) {
        if (*thread == nullptr) continue;
        WaitForSingleObject(*thread, INFINITE);
        CloseHandle(*thread);
        *thread = nullptr;
    }
    for (void** event : {&stop_, &report_}) {
        if (*event == nullptr) continue;
        CloseHandle(*event);
        *event = nullptr;
    }
}

void StallWatch::Step(const char* step, bool watched) {
    step_ = step;
    InterlockedExchange(&watched_, watched ? 1 : 0);
    InterlockedIncrement(&beats_);
}

void StallWatch::Beat() { InterlockedIncrement(&beats_); }

long StallWatch::Progress() const {
    return InterlockedCompareExchange(const_cast<long*>(&beats_), 0, 0) + Editor::CallsAnywhere();
}

unsigned long __stdcall StallWatch::Watch(void* self) {
    auto* watch = static_cast<StallWatch*>(self);
    long seen = watch->Progress();
    unsigned still = 0;
    while (WaitForSingleObject(watch->stop_, 1000) == WAIT_TIMEOUT) {
        const long now = watch->Progress();
        if (now != seen || InterlockedCompareExchange(&watch->watched_, 0, 0) == 0) {
            seen = now;
            still = 0;
            continue;
        }
        if (++still < watch->limit_seconds_) continue;
        char line[512];
        wsprintfA(line, "STALL: no progress for %u s during %s; the stacks of the process's threads follow\n",
                  watch->limit_seconds_, watch->step_);
        Say(line);
        SetEvent(watch->report_);
        // The report may itself get stuck behind a lock; the process ends
        // either way.
        WaitForSingleObject(watch->reporter_, kDebuggerLimitMilliseconds + 10000);
        wsprintfA(line, "STALL: ended after no progress for %u s during %s\n", watch->limit_seconds_, watch->step_);
        Say(line);
        TerminateProcess(GetCurrentProcess(), kStalledExitCode);
    }
    return 0;
}

unsigned long __stdcall StallWatch::Report(void* self) {
    auto* watch = static_cast<StallWatch*>(self);
    HANDLE events[2] = {watch->stop_, watch->report_};
    if (WaitForMultipleObjects(2, events, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) PrintStacks();
    return 0;
}

}  // namespace editor_sim
