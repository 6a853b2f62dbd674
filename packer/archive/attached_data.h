#pragma once
// The bytes stored in the executable's extra section, laid out as
// format/packed_format.h describes: magic, zstd frame, digest, gap, trailer.

#include "format/packed_format.h"
#include "packer/archive/sha256.h"
#include "packer/base/byte_io.h"
#include "packer/base/result.h"

namespace tavrik {

constexpr size_t attached_magic_size = packed_format::magic_size;
// The fixed part after the frame: digest, zero gap, count and padding.
constexpr size_t attached_tail_size = packed_format::tail_size;

// `settings`, when not empty, is the cached-mode frame
// (format/cached_settings.h); the digest covers it.
Bytes make_attached_data(const Bytes &frame, const Bytes &settings = Bytes());

// Where the parts of attached data lie, found from its ends.
struct AttachedLayout {
    uint64_t frame_end = 0;     // offset of what follows the frames: the digest, or the gap
    // Offset just past the archive's zstd frame: frame_end, unless a
    // cached-mode frame lies between (PackedFile fills the two below).
    uint64_t archive_end = 0;
    bool cached = false;
    Bytes cached_settings;      // that frame's content, when cached
    bool has_digest = false;    // false for executables packed without one
    Sha256Digest digest = {};   // of bytes [0, frame_end), when has_digest
};

// Checks magic, trailer and gap of attached data `length` bytes long, from
// its first bytes (`head`, at least attached_magic_size of them when there
// are that many) and its last ones (`tail`, the last
// min(length, attached_tail_size)). The frame itself is not looked at.
Result<AttachedLayout> attached_layout(const Bytes &head, const Bytes &tail, uint64_t length);

// The one-line reason when a digest does not match.
constexpr char digest_mismatch[] = "the archive does not match the SHA-256 digest recorded when it was packed";

}  // namespace tavrik
