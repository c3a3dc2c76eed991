#include "platform/crash_report.h"

#include <dlfcn.h>
#include <signal.h>
#include <ucontext.h>
#include <unistd.h>

#include <cstring>
#include <initializer_list>

namespace platform {

namespace {
CrashRecord* g_record = nullptr;
uint32_t g_exit_code = 0;
std::atomic<int> g_claimed{0};
// A stack overflow leaves the thread no stack to run the handler on. Not
// SIGSTKSZ, which is no constant any more.
alignas(16) char g_alternate_stack[64 * 1024];

uintptr_t ProgramCounter(void* context) {
    auto* machine = static_cast<ucontext_t*>(context);
#if defined(__x86_64__)
    return static_cast<uintptr_t>(machine->uc_mcontext.gregs[REG_RIP]);
#elif defined(__i386__)
    return static_cast<uintptr_t>(machine->uc_mcontext.gregs[REG_EIP]);
#elif defined(__aarch64__)
    return static_cast<uintptr_t>(machine->uc_mcontext.pc);
#else
    (void)machine;
    return 0;
#endif
}

void RecordCrash(int signal, siginfo_t*, void* context) {
    if (g_claimed.exchange(1) != 0) {
        // Another thread's crash is being written, and it ends the process.
        for (;;) pause();
    }
    CrashRecord* record = g_record;
    const uintptr_t address = ProgramCounter(context);
    record->code = static_cast<uint32_t>(signal);
    record->offset = static_cast<uint32_t>(address);
    record->module[0] = '\0';
    // dladdr is not async-signal-safe (it takes the loader's lock), which a
    // process that ends right after may risk: it serves the native tests.
    Dl_info found = {};
    if (address != 0 && dladdr(reinterpret_cast<void*>(address), &found) != 0 && found.dli_fname != nullptr) {
        record->offset = static_cast<uint32_t>(address - reinterpret_cast<uintptr_t>(found.dli_fbase));
        const char* name = std::strrchr(found.dli_fname, '/');
        name = name != nullptr ? name + 1 : found.dli_fname;
        std::strncpy(record->module, name, sizeof record->module - 1);
        record->module[sizeof record->module - 1] = '\0';
    }
    record->written.store(1, std::memory_order_release);
    _exit(static_cast<int>(g_exit_code));
}
}  // namespace

void RecordCrashesInto(CrashRecord* record, uint32_t exit_code) {
    g_record = record;
    g_exit_code = exit_code;
    stack_t stack = {};
    stack.ss_sp = g_alternate_stack;
    stack.ss_size = sizeof g_alternate_stack;
    sigaltstack(&stack, nullptr);
    struct sigaction action = {};
    action.sa_sigaction = RecordCrash;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGSEGV, SIGBUS, SIGILL, SIGFPE}) sigaction(signal, &action, nullptr);
}

}  // namespace platform
