// A Scan call and its answer as they lie in the payload.
//
// The request: the files to pass over (each ended by its NUL; files that
// crashed an earlier helper), an empty string, then the roster's files (each
// ended by its NUL). `call.encoder` is the roster's length, or -1 for a
// first scan, which lists what it finds; `call.size` the request's bytes.
//
// The answer: `call.result` listings (at most kMaxListedEncoders), their
// bytes in `payload_bytes`. With a roster, one listing per roster file in
// the roster's order, each present or not: a helper started after another
// one ended keeps the first one's indices, which the module's proxies and
// an export's call name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "isolated/protocol/block_checks.h"
#include "isolated/protocol/control_block.h"

struct ScanRequest {
    std::vector<std::string> passed_over;
    bool has_roster = false;
    std::vector<std::string> roster;
};

namespace scan_request_detail {
constexpr size_t kNameRoom = sizeof(EncoderListing::file_name);

inline bool Put(ControlBlock& block, size_t* at, const std::string& name) {
    if (name.size() >= kNameRoom || name.find('\0') != std::string::npos) return false;
    if (name.size() + 1 > kPayloadBytes - *at) return false;
    std::memcpy(block.payload + *at, name.c_str(), name.size() + 1);
    *at += name.size() + 1;
    return true;
}

// The string at `*at`, ended within `size` and shorter than a file name field.
inline bool Take(const ControlBlock& block, size_t size, size_t* at, std::string* name) {
    if (*at >= size) return false;
    const char* start = reinterpret_cast<const char*>(block.payload + *at);
    const size_t length = FieldLength(start, size - *at);
    if (length == size - *at || length >= kNameRoom) return false;
    name->assign(start, length);
    *at += length + 1;
    return true;
}
}  // namespace scan_request_detail

// The module's side; false when the request does not fit the payload.
inline bool WriteScanRequest(ControlBlock& block, const ScanRequest& request) {
    size_t at = 0;
    for (const std::string& name : request.passed_over) {
        if (name.empty() || !scan_request_detail::Put(block, &at, name)) return false;
    }
    if (!scan_request_detail::Put(block, &at, std::string())) return false;
    if (request.has_roster) {
        if (request.roster.size() > static_cast<size_t>(kMaxListedEncoders)) return false;
        for (const std::string& name : request.roster) {
            if (!scan_request_detail::Put(block, &at, name)) return false;
        }
    }
    block.call.encoder = request.has_roster ? static_cast<int32_t>(request.roster.size()) : -1;
    block.call.size = static_cast<int32_t>(at);
    return true;
}

// The helper's side; false unless the request is exactly what the module writes.
inline bool ReadScanRequest(const ControlBlock& block, ScanRequest* request) {
    const int32_t size = block.call.size;
    const int32_t roster_length = block.call.encoder;
    if (size <= 0 || static_cast<size_t>(size) > kPayloadBytes) return false;
    if (roster_length < -1 || roster_length > kMaxListedEncoders) return false;
    const size_t bytes = static_cast<size_t>(size);
    size_t at = 0;
    std::string name;
    request->passed_over.clear();
    request->roster.clear();
    for (;;) {
        if (!scan_request_detail::Take(block, bytes, &at, &name)) return false;
        if (name.empty()) break;
        request->passed_over.push_back(name);
    }
    request->has_roster = roster_length >= 0;
    for (int32_t i = 0; i < roster_length; ++i) {
        if (!scan_request_detail::Take(block, bytes, &at, &name)) return false;
        request->roster.push_back(name);
    }
    return at == bytes;
}

// The module's side of the answer: the listings copied out, every field
// ended within its size. `roster`: the request's, whose files the answer must
// name in its order; null for a first scan. False when the answer cannot be
// what a helper writes.
inline bool ReadScanAnswer(const ControlBlock& block, const std::vector<std::string>* roster,
                           std::vector<EncoderListing>* listing) {
    const int32_t count = block.call.result;
    if (count < 0 || count > kMaxListedEncoders) return false;
    if (roster != nullptr && static_cast<size_t>(count) != roster->size()) return false;
    if (block.call.payload_bytes != static_cast<int32_t>(static_cast<size_t>(count) * sizeof(EncoderListing))) {
        return false;
    }
    listing->assign(static_cast<size_t>(count), EncoderListing{});
    for (int32_t i = 0; i < count; ++i) {
        EncoderListing entry;
        std::memcpy(&entry, block.payload + static_cast<size_t>(i) * sizeof(EncoderListing), sizeof entry);
        EncoderListing& kept = (*listing)[static_cast<size_t>(i)];
        CopyField(kept.file_name, entry.file_name);
        CopyField(kept.name, entry.name);
        CopyField(kept.information, entry.information);
        kept.present = entry.present != 0;
        kept.has_config = entry.has_config != 0;
        kept.has_config_get = entry.has_config_get != 0;
        kept.has_config_set = entry.has_config_set != 0;
        if (kept.file_name[0] == '\0') return false;
        if (roster != nullptr && (*roster)[static_cast<size_t>(i)] != kept.file_name) return false;
    }
    return true;
}
