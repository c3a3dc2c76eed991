// The process-wide current directory and folder listings.
#pragma once

#include <cstddef>

namespace platform {

// Windows' MAX_PATH, the size of every path buffer the relay keeps.
constexpr size_t kPathBufferSize = 260;

// False when the directory does not fit or cannot be read; the buffer is then
// unspecified.
bool GetCurrentFolder(char* buffer, size_t size);

// False leaves the current directory where it was.
bool SetCurrentFolder(const char* path);

// Cuts the last path element off in place ("C:\a\b.exe" -> "C:\a").
void RemoveLastPathElement(char* path);

// Path separator of the platform's file names, for joining a folder and a
// listed name.
extern const char kPathSeparator;

struct ListedItem {
    char name[kPathBufferSize];
    bool is_directory;
};

// Lists the current directory's items that match a wildcard pattern, in the
// file system's own order. Owns the search handle: closing happens at Close()
// or destruction, whichever comes first.
class FolderListing {
public:
    FolderListing() = default;
    ~FolderListing();
    FolderListing(const FolderListing&) = delete;
    FolderListing& operator=(const FolderListing&) = delete;

    // False when nothing matches or the folder cannot be listed.
    bool Open(const char* pattern);
    // False once the listing is exhausted.
    bool Next(ListedItem* item);
    void Close();

private:
    // Each port's own steps (win32/folder.cpp, posix/folder.cpp): open the
    // listing, setting handle_, and read its first item; read the next
    // item; close handle_.
    bool OpenSystemListing(const char* pattern, ListedItem* first);
    bool NextSystemItem(ListedItem* item);
    void CloseSystemListing();

    void* handle_ = nullptr;
    bool have_pending_ = false;  // the first item, read at Open
    ListedItem pending_{};
    char pattern_[kPathBufferSize] = {};
};

}  // namespace platform
