#include "packer/frame.h"

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
struct DCtxFree {
    void operator()(ZSTD_DCtx *d) const { ZSTD_freeDCtx(d); }
};

}  // namespace

Result<Bytes> compress_frame(const Bytes &archive, int level, int threads, const FrameProgress &progress) {
    if (level < 1 || level > ZSTD_maxCLevel()) {
        return Error{"compression level must be 1 to " + std::to_string(ZSTD_maxCLevel())};
    }
    if (threads < 0) return Error{"thread count must not be negative"};
    std::unique_ptr<ZSTD_CCtx, CCtxFree> cctx(ZSTD_createCCtx());
    if (!cctx) return Error{"out of memory creating the compressor"};

    const std::pair<ZSTD_cParameter, int> settings[] = {
        {ZSTD_c_compressionLevel, level},
        {ZSTD_c_windowLog, frame_window_log},
        {ZSTD_c_contentSizeFlag, 0},
        {ZSTD_c_checksumFlag, 0},
        // Single-threaded zstd (0 workers) cuts the frame differently from
        // the multi-threaded one; the output must not depend on the machine.
        {ZSTD_c_nbWorkers, threads < 1 ? 1 : threads},
        // Jobs of 16 MiB, each seeing the last 16 MiB of the one before
        // (1/8 of the window): an application's worth of files splits into
        // several jobs that the workers compress in parallel, for about 0.3%
        // of ratio. Fixed values, so the bytes stay the same for any number
        // of workers.
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
    // shrink the declared window below 2^27. The input goes in slices only
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

Result<Bytes> decompress_frame(const Bytes &frame) {
    const size_t frame_size = ZSTD_findFrameCompressedSize(frame.data(), frame.size());
    if (ZSTD_isError(frame_size)) return zstd_error("not a complete zstd frame", frame_size);
    if (frame_size != frame.size()) return Error{"data after the zstd frame"};

    std::unique_ptr<ZSTD_DCtx, DCtxFree> dctx(ZSTD_createDCtx());
    if (!dctx) return Error{"out of memory creating the decompressor"};
    const size_t rc = ZSTD_DCtx_setParameter(dctx.get(), ZSTD_d_windowLogMax, frame_window_log);
    if (ZSTD_isError(rc)) return zstd_error("cannot configure zstd", rc);

    Bytes out;
    Bytes chunk(ZSTD_DStreamOutSize());
    ZSTD_inBuffer in{frame.data(), frame.size(), 0};
    size_t hint = 1;
    while (hint != 0) {
        ZSTD_outBuffer o{chunk.data(), chunk.size(), 0};
        hint = ZSTD_decompressStream(dctx.get(), &o, &in);
        if (ZSTD_isError(hint)) return zstd_error("decompression failed", hint);
        out.insert(out.end(), chunk.begin(), chunk.begin() + o.pos);
        if (hint != 0 && in.pos == in.size && o.pos < o.size) {
            return Error{"zstd frame is truncated"};
        }
    }
    return out;
}

}  // namespace tavrik
