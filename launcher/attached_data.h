#pragma once
// The attached data (format/packed_format.h): the magic and one zstd frame
// whose decoded content is the archive; the launcher reads nothing after
// the frame. The reader serves exact byte counts of it.

#include <stddef.h>
#include <stdint.h>

#include <zstd.h>

#include "format/packed_format.h"

inline constexpr size_t payload_window_size = 131072;
// The largest decoding window a frame may declare: 2^27 bytes (128 MiB).
inline constexpr int payload_window_log_max = 27;
static_assert(payload_window_log_max == packed_format::max_window_log,
              "the decoder reads every window the packer may choose");

struct PayloadReader {
    // The attached data as found in the image; advanced past the magic.
    const unsigned char *data = nullptr;
    // Decoder input: the span after the magic (at least the whole frame);
    // only the decoder advances `pos`.
    ZSTD_inBuffer input = {nullptr, 0, 0};
    // Between decoder calls: the window of decoded bytes not yet delivered,
    // from `pos` (first undelivered) to `size` (end of decoded bytes).
    ZSTD_outBuffer window = {nullptr, 0, 0};
    ZSTD_DCtx *context = nullptr;
    // True when the last decoder call filled the whole output buffer, so the
    // decoder may still hold bytes although all input is consumed. Kept from
    // one read to the next: a span that ends exactly at the frame's end must
    // not lose what the decoder still holds.
    bool window_filled = false;
    // True when the last decoder call ended the frame: all of it decoded and,
    // when the frame carries a content checksum, the checksum verified.
    bool frame_ended = false;
    // The attached data before this point has been consumed and released
    // from the working set.
    const unsigned char *released = nullptr;
};

// Checks the magic and opens the stream over `data` (the magic's first byte)
// and `span` (bytes after the magic, at least the whole frame). Sets the
// process-wide extraction flag. Reports and exits with 2 on failure.
void open_payload(PayloadReader &reader, const unsigned char *data, uint64_t span);
// Stores exactly the next `count` bytes of decoded content; exits with 2 when
// they cannot be had.
void read_payload(PayloadReader &reader, void *destination, uint64_t count);
// After the archive's end record: the frame must end there, its checksum
// (if it carries one) matching what was decoded; exits with 2 otherwise.
// A damaged payload can decode to different bytes without a decoder error
// until the checksum at the frame's end.
void finish_payload(PayloadReader &reader);
void close_payload(PayloadReader &reader);

// The process-wide reader over this executable's own attached data.
extern PayloadReader attached_data;
void open_attached_data();
void read_payload(void *destination, uint64_t count);
void close_attached_data();
// finish_payload, then close_attached_data.
void finish_attached_data();

// Where this image carries its attached data (its ".tavrik" section), or a
// placeholder without the magic when it carries none.
void locate_attached_data(const unsigned char *&data, uint64_t &span);
