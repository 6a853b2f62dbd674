#pragma once
// The PE image checksum: 16-bit one's-complement-style sum of the whole file
// (the 4-byte checksum field counted as zero) plus the file length.

#include <cstddef>
#include <cstdint>

#include "packer/base/byte_io.h"

namespace tavrik {

// The file fed in order, in pieces of any size.
class PeChecksum {
public:
    // `checksum_offset`: the file offset of the optional header's CheckSum
    // field; those 4 bytes are skipped, so the result does not depend on them.
    explicit PeChecksum(uint64_t checksum_offset) : checksum_offset_(checksum_offset) {}
    void update(const uint8_t *data, size_t size);
    uint32_t finish() const;

private:
    uint64_t checksum_offset_;
    uint64_t length_ = 0;  // bytes fed so far
    uint64_t sum_ = 0;
};

uint32_t pe_checksum(const Bytes &file, size_t checksum_offset);

}  // namespace tavrik
