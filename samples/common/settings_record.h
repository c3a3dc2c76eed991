// A sample's settings record: the bytes the editor keeps for the plugin
// between sessions (config_get) and hands back to it (config_set). Every
// sample makes its record the same way: four letters that say whose record
// it is, a version, then the sample's own fields in order, each a
// little-endian 32-bit number or a string (its length as such a number,
// then its code page 932 bytes without a NUL). The editor may read a record
// on any machine, so its numbers have one byte order whatever the
// processor's.
//
// A sample states its record once, as a Format: its letters, its version and
// where each field's value lives in its settings. That one statement
// measures, writes and reads the record, so the three cannot disagree.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace sample_record {

// One field of a record: a number, or a string kept in a char array.
struct Field {
    int32_t* number = nullptr;  // a number; reading refuses one outside [min, max]
    uint32_t min = 0;
    uint32_t max = 0;
    char* text = nullptr;  // or a string, NUL-terminated in `capacity` bytes
    size_t capacity = 0;
};

inline Field Number(int32_t* value, int32_t min, int32_t max) {
    Field field;
    field.number = value;
    field.min = static_cast<uint32_t>(min);
    field.max = static_cast<uint32_t>(max);
    return field;
}

// Reading refuses a string that does not fit the array with its NUL, or that
// holds a NUL (which would silently shorten it). An array without a NUL is
// written as full but for the last byte, which a reader keeps for one.
template <size_t N>
Field Text(char (&text)[N]) {
    Field field;
    field.text = text;
    field.capacity = N;
    return field;
}

// A record's fields in their order; the places left over hold no field.
using Fields = std::array<Field, 4>;

// What a Format does, whatever the settings' type.
int32_t RecordSize(const Fields& fields);
int32_t WriteRecord(const char (&tag)[4], uint32_t version, const Fields& fields, void* data, int32_t size);
int32_t ReadRecord(const char (&tag)[4], uint32_t version, const void* data, int32_t size, const Fields& fields);

template <typename Settings>
struct Format {
    char tag[4];       // whose record it is
    uint32_t version;  // a record of another version is not read
    // Where each field's value is in `settings`, in the record's order.
    Fields (*fields)(Settings* settings);

    int32_t Size(const Settings& settings) const {
        // The fields point into the settings they are given; writing changes
        // nothing, but a copy keeps the caller's settings const.
        Settings source = settings;
        return RecordSize(fields(&source));
    }

    // Returns the bytes written, or 0 when `size` is too small; nothing is
    // written then.
    int32_t Write(const Settings& settings, void* data, int32_t size) const {
        Settings source = settings;
        return WriteRecord(tag, version, fields(&source), data, size);
    }

    // Returns the bytes taken, or 0 for a record that is not ours, of another
    // version, cut short or carrying a value the fields refuse; `settings`
    // is then unchanged.
    int32_t Read(const void* data, int32_t size, Settings* settings) const {
        Settings restored;
        const int32_t taken = ReadRecord(tag, version, data, size, fields(&restored));
        if (taken > 0) *settings = restored;
        return taken;
    }

    // What config_get answers: the record's size when the editor passes no
    // buffer, else the record written into it.
    int32_t Get(const Settings& settings, void* data, int32_t size) const {
        return data == nullptr ? Size(settings) : Write(settings, data, size);
    }
};

}  // namespace sample_record
