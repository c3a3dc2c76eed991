// The lossless sample's output file: where the AVI layout's bytes go, by
// plain WriteFile. Small appends are gathered into large writes; every
// failure keeps the system's error code, which the user is shown in the
// system's own words.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "samples/lossless_avi/avi_layout.h"

namespace lossless_avi {

class AviFileSink : public ByteSink {
public:
    AviFileSink() = default;
    // Closes without writing what is gathered: a file not completed with
    // Close() is an export that failed, and Discard() is its end.
    ~AviFileSink() override;
    AviFileSink(const AviFileSink&) = delete;
    AviFileSink& operator=(const AviFileSink&) = delete;

    // Creates the file, or empties one of that name. False with Error() set.
    bool Create(const std::wstring& path);
    bool Append(const void* bytes, size_t size) override;
    bool Patch(uint64_t offset, const void* bytes, size_t size) override;
    // Writes what is gathered and closes the file; false with Error() set
    // (a full disk often shows only here).
    bool Close();
    // Closes and deletes the file: nothing half-written stays behind.
    void Discard();
    // The system's code for the first failure; 0 while there was none.
    DWORD Error() const { return error_; }

private:
    bool Flush();
    bool WriteAll(const uint8_t* bytes, size_t size);
    bool Seek(uint64_t offset);
    bool Fail(DWORD error);
    void Release();

    HANDLE file_ = INVALID_HANDLE_VALUE;
    std::wstring path_;
    uint8_t* buffer_ = nullptr;
    size_t buffered_ = 0;
    uint64_t written_ = 0;  // bytes already in the file, where its position stays between calls
    DWORD error_ = 0;
    bool created_ = false;
};

}  // namespace lossless_avi
