#pragma once
// Makes zstd frames and attached data the way the packer lays them out
// (format/packed_format.h), digest included.

#include <zstd.h>

#include <cstdint>
#include <string>

#include "format/packed_format.h"
#include "packer/archive/sha256.h"

// One frame that declares a window of 2^window_log bytes and no content
// size, with zstd's content checksum when `checksum` (as the packer writes
// it; executables packed before carry none). The input goes in pieces so
// that zstd never learns its size and keeps the declared window. The frame
// ends with an empty last block unless the last piece of `split_at` goes in
// with the end.
inline std::string make_frame(const std::string &content, int window_log = packed_format::max_window_log,
                              int level = 3, size_t split_at = 0, bool checksum = false) {
    ZSTD_CCtx *context = ZSTD_createCCtx();
    ZSTD_CCtx_setParameter(context, ZSTD_c_compressionLevel, level);
    ZSTD_CCtx_setParameter(context, ZSTD_c_windowLog, window_log);
    ZSTD_CCtx_setParameter(context, ZSTD_c_contentSizeFlag, 0);
    ZSTD_CCtx_setParameter(context, ZSTD_c_checksumFlag, checksum ? 1 : 0);
    std::string frame;
    std::string buffer(ZSTD_CStreamOutSize(), '\0');
    // Everything goes in with ZSTD_e_continue, the end comes alone.
    for (size_t offset = 0;;) {
        bool end = offset >= content.size() || (split_at != 0 && offset == split_at);
        size_t piece = std::min<size_t>(content.size() - offset, end ? content.size() : 4096);
        ZSTD_inBuffer input = {content.data() + std::min(offset, content.size()), piece, 0};
        size_t remaining;
        do {
            ZSTD_outBuffer output = {&buffer[0], buffer.size(), 0};
            remaining = ZSTD_compressStream2(context, &output, &input, end ? ZSTD_e_end : ZSTD_e_continue);
            frame.append(buffer.data(), output.pos);
        } while (end ? remaining != 0 : input.pos < input.size);
        if (end) break;
        offset += piece;
    }
    ZSTD_freeCCtx(context);
    return frame;
}

// Magic, frame, then the digest, the gap and the trailer.
inline std::string make_attached_data(const std::string &frame) {
    std::string data(reinterpret_cast<const char *>(packed_format::magic), packed_format::magic_size);
    data += frame;
    const size_t count = data.size();
    const tavrik::Sha256Digest digest = tavrik::sha256(reinterpret_cast<const uint8_t *>(data.data()), count);
    data.resize(count + packed_format::tail_size);
    packed_format::write_tail(reinterpret_cast<unsigned char *>(&data[count]), digest.data(), count);
    return data;
}

// The span the launcher decodes from: everything after the magic.
inline size_t span_after_magic(const std::string &data) { return data.size() - packed_format::magic_size; }

// Content that compresses somewhat, but not to nothing.
inline std::string sample_content(size_t size, uint32_t seed = 1) {
    std::string content(size, '\0');
    uint32_t state = seed;
    for (size_t i = 0; i < size; ++i) {
        state = state * 1103515245u + 12345u;
        content[i] = static_cast<char>((state >> 16) % 16 + 'a');
    }
    return content;
}
