// The one section of memory that the isolated module and its helper program
// both map: the call in flight and its answer, the crash record, and during
// an export the relay's channel with the rings' words. Plain values only;
// each side reads what the other wrote as a stranger's bytes and checks it
// before it uses it (isolated/protocol/block_checks.h).
//
// A call: the module writes its arguments, stores `call.code` (release) and
// signals the call event; the helper loads the code (acquire), answers, stores
// `call.status` (release) and signals the reply event. The module waits for
// the reply or for the helper's end, whichever comes first.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/crash_report.h"
#include "plugin/export_state.h"
#include "plugin/output_plugin.h"

// "OFLB", and the layout's version: a helper from another build refuses the block.
constexpr uint32_t kControlBlockMagic = 0x424C464F;
constexpr uint32_t kControlBlockVersion = 2;

// How the helper ends when it refuses to serve (its command line or the
// block is not what its starter makes: another build's module, or no
// module at all), and when an encoder crashed it (the crash record says
// where).
constexpr uint32_t kHelperRefusedExitCode = 64;
constexpr uint32_t kHelperCrashedExitCode = 70;

enum class HelperCall : int32_t {
    None = 0,
    Scan = 1,       // load, check and init every encoder; the listing into the payload (scan_request.h)
    Config = 2,     // `encoder`'s config, owned by `parent_window`
    ConfigGet = 3,  // `encoder`'s config_get: the size query (`size_query`), or at most `size` bytes into the payload
    ConfigSet = 4,  // `encoder`'s config_set with the payload's `size` bytes
    Output = 5,     // `encoder`'s output; the export's channel is live until the answer
    Exit = 6,       // every encoder's exit, every module unloaded; the helper then ends
};

enum class CallStatus : int32_t {
    Pending = 0,
    Done = 1,     // `result` is the encoder function's own
    Refused = 2,  // the helper found the call's arguments unusable, or the encoder lacks the function
};

// Calls, answers, listings and settings travel through this much; settings
// beyond it are refused rather than cut.
constexpr size_t kPayloadBytes = 1u << 20;

// One encoder as the scan found it. Strings are NUL-terminated within their
// field, cut (on the byte) where the encoder's own are longer.
struct EncoderListing {
    char file_name[260];
    char name[256];
    char information[512];
    int32_t present;  // 0: a file of the roster that this helper could not start (scan_request.h)
    int32_t has_config;
    int32_t has_config_get;
    int32_t has_config_set;
};
// The module makes one set of proxy functions per listed encoder when it is
// built: encoders beyond these are neither listed nor kept started.
constexpr int32_t kMaxListedEncoders = 256;
static_assert(kMaxListedEncoders * sizeof(EncoderListing) <= kPayloadBytes, "the listing fits the payload");

struct CallRecord {
    std::atomic<int32_t> code{0};  // a HelperCall, stored last by the module
    // The encoder's index in the listing, which stays the first scan's for
    // the helper's successors (scan_request.h); Scan: the roster's length.
    int32_t encoder = -1;
    // Scan: the request's bytes; ConfigGet: the room offered, or the size
    // query's argument; ConfigSet: the bytes given.
    int32_t size = 0;
    int32_t size_query = 0;          // ConfigGet: 1 for the query, which the encoder gets with no buffer
    uint32_t parent_window = 0;      // Config: the relay's dialog (a window handle, 32 bits in both processes)
    std::atomic<int32_t> status{0};  // a CallStatus, stored last by the helper
    int32_t result = 0;              // what the encoder's function returned
    int32_t payload_bytes = 0;       // what the helper wrote into the payload (Scan: listings; ConfigGet: bytes)
    // Scan: the file whose module the helper is loading or starting, so that
    // a crash meanwhile can be put down to it.
    char scan_file[260] = {};
    // Scan: counts the files started, after each one is named above; the
    // module's patience with a silent helper is per encoder, not per scan.
    std::atomic<uint32_t> progress{0};
};

// Output's arguments: the editor's OutputInfo without its functions, the
// buffer count, and the output file's name (the editor's passthrough_3 is a
// pointer into its own memory), copied into the payload after the rings'
// words.
struct OutputRequest {
    OutputInfo info{};  // the functions are nulls here; the helper puts its own in
    int32_t buffer_count = 0;
    int32_t worker_priority = 0;   // the editor's thread's, for the thread that runs output
    int32_t file_name_offset = 0;  // in the payload; 0 when the editor named no file
    int32_t file_name_bytes = 0;   // without its NUL
};

// A section that the module made for the worker's side during an export (the
// video slots, the audio buffer), announced with the answer that first needs
// it: the helper maps it before it leaves the round trip.
struct SectionNotice {
    std::atomic<uint32_t> generation{0};  // moves on with every new section; 0: none yet
    uint32_t handle = 0;                  // the section's handle as the helper knows it
    uint32_t bytes = 0;
    int32_t stride = 0;  // the slots': bytes from one slot to the next
};

// An audio request's answer beyond the mailbox: the helper's copy of what
// the editor returned.
struct AudioAnswer {
    int32_t present = 0;       // the editor returned data (not null)
    int32_t samples_read = 0;  // what the editor stored through `read`
    int32_t bytes = 0;         // copied into the audio section
};

struct ControlBlock {
    uint32_t magic = kControlBlockMagic;
    uint32_t version = kControlBlockVersion;
    uint32_t block_bytes = sizeof(ControlBlock);
    // Written by the module before the helper starts: the editor's
    // executable, beside which the sidecar folder lies.
    char editor_executable[260] = {};
    CallRecord call;
    OutputRequest output;
    SectionNotice slots;
    SectionNotice audio;
    AudioAnswer audio_answer;
    platform::CrashRecord crash;
    ExportChannel channel;
    // Scan: the listings. ConfigGet/ConfigSet: the settings. Output: the
    // rings' words (video tags, flag tags, flag values, each buffer_count),
    // then the output file's name.
    alignas(64) uint8_t payload[kPayloadBytes];
};
