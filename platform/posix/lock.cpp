#include "platform/lock.h"

#include <mutex>
#include <new>

namespace platform {

Lock::~Lock() { TearDown(); }

bool Lock::SetUp() {
    if (state_ != nullptr) return true;
    state_ = new (std::nothrow) std::mutex;
    return state_ != nullptr;
}

void Lock::TearDown() {
    delete static_cast<std::mutex*>(state_);
    state_ = nullptr;
}

void Lock::Enter() { static_cast<std::mutex*>(state_)->lock(); }
void Lock::Leave() { static_cast<std::mutex*>(state_)->unlock(); }

}  // namespace platform
