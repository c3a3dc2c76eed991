#include "simulator/editor/editor_system.h"

#include <windows.h>

namespace editor_sim {

uint64_t CurrentThreadKey() { return GetCurrentThreadId(); }

CallLock::CallLock() : state_(new CRITICAL_SECTION) {
    InitializeCriticalSection(static_cast<CRITICAL_SECTION*>(state_));
}

CallLock::~CallLock() {
    DeleteCriticalSection(static_cast<CRITICAL_SECTION*>(state_));
    delete static_cast<CRITICAL_SECTION*>(state_);
}

void CallLock::Enter() { EnterCriticalSection(static_cast<CRITICAL_SECTION*>(state_)); }
void CallLock::Leave() { LeaveCriticalSection(static_cast<CRITICAL_SECTION*>(state_)); }

size_t PageBytes() {
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    return system.dwPageSize;
}

void* ReserveGuardedRegion(size_t usable) {
    void* region = VirtualAlloc(nullptr, usable + PageBytes(), MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    DWORD previous = 0;
    if (region != nullptr &&
        !VirtualProtect(static_cast<uint8_t*>(region) + usable, PageBytes(), PAGE_NOACCESS, &previous)) {
        VirtualFree(region, 0, MEM_RELEASE);
        return nullptr;
    }
    return region;
}

void ReleaseGuardedRegion(void* region, size_t) { VirtualFree(region, 0, MEM_RELEASE); }

}  // namespace editor_sim
