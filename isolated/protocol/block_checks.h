// What each side checks of the bytes the other side wrote into the control
// block before it uses them: a string field may lack its NUL, a count may be
// anything.
#pragma once

#include <cstddef>
#include <cstring>

#include "isolated/protocol/control_block.h"

// The block is laid out as this build lays it out: a helper from another
// build would read every field at the wrong place.
inline bool IsThisBuildsBlock(const ControlBlock& block) {
    return block.magic == kControlBlockMagic && block.version == kControlBlockVersion &&
           block.block_bytes == sizeof(ControlBlock);
}

// The length of the string in a field of `size` bytes; `size` when the field
// holds no NUL.
inline size_t FieldLength(const char* field, size_t size) {
    const void* end = std::memchr(field, '\0', size);
    return end != nullptr ? static_cast<size_t>(static_cast<const char*>(end) - field) : size;
}

template <size_t N>
bool FieldIsTerminated(const char (&field)[N]) {
    return FieldLength(field, N) < N;
}

// Copies a field the other side wrote, ended within its size whatever it held.
template <size_t N>
void CopyField(char (&to)[N], const char (&from)[N]) {
    const size_t length = FieldLength(from, N - 1);
    std::memcpy(to, from, length);
    to[length] = '\0';
}

// Puts `text` into a field, cut on the byte where it is longer.
template <size_t N>
void FillField(char (&field)[N], const char* text) {
    const size_t length = text != nullptr ? FieldLength(text, N - 1) : 0;
    if (length > 0) std::memcpy(field, text, length);
    std::memset(field + length, 0, N - length);
}
