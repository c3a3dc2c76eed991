#include "samples/common/settings_record.h"

#include <cstring>

namespace sample_record {

namespace {

constexpr int32_t kHeaderBytes = 8;  // the four letters and the version
constexpr int32_t kNumberBytes = 4;

void PutU32(uint8_t* out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t GetU32(const uint8_t* in) {
    return static_cast<uint32_t>(in[0]) | static_cast<uint32_t>(in[1]) << 8 | static_cast<uint32_t>(in[2]) << 16 |
           static_cast<uint32_t>(in[3]) << 24;
}

size_t TextLength(const Field& field) {
    const void* end = std::memchr(field.text, '\0', field.capacity);
    return end != nullptr ? static_cast<size_t>(static_cast<const char*>(end) - field.text) : field.capacity - 1;
}

}  // namespace

int32_t RecordSize(const Fields& fields) {
    int32_t size = kHeaderBytes;
    for (const Field& field : fields) {
        if (field.number != nullptr) size += kNumberBytes;
        if (field.text != nullptr) size += kNumberBytes + static_cast<int32_t>(TextLength(field));
    }
    return size;
}

int32_t WriteRecord(const char (&tag)[4], uint32_t version, const Fields& fields, void* data, int32_t size) {
    const int32_t needed = RecordSize(fields);
    if (data == nullptr || size < needed) return 0;
    auto* out = static_cast<uint8_t*>(data);
    std::memcpy(out, tag, 4);
    PutU32(out + 4, version);
    uint8_t* next = out + kHeaderBytes;
    for (const Field& field : fields) {
        if (field.number != nullptr) {
            PutU32(next, static_cast<uint32_t>(*field.number));
            next += kNumberBytes;
        }
        if (field.text != nullptr) {
            const size_t length = TextLength(field);
            PutU32(next, static_cast<uint32_t>(length));
            std::memcpy(next + kNumberBytes, field.text, length);
            next += kNumberBytes + length;
        }
    }
    return needed;
}

int32_t ReadRecord(const char (&tag)[4], uint32_t version, const void* data, int32_t size, const Fields& fields) {
    if (data == nullptr || size < kHeaderBytes) return 0;
    const auto* in = static_cast<const uint8_t*>(data);
    if (std::memcmp(in, tag, 4) != 0 || GetU32(in + 4) != version) return 0;
    int32_t offset = kHeaderBytes;
    for (const Field& field : fields) {
        if (field.number == nullptr && field.text == nullptr) continue;
        if (size - offset < kNumberBytes) return 0;
        const uint32_t value = GetU32(in + offset);
        offset += kNumberBytes;
        if (field.number != nullptr) {
            if (value < field.min || value > field.max) return 0;
            *field.number = static_cast<int32_t>(value);
            continue;
        }
        // A string: `value` is its length.
        if (value >= field.capacity || value > static_cast<uint32_t>(size - offset)) return 0;
        // A NUL inside would silently shorten the string.
        if (std::memchr(in + offset, '\0', value) != nullptr) return 0;
        std::memcpy(field.text, in + offset, value);
        field.text[value] = '\0';
        offset += static_cast<int32_t>(value);
    }
    return offset;
}

}  // namespace sample_record
