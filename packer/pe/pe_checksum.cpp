#include "packer/pe/pe_checksum.h"

namespace tavrik {

uint32_t pe_checksum(const Bytes &file, size_t checksum_offset) {
    uint64_t sum = 0;
    for (size_t at = 0; at < file.size(); at += 2) {
        if (at >= checksum_offset && at < checksum_offset + 4) continue;
        uint32_t word = file[at];
        if (at + 1 < file.size()) word |= uint32_t{file[at + 1]} << 8;
        sum += word;
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint32_t>(sum + file.size());
}

}  // namespace tavrik
