// The binary interface between the editor and its output plugins: two plain
// records of a 32-bit Windows process, every field 4 bytes, no gaps, every
// function cdecl (the i686 default, so no attribute is spelled out).
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/handles.h"

using platform::ModuleHandle;
using platform::WindowHandle;

struct OutputInfo;

struct OutputPluginTable {
    int32_t flags;
    const char* name;
    const char* file_filter;
    const char* information;
    int (*init)();
    int (*exit)();
    int (*output)(OutputInfo* info);
    int (*config)(WindowHandle parent, ModuleHandle module);
    int (*config_get)(void* data, int size);
    int (*config_set)(void* data, int size);
    int32_t reserved[16];
};

struct OutputInfo {
    int32_t flags;
    int32_t width;
    int32_t height;
    int32_t passthrough_1[2];
    int32_t frame_count;
    int32_t frame_bytes;
    int32_t passthrough_2[4];
    uint8_t passthrough_3[4];
    void* (*get_video)(int frame);
    void* (*get_audio)(int start, int length, int* read);
    int (*is_abort)();
    int (*show_progress)(int position, int total);
    int (*get_flag)(int frame);
    int (*update_preview)();
    void* (*get_video_ex)(int frame, uint32_t format);
};

using GetOutputPluginTableFunction = OutputPluginTable* (*)();

// Video format codes (FOURCC). Both byte orders of the two named codes occur
// in the wild, so both are accepted.
constexpr uint32_t kFormatDefault = 0;
constexpr uint32_t kFormatYUY2 = 0x32595559;
constexpr uint32_t kFormatYUY2Reversed = 0x59555932;
constexpr uint32_t kFormatYC48 = 0x38344359;
constexpr uint32_t kFormatYC48Reversed = 0x59433438;
// Marks "no format" where a format code is held; never a valid request.
constexpr uint32_t kNoFormat = 0xFFFFFFFF;

// The layout is fixed by the 32-bit editor; the native build (8-byte
// pointers) only uses the records in-process, so the checks apply where the
// layout is the binary interface.
#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(OutputPluginTable) == 104, "OutputPluginTable is 104 bytes");
static_assert(offsetof(OutputPluginTable, flags) == 0, "");
static_assert(offsetof(OutputPluginTable, name) == 4, "");
static_assert(offsetof(OutputPluginTable, file_filter) == 8, "");
static_assert(offsetof(OutputPluginTable, information) == 12, "");
static_assert(offsetof(OutputPluginTable, init) == 16, "");
static_assert(offsetof(OutputPluginTable, exit) == 20, "");
static_assert(offsetof(OutputPluginTable, output) == 24, "");
static_assert(offsetof(OutputPluginTable, config) == 28, "");
static_assert(offsetof(OutputPluginTable, config_get) == 32, "");
static_assert(offsetof(OutputPluginTable, config_set) == 36, "");
static_assert(offsetof(OutputPluginTable, reserved) == 40, "");

static_assert(sizeof(OutputInfo) == 76, "OutputInfo is 76 bytes");
static_assert(offsetof(OutputInfo, flags) == 0, "");
static_assert(offsetof(OutputInfo, width) == 4, "");
static_assert(offsetof(OutputInfo, height) == 8, "");
static_assert(offsetof(OutputInfo, passthrough_1) == 12, "");
static_assert(offsetof(OutputInfo, frame_count) == 20, "");
static_assert(offsetof(OutputInfo, frame_bytes) == 24, "");
static_assert(offsetof(OutputInfo, passthrough_2) == 28, "");
static_assert(offsetof(OutputInfo, passthrough_3) == 44, "");
static_assert(offsetof(OutputInfo, get_video) == 48, "");
static_assert(offsetof(OutputInfo, get_audio) == 52, "");
static_assert(offsetof(OutputInfo, is_abort) == 56, "");
static_assert(offsetof(OutputInfo, show_progress) == 60, "");
static_assert(offsetof(OutputInfo, get_flag) == 64, "");
static_assert(offsetof(OutputInfo, update_preview) == 68, "");
static_assert(offsetof(OutputInfo, get_video_ex) == 72, "");
#endif
