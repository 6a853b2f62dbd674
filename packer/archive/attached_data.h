#pragma once
// The bytes stored in the executable's extra section:
//   "ZUB" | zstd frame | digest | 3 zero bytes |
//   u64 LE count of all bytes before it | 8 zero bytes
// The launcher reads the magic and decodes the frame, nothing after it.
// The digest, a zstd skippable frame (magic 0x184D2A50, 40 bytes: "sha256",
// two zero bytes, then the SHA-256 of the magic and the zstd frame), lets
// `verify` check every byte the launcher reads; executables packed before
// it existed have none.

#include "packer/archive/sha256.h"
#include "packer/base/byte_io.h"
#include "packer/base/result.h"

namespace tavrik {

constexpr size_t attached_magic_size = 3;
// The fixed part after the frame: digest, zero gap, count and padding.
constexpr size_t attached_tail_size = 48 + 3 + 16;

Bytes make_attached_data(const Bytes &frame);

// Where the parts of attached data lie, found from its ends.
struct AttachedLayout {
    uint64_t frame_end = 0;     // offset just past the zstd frame
    bool has_digest = false;    // false for executables packed without one
    Sha256Digest digest = {};   // of bytes [0, frame_end), when has_digest
};

// Checks magic, trailer and gap of attached data `length` bytes long, from
// its first bytes (`head`, at least attached_magic_size of them when there
// are that many) and its last ones (`tail`, the last
// min(length, attached_tail_size)). The frame itself is not looked at.
Result<AttachedLayout> attached_layout(const Bytes &head, const Bytes &tail, uint64_t length);

// The same over attached data in memory; checks the digest when there is one
// and returns the frame.
Result<Bytes> frame_from_attached_data(const Bytes &attached);

// The one-line reason when a digest does not match.
constexpr char digest_mismatch[] = "the archive does not match the SHA-256 digest recorded when it was packed";

}  // namespace tavrik
