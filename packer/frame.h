#pragma once
// One zstd frame around the whole archive. The frame always declares a
// 2^27-byte window and carries neither content size nor checksum, so the
// launcher can size its decoder once, whatever the archive holds.

#include "packer/byte_io.h"
#include "packer/result.h"

namespace tavrik {

constexpr int frame_window_log = 27;
constexpr int default_level = 19;

// `level` 1..ZSTD_maxCLevel(). `threads` 0 compresses on the calling thread;
// any value >= 1 uses that many workers and gives the same bytes for every
// such value. Equal inputs give equal frames.
Result<Bytes> compress_frame(const Bytes &archive, int level, int threads);

// Decodes exactly one frame; trailing bytes or a second frame are errors.
Result<Bytes> decompress_frame(const Bytes &frame);

}  // namespace tavrik
