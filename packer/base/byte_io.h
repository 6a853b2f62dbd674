#pragma once
// Little-endian loads and stores on byte vectors. Bytes from a file are read
// through `ByteReader`, which checks every read; the bare loads and stores
// below do not check bounds and serve the writers, which size their own
// buffers, and readers that have just tested the range with `range_fits`
// (written so that no offset arithmetic can overflow).

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tavrik {

using Bytes = std::vector<uint8_t>;

inline bool range_fits(uint64_t total, uint64_t offset, uint64_t length) {
    return offset <= total && length <= total - offset;
}

inline uint16_t load_u16(const Bytes &b, size_t at) {
    return static_cast<uint16_t>(b[at] | (b[at + 1] << 8));
}

inline uint32_t load_u32(const Bytes &b, size_t at) {
    return static_cast<uint32_t>(load_u16(b, at)) |
           (static_cast<uint32_t>(load_u16(b, at + 2)) << 16);
}

inline uint64_t load_u64(const Bytes &b, size_t at) {
    return static_cast<uint64_t>(load_u32(b, at)) |
           (static_cast<uint64_t>(load_u32(b, at + 4)) << 32);
}

inline void store_u16(Bytes &b, size_t at, uint16_t v) {
    b[at] = static_cast<uint8_t>(v);
    b[at + 1] = static_cast<uint8_t>(v >> 8);
}

inline void store_u32(Bytes &b, size_t at, uint32_t v) {
    store_u16(b, at, static_cast<uint16_t>(v));
    store_u16(b, at + 2, static_cast<uint16_t>(v >> 16));
}

inline void append_u16(Bytes &b, uint16_t v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}

// A checked view of untrusted bytes. A read or a sub-range that does not fit
// inside the view yields zeros or an empty view and marks the reader failed;
// `ok()` tells whether every read so far fitted. Reads take offsets within
// the view, or go on from the cursor (`read_*`), which stops at the end.
class ByteReader {
public:
    ByteReader() = default;
    explicit ByteReader(const Bytes &bytes) : data_(bytes.data()), size_(bytes.size()) {}
    // A reader that has already failed: what a range that does not exist
    // gives to whoever reads it.
    static ByteReader none() {
        ByteReader r;
        r.ok_ = false;
        return r;
    }

    size_t size() const { return size_; }
    bool ok() const { return ok_; }
    bool fits(uint64_t offset, uint64_t length) const { return range_fits(size_, offset, length); }

    uint8_t u8(uint64_t at) { return check(at, 1) ? data_[at] : 0; }
    uint16_t u16(uint64_t at) {
        return check(at, 2) ? static_cast<uint16_t>(data_[at] | (data_[at + 1] << 8)) : 0;
    }
    uint32_t u32(uint64_t at) {
        return check(at, 4) ? static_cast<uint32_t>(u16(at)) | (static_cast<uint32_t>(u16(at + 2)) << 16) : 0;
    }
    uint64_t u64(uint64_t at) {
        return check(at, 8) ? static_cast<uint64_t>(u32(at)) | (static_cast<uint64_t>(u32(at + 4)) << 32) : 0;
    }

    size_t position() const { return position_; }
    void seek(uint64_t at) { position_ = check(at, 0) ? static_cast<size_t>(at) : size_; }
    uint8_t read_u8() { return advance(1) ? data_[position_ - 1] : 0; }
    uint16_t read_u16() { return advance(2) ? u16(position_ - 2) : 0; }
    uint32_t read_u32() { return advance(4) ? u32(position_ - 4) : 0; }

    // `length` bytes at `offset`, as a reader of their own.
    ByteReader sub(uint64_t offset, uint64_t length) {
        if (!check(offset, length)) return none();
        ByteReader r;
        r.data_ = data_ + offset;
        r.size_ = static_cast<size_t>(length);
        return r;
    }
    // A copy of `length` bytes at `offset`; empty when they do not fit.
    Bytes copy(uint64_t offset, uint64_t length) {
        if (!check(offset, length)) return Bytes();
        return Bytes(data_ + offset, data_ + offset + length);
    }

private:
    bool check(uint64_t offset, uint64_t length) {
        if (range_fits(size_, offset, length)) return true;
        ok_ = false;
        return false;
    }
    bool advance(size_t length) {
        if (!check(position_, length)) {
            position_ = size_;
            return false;
        }
        position_ += length;
        return true;
    }

    const uint8_t *data_ = nullptr;
    size_t size_ = 0;
    size_t position_ = 0;
    bool ok_ = true;
};

inline void append_u64(Bytes &b, uint64_t v) {
    for (int shift = 0; shift < 64; shift += 8) b.push_back(static_cast<uint8_t>(v >> shift));
}

}  // namespace tavrik
