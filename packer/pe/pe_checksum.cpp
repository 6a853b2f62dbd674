#include "packer/pe/pe_checksum.h"

namespace tavrik {

void PeChecksum::update(const uint8_t *data, size_t size) {
    for (size_t i = 0; i < size; ++i) {
        const uint64_t at = length_ + i;
        if (at >= checksum_offset_ && at < checksum_offset_ + 4) continue;
        // Bytes at odd offsets are the high halves of little-endian words.
        sum_ += (at & 1) ? uint32_t{data[i]} << 8 : data[i];
        if (sum_ > 0xFFFFFFFF) sum_ = (sum_ & 0xFFFF) + (sum_ >> 16);
    }
    length_ += size;
}

uint32_t PeChecksum::finish() const {
    uint64_t sum = sum_;
    while (sum > 0xFFFF) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint32_t>(sum + length_);
}

uint32_t pe_checksum(const Bytes &file, size_t checksum_offset) {
    PeChecksum checksum(checksum_offset);
    checksum.update(file.data(), file.size());
    return checksum.finish();
}

}  // namespace tavrik
