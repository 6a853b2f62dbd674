#pragma once
// One zstd frame around the whole archive. The frame declares a window of
// 2^window_log bytes, whatever the archive's size, and carries no content
// size, so the launcher can size its decoder once, whatever the archive
// holds. The launcher reads every window up to 2^27 bytes; a smaller one
// costs a little compression and spares the launcher the first touches of
// the larger window's pages and as much memory.
// It carries zstd's content checksum, so that a damaged payload is refused
// rather than unpacked.

#include <functional>
#include <string>

#include "format/packed_format.h"
#include "packer/base/byte_io.h"
#include "packer/base/result.h"

struct ZSTD_DCtx_s;

namespace tavrik {

constexpr int min_window_log = 10;  // zstd's smallest window, 1 KiB
constexpr int max_window_log = packed_format::max_window_log;  // 128 MiB
// 2 MiB: the reference workload's start is as quick as with 1 MiB and
// clearly quicker than with 8 MiB or more (bench/CHANGES.md), for 1.6% more
// bytes than the 128 MiB window; 1 MiB costs 2.7%.
constexpr int default_window_log = 21;
constexpr int default_level = 19;
constexpr int fast_level = 3;  // --fast, for development builds

// Called now and then while compressing: archive bytes handed to zstd so
// far, how many of them it has compressed, and frame bytes produced.
using FrameProgress = std::function<void(uint64_t read, uint64_t compressed, uint64_t produced)>;

// `level` 1..ZSTD_maxCLevel(), `window_log` min_window_log..max_window_log.
// zstd always runs with at least one worker thread (`threads` 0 counts as
// 1): the frame is then the same for every thread count, so equal inputs
// give equal frames on every machine.
Result<Bytes> compress_frame(const Bytes &archive, int level, int threads,
                             const FrameProgress &progress = nullptr, int window_log = default_window_log);

// Fills `buffer` with up to `capacity` bytes of compressed input and returns
// how many; 0 only at its end.
using CompressedSource = std::function<Result<size_t>(uint8_t *buffer, size_t capacity)>;

// Decodes exactly one frame read piece by piece from `input`, which must end
// where the frame ends: trailing bytes or a second frame are errors, and so
// is input that ends inside the frame. Memory is the decoder's window (at
// most 2^max_window_log bytes; a frame asking for more is refused) and
// fixed buffers, whatever the frame decodes to.
class FrameDecoder {
public:
    explicit FrameDecoder(CompressedSource input);
    ~FrameDecoder();
    FrameDecoder(const FrameDecoder &) = delete;
    FrameDecoder &operator=(const FrameDecoder &) = delete;

    // Up to `capacity` decoded bytes; 0 once the frame has ended.
    Result<size_t> read(uint8_t *buffer, size_t capacity);

private:
    Result<bool> refill();

    CompressedSource input_;
    ::ZSTD_DCtx_s *context_;
    std::string setup_error_;  // why the decoder could not be made, if it could not
    Bytes input_buffer_;
    size_t input_at_ = 0;    // first byte of input_buffer_ not yet decoded
    size_t input_size_ = 0;  // bytes held in input_buffer_
    bool input_ended_ = false;
    bool frame_ended_ = false;
};

// The whole frame in memory, decoded whole (for tests and small frames).
Result<Bytes> decompress_frame(const Bytes &frame);

}  // namespace tavrik
