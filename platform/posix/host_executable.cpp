// GetHostExecutablePath has a file of its own: the native tests replace it to
// put the editor's executable into a folder of their choosing.
#include <unistd.h>

#include <cstring>

#include "platform/module.h"

namespace platform {

bool GetHostExecutablePath(char* buffer, size_t size) {
    if (size == 0) return false;
    // readlink neither terminates the path nor says whether it was cut short:
    // a path that fills the whole buffer may have been.
    const ssize_t length = readlink("/proc/self/exe", buffer, size);
    if (length <= 0 || static_cast<size_t>(length) >= size) return false;
    buffer[length] = '\0';
    return true;
}

}  // namespace platform
