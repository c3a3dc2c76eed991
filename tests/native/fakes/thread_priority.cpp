#include <map>
#include <mutex>
#include <utility>

#include "platform/thread.h"
#include "tests/native/fakes/fakes.h"

namespace {
thread_local int t_priority = 0;
// Per Thread object, with the id of the thread it was given for: the same
// object runs one worker after another, and each starts at 0. The port never
// gives an id twice in a process.
std::mutex g_mutex;
std::map<const platform::Thread*, std::pair<uint32_t, int>> g_priorities;
}  // namespace

bool platform::Thread::SetPriority(int priority) {
    if (!Started()) return false;
    std::lock_guard<std::mutex> guard(g_mutex);
    g_priorities[this] = {Id(), priority};
    return true;
}

int platform::Thread::Priority() const {
    if (!Started()) return kPriorityReadFailed;
    std::lock_guard<std::mutex> guard(g_mutex);
    auto found = g_priorities.find(this);
    return found != g_priorities.end() && found->second.first == Id() ? found->second.second : 0;
}

int platform::CurrentThreadPriority() { return t_priority; }

void fakes::SetCurrentThreadPriority(int priority) { t_priority = priority; }
