#include "packer/archive/frame.h"

#include <algorithm>
#include <memory>
#include <string>

#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_getFrameProgression
#include <zstd.h>

namespace tavrik {

namespace {

Error zstd_error(const char *what, size_t code) {
    return Error{std::string(what) + ": " + ZSTD_getErrorName(code)};
}

constexpr size_t progress_slice = size_t{1} << 20;

struct CCtxFree {
    void operator()(ZSTD_CCtx *c) const { ZSTD_freeCCtx(c); }
};

}  // namespace

Result<Bytes> compress_frame(const Bytes &archive, int level, int threads, const FrameProgress &progress,
                             int window_log) {
    if (level < 1 || level > ZSTD_maxCLevel()) {
        return Error{"compression level must be 1 to " + std::to_string(ZSTD_maxCLevel())};
    }
    if (window_log < min_window_log || window_log > max_window_log) {
        return Error{"window log must be " + std::to_string(min_window_log) + " to " + std::to_string(max_window_log)};
    }
    if (threads < 0) return Error{"thread count must not be negative"};
    std::unique_ptr<ZSTD_CCtx, CCtxFree> cctx(ZSTD_createCCtx());
    if (!cctx) return Error{"out of memory creating the compressor"};

    const std::pair<ZSTD_cParameter, int> settings[] = {
        {ZSTD_c_compressionLevel, level},
        {ZSTD_c_windowLog, window_log},
        {ZSTD_c_contentSizeFlag, 0},
        {ZSTD_c_checksumFlag, 0},
        // Single-threaded zstd (0 workers) cuts the frame differently from
        // the multi-threaded one; the output must not depend on the machine.
        {ZSTD_c_nbWorkers, threads < 1 ? 1 : threads},
        // Jobs of 16 MiB, each seeing the last 1/8 of the window of the one
        // before: an application's worth of files splits into several jobs
        // that the workers compress in parallel, for about 0.3% of ratio.
        // Fixed values, so the bytes stay the same for any number of
        // workers.
        {ZSTD_c_jobSize, 16 << 20},
        {ZSTD_c_overlapLog, 6},
    };
    for (const auto &setting : settings) {
        const size_t rc = ZSTD_CCtx_setParameter(cctx.get(), setting.first, setting.second);
        if (ZSTD_isError(rc)) return zstd_error("cannot configure zstd", rc);
    }

    Bytes out;
    out.reserve(ZSTD_compressBound(archive.size()));
    Bytes chunk(ZSTD_CStreamOutSize());
    // Every byte goes in with ZSTD_e_continue before the frame is ended. A
    // first call with ZSTD_e_end would tell zstd the total size and let it
    // shrink the declared window below 2^window_log. The input goes in slices only
    // so progress can be reported; zstd cuts its jobs by size, whatever the
    // slices.
    size_t fed = 0;
    do {
        const size_t slice = std::min(archive.size() - fed, progress_slice);
        ZSTD_inBuffer in{archive.data() + fed, slice, 0};
        do {
            ZSTD_outBuffer o{chunk.data(), chunk.size(), 0};
            const size_t rc = ZSTD_compressStream2(cctx.get(), &o, &in, ZSTD_e_continue);
            if (ZSTD_isError(rc)) return zstd_error("compression failed", rc);
            out.insert(out.end(), chunk.begin(), chunk.begin() + o.pos);
            if (progress) progress(fed + in.pos, ZSTD_getFrameProgression(cctx.get()).consumed, out.size());
        } while (in.pos < in.size);
        fed += slice;
    } while (fed < archive.size());
    ZSTD_inBuffer in{nullptr, 0, 0};
    size_t remaining;
    do {
        ZSTD_outBuffer o{chunk.data(), chunk.size(), 0};
        remaining = ZSTD_compressStream2(cctx.get(), &o, &in, ZSTD_e_end);
        if (ZSTD_isError(remaining)) return zstd_error("compression failed", remaining);
        out.insert(out.end(), chunk.begin(), chunk.begin() + o.pos);
        if (progress) progress(archive.size(), ZSTD_getFrameProgression(cctx.get()).consumed, out.size());
    } while (remaining != 0);
    return out;
}

FrameDecoder::FrameDecoder(CompressedSource input)
    : input_(std::move(input)), context_(ZSTD_createDCtx()), input_buffer_(ZSTD_DStreamInSize()) {
    if (!context_) {
        setup_error_ = "out of memory creating the decompressor";
        return;
    }
    // The decoder keeps a window of up to 2^27 bytes and no more, whatever
    // size a frame asks for.
    const size_t rc = ZSTD_DCtx_setParameter(context_, ZSTD_d_windowLogMax, max_window_log);
    if (ZSTD_isError(rc)) setup_error_ = zstd_error("cannot configure zstd", rc).message;
}

FrameDecoder::~FrameDecoder() { ZSTD_freeDCtx(context_); }

Result<bool> FrameDecoder::refill() {
    auto got = input_(input_buffer_.data(), input_buffer_.size());
    if (!got) return Error{got.error()};
    input_at_ = 0;
    input_size_ = std::min(*got, input_buffer_.size());
    if (input_size_ == 0) input_ended_ = true;
    return input_size_ > 0;
}

Result<size_t> FrameDecoder::read(uint8_t *buffer, size_t capacity) {
    if (frame_ended_ || capacity == 0) return size_t{0};
    if (!setup_error_.empty()) return Error{setup_error_};
    ZSTD_outBuffer out{buffer, capacity, 0};
    while (out.pos == 0) {
        if (input_at_ == input_size_ && !input_ended_) {
            auto more = refill();
            if (!more) return Error{more.error()};
        }
        ZSTD_inBuffer in{input_buffer_.data(), input_size_, input_at_};
        const size_t hint = ZSTD_decompressStream(context_, &out, &in);
        input_at_ = in.pos;
        if (ZSTD_isError(hint)) return zstd_error("decompression failed", hint);
        if (hint == 0) {
            frame_ended_ = true;
            if (input_at_ < input_size_) return Error{"data after the zstd frame"};
            if (!input_ended_) {
                auto more = refill();
                if (!more) return Error{more.error()};
                if (*more) return Error{"data after the zstd frame"};
            }
            break;
        }
        // No output, all input used, and none to come: the decoder cannot
        // make progress.
        if (out.pos == 0 && input_at_ == input_size_ && input_ended_) return Error{"zstd frame is truncated"};
    }
    return out.pos;
}

Result<Bytes> decompress_frame(const Bytes &frame) {
    size_t at = 0;
    FrameDecoder decoder([&](uint8_t *buffer, size_t capacity) -> Result<size_t> {
        const size_t n = std::min(capacity, frame.size() - at);
        std::copy(frame.begin() + at, frame.begin() + at + n, buffer);
        at += n;
        return n;
    });
    Bytes out;
    Bytes chunk(ZSTD_DStreamOutSize());
    while (true) {
        auto got = decoder.read(chunk.data(), chunk.size());
        if (!got) return Error{got.error()};
        if (*got == 0) return out;
        out.insert(out.end(), chunk.begin(), chunk.begin() + *got);
    }
}

}  // namespace tavrik
