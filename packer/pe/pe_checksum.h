#pragma once
// The PE image checksum: 16-bit one's-complement-style sum of the whole file
// (the 4-byte checksum field counted as zero) plus the file length.

#include <cstddef>
#include <cstdint>

#include "packer/byte_io.h"

namespace tavrik {

// `checksum_offset` is the file offset of the optional header's CheckSum
// field; those 4 bytes are skipped, so the result does not depend on them.
uint32_t pe_checksum(const Bytes &file, size_t checksum_offset);

}  // namespace tavrik
