#pragma once
// Makes zstd frames and attached data the way the packer lays them out.

#include <zstd.h>

#include <cstdint>
#include <string>

// One frame that declares a window of 2^window_log bytes and no content
// size, with zstd's content checksum when `checksum` (as the packer writes
// it; executables packed before carry none). The input goes in pieces so that zstd never learns its
// size and keeps the declared window. The frame ends with an empty last
// block unless the last piece of `split_at` goes in with the end.
inline std::string make_frame(const std::string &content, int window_log = 27, int level = 3,
                              size_t split_at = 0, bool checksum = false) {
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

// Magic, frame, three zero bytes, the u64 count of what precedes, 8 zeros.
inline std::string make_attached_data(const std::string &frame) {
    std::string data = "ZUB" + frame + std::string(3, '\0');
    uint64_t count = data.size();
    for (int i = 0; i < 8; ++i) data.push_back(static_cast<char>(count >> (8 * i)));
    return data + std::string(8, '\0');
}

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
