#include "platform/folder.h"

#include <dirent.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

namespace platform {

const char kPathSeparator = '/';

namespace {
// The logic joins paths the Windows way; here a backslash is a separator too.
std::string ToPosixPath(const char* path) {
    std::string result(path);
    for (char& c : result) {
        if (c == '\\') c = '/';
    }
    return result;
}
}  // namespace

bool GetCurrentFolder(char* buffer, size_t size) { return getcwd(buffer, size) != nullptr; }

bool SetCurrentFolder(const char* path) { return chdir(ToPosixPath(path).c_str()) == 0; }

void RemoveLastPathElement(char* path) {
    char* cut = nullptr;
    for (char* p = path; *p != '\0'; ++p) {
        if (*p == '/' || *p == '\\') cut = p;
    }
    if (cut == nullptr) {
        path[0] = '\0';
    } else if (cut == path) {
        path[1] = '\0';  // keep the root
    } else {
        *cut = '\0';
    }
}

bool FolderListing::OpenSystemListing(const char* pattern, ListedItem* first) {
    std::string full = ToPosixPath(pattern);
    std::string folder = ".";
    std::string name_pattern = full;
    size_t slash = full.rfind('/');
    if (slash != std::string::npos) {
        folder = slash == 0 ? "/" : full.substr(0, slash);
        name_pattern = full.substr(slash + 1);
    }
    if (folder.size() >= kPathBufferSize || name_pattern.size() >= kPathBufferSize) return false;
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) return false;
    handle_ = dir;
    std::memcpy(pattern_, name_pattern.c_str(), name_pattern.size() + 1);
    // Windows reports "nothing matches" when the listing opens; so does this.
    return NextSystemItem(first);
}

bool FolderListing::NextSystemItem(ListedItem* item) {
    DIR* dir = static_cast<DIR*>(handle_);
    while (dirent* entry = readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
        if (fnmatch(pattern_, entry->d_name, FNM_PERIOD) != 0) continue;
        size_t length = std::strlen(entry->d_name);
        if (length >= kPathBufferSize) continue;
        struct stat info;
        if (fstatat(dirfd(dir), entry->d_name, &info, 0) != 0) continue;
        std::memcpy(item->name, entry->d_name, length + 1);
        item->is_directory = S_ISDIR(info.st_mode);
        return true;
    }
    return false;
}

void FolderListing::CloseSystemListing() { closedir(static_cast<DIR*>(handle_)); }

}  // namespace platform
