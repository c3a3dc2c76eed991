#include "platform/crash_report.h"

#include <windows.h>

#include <cstdint>

namespace platform {

namespace {
CrashRecord* g_record = nullptr;
UINT g_exit_code = 0;
volatile LONG g_claimed = 0;
// Not on the stack, which a stack overflow has all but used up, nor on the
// heap, whose lock the crashed code may hold (the ANSI GetModuleFileNameA
// allocates there under Wine). The first crash claims it.
WCHAR g_path[MAX_PATH];

// Runs on the thread that crashed, on what is left of its stack.
LONG WINAPI RecordCrash(EXCEPTION_POINTERS* exception) {
    if (InterlockedExchange(&g_claimed, 1) != 0) {
        // Another thread's crash is being written, and it ends the process.
        for (;;) Sleep(INFINITE);
    }
    CrashRecord* record = g_record;
    const uintptr_t address = reinterpret_cast<uintptr_t>(exception->ExceptionRecord->ExceptionAddress);
    record->code = exception->ExceptionRecord->ExceptionCode;
    record->offset = static_cast<uint32_t>(address);
    record->module[0] = '\0';
    HMODULE module = nullptr;
    if (GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                           reinterpret_cast<LPCSTR>(address), &module)) {
        record->offset = static_cast<uint32_t>(address - reinterpret_cast<uintptr_t>(module));
        const DWORD length = GetModuleFileNameW(module, g_path, MAX_PATH);
        if (length > 0 && length < MAX_PATH) {
            const WCHAR* name = g_path;
            for (const WCHAR* c = g_path; *c != L'\0'; ++c) {
                if (*c == L'\\' || *c == L'/') name = c + 1;
            }
            // In the editor's code page, as it shows every other text.
            if (WideCharToMultiByte(CP_ACP, 0, name, -1, record->module, sizeof record->module, nullptr, nullptr) ==
                0) {
                record->module[0] = '\0';
            }
        }
    }
    record->written.store(1, std::memory_order_release);
    TerminateProcess(GetCurrentProcess(), g_exit_code);
    return EXCEPTION_EXECUTE_HANDLER;
}
}  // namespace

void RecordCrashesInto(CrashRecord* record, uint32_t exit_code) {
    g_record = record;
    g_exit_code = exit_code;
    SetUnhandledExceptionFilter(RecordCrash);
}

}  // namespace platform
