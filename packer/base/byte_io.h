#pragma once
// Little-endian loads and stores on byte vectors. Loads and stores do not
// check bounds themselves: callers test ranges first with `range_fits`, which
// is written so that no offset arithmetic can overflow.

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

inline void append_u64(Bytes &b, uint64_t v) {
    for (int shift = 0; shift < 64; shift += 8) b.push_back(static_cast<uint8_t>(v >> shift));
}

}  // namespace tavrik
