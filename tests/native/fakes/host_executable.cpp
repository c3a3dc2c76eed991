#include <unistd.h>

#include <cstring>
#include <mutex>
#include <string>

#include "platform/module.h"
#include "tests/native/fakes/fakes.h"

namespace {
std::mutex g_mutex;
std::string g_override;
}  // namespace

bool platform::GetHostExecutablePath(char* buffer, size_t size) {
    if (size == 0) return false;
    std::string path;
    {
        std::lock_guard<std::mutex> guard(g_mutex);
        path = g_override;
    }
    if (path.empty()) {
        char real[4096];
        const ssize_t length = readlink("/proc/self/exe", real, sizeof real - 1);
        if (length <= 0) return false;
        path.assign(real, static_cast<size_t>(length));
    }
    if (path.size() >= size) return false;
    std::memcpy(buffer, path.c_str(), path.size() + 1);
    return true;
}

void fakes::SetHostExecutablePath(const std::string& path) {
    std::lock_guard<std::mutex> guard(g_mutex);
    g_override = path;
}
