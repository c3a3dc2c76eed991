// Owners for the context's heap blocks. Allocation reports failure as an
// empty owner instead of throwing: the entry points catch nothing, and an
// exception must never cross into the editor.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>

// A block of bytes, e.g. a settings record.
class OwnedBytes {
public:
    OwnedBytes() = default;
    ~OwnedBytes() { Free(); }
    OwnedBytes(const OwnedBytes&) = delete;
    OwnedBytes& operator=(const OwnedBytes&) = delete;

    // Zero-filled. False leaves the owner empty.
    bool Allocate(size_t size) {
        Free();
        // Above PTRDIFF_MAX the runtime throws bad_array_new_length even from
        // a nothrow new; such a block cannot exist in this process anyway.
        if (size > static_cast<size_t>(PTRDIFF_MAX)) return false;
        data_ = new (std::nothrow) uint8_t[size == 0 ? 1 : size];
        if (data_ == nullptr) return false;
        std::memset(data_, 0, size == 0 ? 1 : size);
        size_ = size;
        return true;
    }
    void Free() {
        delete[] data_;
        data_ = nullptr;
        size_ = 0;
    }
    uint8_t* data() const { return data_; }
    size_t size() const { return size_; }
    explicit operator bool() const { return data_ != nullptr; }

private:
    uint8_t* data_ = nullptr;
    size_t size_ = 0;
};

// An array of int32 values that two threads read and write without a lock:
// tags and flag values of the read-ahead rings. It owns its values, or is
// placed over values in memory that two processes map and nobody here owns.
class AtomicInt32Array {
public:
    AtomicInt32Array() = default;
    ~AtomicInt32Array() { Free(); }
    AtomicInt32Array(const AtomicInt32Array&) = delete;
    AtomicInt32Array& operator=(const AtomicInt32Array&) = delete;

    // False (and empty) for a count below 1 or one whose byte size does not
    // fit 32 bits or this process's address arithmetic (PTRDIFF_MAX: beyond
    // it even a nothrow new throws).
    bool Allocate(int32_t count) {
        Free();
        const uint64_t bytes = static_cast<uint64_t>(count) * sizeof(std::atomic<int32_t>);
        if (count <= 0 || bytes > 0xFFFFFFFFu || bytes > static_cast<uint64_t>(PTRDIFF_MAX)) return false;
        values_ = new (std::nothrow) std::atomic<int32_t>[static_cast<size_t>(count)];
        if (values_ == nullptr) return false;
        count_ = count;
        owned_ = true;
        return true;
    }
    // Over `count` values that outlive this array; Free() only lets go of them.
    void Place(std::atomic<int32_t>* values, int32_t count) {
        Free();
        if (values == nullptr || count <= 0) return;
        values_ = values;
        count_ = count;
    }
    void Fill(int32_t value) {
        for (int32_t i = 0; i < count_; ++i) values_[i].store(value, std::memory_order_relaxed);
    }
    void Free() {
        if (owned_) delete[] values_;
        values_ = nullptr;
        count_ = 0;
        owned_ = false;
    }
    std::atomic<int32_t>& operator[](int32_t index) const { return values_[index]; }
    int32_t count() const { return count_; }
    explicit operator bool() const { return values_ != nullptr; }

private:
    std::atomic<int32_t>* values_ = nullptr;
    int32_t count_ = 0;
    bool owned_ = false;
};
