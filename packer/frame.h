#pragma once
// One zstd frame around the whole archive. The frame always declares a
// 2^27-byte window and carries neither content size nor checksum, so the
// launcher can size its decoder once, whatever the archive holds.

#include <functional>

#include "packer/byte_io.h"
#include "packer/result.h"

namespace tavrik {

constexpr int frame_window_log = 27;
constexpr int default_level = 19;
constexpr int fast_level = 3;  // --fast, for development builds

// Called now and then while compressing: archive bytes handed to zstd so
// far, how many of them it has compressed, and frame bytes produced.
using FrameProgress = std::function<void(uint64_t read, uint64_t compressed, uint64_t produced)>;

// `level` 1..ZSTD_maxCLevel(). zstd always runs with at least one worker
// thread (`threads` 0 counts as 1): the frame is then the same for every
// thread count, so equal inputs give equal frames on every machine.
Result<Bytes> compress_frame(const Bytes &archive, int level, int threads,
                             const FrameProgress &progress = nullptr);

// Decodes exactly one frame; trailing bytes or a second frame are errors.
Result<Bytes> decompress_frame(const Bytes &frame);

}  // namespace tavrik
