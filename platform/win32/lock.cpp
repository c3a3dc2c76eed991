#include "platform/lock.h"

#include <windows.h>

#include <new>

namespace platform {

Lock::~Lock() { TearDown(); }

bool Lock::SetUp() {
    if (state_ != nullptr) return true;
    auto* section = new (std::nothrow) CRITICAL_SECTION;
    if (section == nullptr) return false;
    InitializeCriticalSection(section);
    state_ = section;
    return true;
}

void Lock::TearDown() {
    if (state_ == nullptr) return;
    auto* section = static_cast<CRITICAL_SECTION*>(state_);
    DeleteCriticalSection(section);
    delete section;
    state_ = nullptr;
}

void Lock::Enter() { EnterCriticalSection(static_cast<CRITICAL_SECTION*>(state_)); }
void Lock::Leave() { LeaveCriticalSection(static_cast<CRITICAL_SECTION*>(state_)); }

}  // namespace platform
