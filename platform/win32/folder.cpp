#include "platform/folder.h"

#include <windows.h>
#include <shlwapi.h>

#include <cstring>

namespace platform {

const char kPathSeparator = '\\';

bool GetCurrentFolder(char* buffer, size_t size) {
    DWORD length = GetCurrentDirectoryA(static_cast<DWORD>(size), buffer);
    return length != 0 && length < size;
}

bool SetCurrentFolder(const char* path) { return SetCurrentDirectoryA(path) != 0; }

void RemoveLastPathElement(char* path) { PathRemoveFileSpecA(path); }

namespace {
void CopyItem(const WIN32_FIND_DATAA& data, ListedItem* item) {
    std::strncpy(item->name, data.cFileName, kPathBufferSize - 1);
    item->name[kPathBufferSize - 1] = '\0';
    item->is_directory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}
}  // namespace

bool FolderListing::OpenSystemListing(const char* pattern, ListedItem* first) {
    WIN32_FIND_DATAA data;
    HANDLE handle = FindFirstFileA(pattern, &data);
    if (handle == INVALID_HANDLE_VALUE) return false;
    handle_ = handle;
    CopyItem(data, first);
    return true;
}

bool FolderListing::NextSystemItem(ListedItem* item) {
    WIN32_FIND_DATAA data;
    if (!FindNextFileA(static_cast<HANDLE>(handle_), &data)) return false;
    CopyItem(data, item);
    return true;
}

void FolderListing::CloseSystemListing() { FindClose(static_cast<HANDLE>(handle_)); }

}  // namespace platform
