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

FolderListing::~FolderListing() { Close(); }

bool FolderListing::Open(const char* pattern) {
    Close();
    WIN32_FIND_DATAA data;
    HANDLE handle = FindFirstFileA(pattern, &data);
    if (handle == INVALID_HANDLE_VALUE) return false;
    handle_ = handle;
    CopyItem(data, &pending_);
    have_pending_ = true;
    return true;
}

bool FolderListing::Next(ListedItem* item) {
    if (handle_ == nullptr) return false;
    if (have_pending_) {
        *item = pending_;
        have_pending_ = false;
        return true;
    }
    WIN32_FIND_DATAA data;
    if (!FindNextFileA(static_cast<HANDLE>(handle_), &data)) return false;
    CopyItem(data, item);
    return true;
}

void FolderListing::Close() {
    if (handle_ != nullptr) {
        FindClose(static_cast<HANDLE>(handle_));
        handle_ = nullptr;
    }
    have_pending_ = false;
}

}  // namespace platform
