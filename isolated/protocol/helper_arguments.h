// The helper's command line after its path: the values by which the helper
// knows the handles it inherited, which only its command line can tell it.
// Nothing else is on it: the editor's executable travels in the block, so no
// path needs quoting.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "platform/handles.h"

// In the order of the handle list at the helper's start.
struct HelperHandles {
    platform::ObjectHandle block = 0;
    platform::ObjectHandle call = 0;   // the module's "a call is waiting" event
    platform::ObjectHandle reply = 0;  // the helper's "the answer is there" event
    platform::ObjectHandle done = 0;   // the relay's handoff events, the editor's context's
    platform::ObjectHandle wake = 0;
};

constexpr size_t kHelperHandleCount = 5;

namespace helper_arguments_detail {
inline constexpr const char* kNames[kHelperHandleCount] = {"--block=", "--call=", "--reply=", "--done=", "--wake="};

inline platform::ObjectHandle* Field(HelperHandles& handles, size_t index) {
    platform::ObjectHandle* fields[kHelperHandleCount] = {&handles.block, &handles.call, &handles.reply, &handles.done,
                                                          &handles.wake};
    return fields[index];
}

// A non-zero decimal number that fits a handle, and nothing else.
inline bool ParseHandle(const char* text, platform::ObjectHandle* value) {
    if (*text == '\0') return false;
    platform::ObjectHandle result = 0;
    for (; *text != '\0'; ++text) {
        if (*text < '0' || *text > '9') return false;
        const platform::ObjectHandle digit = static_cast<platform::ObjectHandle>(*text - '0');
        if (result > (UINTPTR_MAX - digit) / 10) return false;
        result = result * 10 + digit;
    }
    *value = result;
    return result != 0;
}
}  // namespace helper_arguments_detail

// `child_handles`: kHelperHandleCount values, in HelperHandles' order.
inline std::string FormatHelperArguments(const platform::ObjectHandle* child_handles) {
    std::string line;
    for (size_t i = 0; i < kHelperHandleCount; ++i) {
        if (i > 0) line += ' ';
        line += helper_arguments_detail::kNames[i];
        line += std::to_string(child_handles[i]);
    }
    return line;
}

// `arguments`: the command line's words after the program. False unless they
// are exactly what FormatHelperArguments writes.
inline bool ParseHelperArguments(int count, const char* const* arguments, HelperHandles* handles) {
    if (count != static_cast<int>(kHelperHandleCount)) return false;
    HelperHandles parsed;
    for (size_t i = 0; i < kHelperHandleCount; ++i) {
        const char* name = helper_arguments_detail::kNames[i];
        const size_t length = std::strlen(name);
        if (std::strncmp(arguments[i], name, length) != 0) return false;
        if (!helper_arguments_detail::ParseHandle(arguments[i] + length, helper_arguments_detail::Field(parsed, i))) {
            return false;
        }
    }
    *handles = parsed;
    return true;
}
