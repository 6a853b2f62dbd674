#pragma once
// The bytes stored in the executable's extra section:
//   "ZUB" | zstd frame | 3 zero bytes | u64 LE count of all bytes before it |
//   8 zero bytes

#include "packer/byte_io.h"
#include "packer/result.h"

namespace tavrik {

Bytes make_attached_data(const Bytes &frame);

// Checks magic and trailer and returns the frame they enclose.
Result<Bytes> frame_from_attached_data(const Bytes &attached);

}  // namespace tavrik
