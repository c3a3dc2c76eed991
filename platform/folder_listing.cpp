// What both ports of the folder listing share. Windows hands a listing's
// first item to the call that opens it, and "nothing matches" is known
// there; both ports read the first item at Open, and Next hands it out
// before it reads on.
#include "platform/folder.h"

namespace platform {

FolderListing::~FolderListing() { Close(); }

bool FolderListing::Open(const char* pattern) {
    Close();
    if (!OpenSystemListing(pattern, &pending_)) {
        Close();
        return false;
    }
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
    return NextSystemItem(item);
}

void FolderListing::Close() {
    if (handle_ != nullptr) {
        CloseSystemListing();
        handle_ = nullptr;
    }
    have_pending_ = false;
}

}  // namespace platform
