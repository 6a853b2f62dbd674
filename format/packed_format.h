#pragma once
// The packed executable's format, described once: tavrik-pack writes it,
// the launcher, `tavrik-pack list/verify/extract`, the benchmark and the
// tests read it through these constants. No standard library beyond the C
// headers, so that the launcher can include it.
//
// The packer adds one section, ".tavrik", to the launcher stub; the first
// VirtualSize bytes of its data are the attached data:
//   "ZUB" | zstd frame | digest | 3 zero bytes |
//   u64 LE count of all bytes before it | 8 zero bytes
// The frame's decoded content is the archive: records of (UTF-16LE name,
// one zero unit, u64 LE size, content) back to back, closed by a lone zero
// unit (format/archive_records.h); the first record is the application DLL. The launcher reads the
// magic and decodes the frame, nothing after it. The digest, a zstd
// skippable frame (u32 LE magic 0x184D2A50, u32 LE size 40, then "sha256",
// two zero bytes and the SHA-256 of the magic and the frame), lets
// `tavrik-pack verify` check every byte the launcher reads; executables
// packed before it existed have none (their count then follows the gap
// right after the frame).

#include <stddef.h>
#include <stdint.h>
#include <string.h>

namespace packed_format {

// As in the section header: 8 bytes, zero-padded.
inline constexpr char section_name[] = ".tavrik";
static_assert(sizeof section_name == 8, "a section name takes exactly 8 bytes");
// IMAGE_SCN_CNT_INITIALIZED_DATA | IMAGE_SCN_MEM_READ
inline constexpr uint32_t section_characteristics = 0x40000040;

inline constexpr unsigned char magic[] = {'Z', 'U', 'B'};
inline constexpr size_t magic_size = sizeof magic;

// The frame declares a window of at most 2^27 bytes (tavrik-pack
// --window-log); the launcher's decoder refuses a larger one.
inline constexpr int max_window_log = 27;

inline constexpr uint32_t digest_frame_magic = 0x184D2A50;
inline constexpr unsigned char digest_tag[] = {'s', 'h', 'a', '2', '5', '6', 0, 0};
inline constexpr size_t digest_size = 32;
inline constexpr size_t digest_content_size = sizeof digest_tag + digest_size;
inline constexpr size_t digest_frame_size = 4 + 4 + digest_content_size;
inline constexpr size_t gap_size = 3;
// The u64 count and its 8 zero bytes.
inline constexpr size_t trailer_size = 8 + 8;
// Everything after the frame, as the packer writes it.
inline constexpr size_t tail_size = digest_frame_size + gap_size + trailer_size;
static_assert(tail_size == 67, "the tail's layout is fixed");

// The longest "<target directory>\<name>" the launcher joins, in units.
inline constexpr size_t max_path_units = 4095;

inline void store_u32(unsigned char *out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<unsigned char>(value >> (8 * i));
}

inline void store_u64(unsigned char *out, uint64_t value) {
    for (int i = 0; i < 8; ++i) out[i] = static_cast<unsigned char>(value >> (8 * i));
}

inline uint32_t load_u32(const unsigned char *in) {
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = (value << 8) | in[i];
    return value;
}

inline uint64_t load_u64(const unsigned char *in) {
    uint64_t value = 0;
    for (int i = 7; i >= 0; --i) value = (value << 8) | in[i];
    return value;
}

// Writes the tail_size bytes that follow the frame: the digest frame around
// `digest` (digest_size bytes, the SHA-256 of the `count` bytes of magic and
// frame before the tail), the gap and the trailer.
inline void write_tail(unsigned char *out, const unsigned char *digest, uint64_t count) {
    store_u32(out, digest_frame_magic);
    store_u32(out + 4, digest_content_size);
    memcpy(out + 8, digest_tag, sizeof digest_tag);
    memcpy(out + 8 + sizeof digest_tag, digest, digest_size);
    memset(out + digest_frame_size, 0, gap_size);
    store_u64(out + digest_frame_size + gap_size, count + digest_frame_size + gap_size);
    memset(out + digest_frame_size + gap_size + 8, 0, 8);
}

// Where the parts of attached data lie, found from its ends.
struct Layout {
    uint64_t frame_end = 0;                 // offset just past the zstd frame
    bool has_digest = false;                // false for data packed without one
    const unsigned char *digest = nullptr;  // digest_size bytes inside `tail`, when has_digest
};

// Checks magic, trailer and gap of attached data `length` bytes long from
// its first bytes (`head`, `head_size` of them: magic_size when there are
// that many) and its last ones (`tail`: the last min(length, tail_size)),
// and finds the frame's end and the digest. The frame itself is not looked
// at. Returns null, or the reason the data is not what the packer writes.
inline const char *read_layout(const unsigned char *head, size_t head_size, const unsigned char *tail,
                               size_t tail_bytes, uint64_t length, Layout &layout) {
    if (length < magic_size + gap_size + trailer_size) return "attached data is too short";
    if (head_size < magic_size || memcmp(head, magic, magic_size) != 0) {
        return "attached data does not start with its magic";
    }
    if (tail_bytes != (length < tail_size ? length : tail_size)) return "attached data tail is missing";
    // Offsets into `tail` from here on.
    const size_t count_at = tail_bytes - trailer_size;
    for (size_t i = count_at + 8; i < tail_bytes; ++i) {
        if (tail[i] != 0) return "attached data trailer is not zero-padded";
    }
    if (load_u64(tail + count_at) != length - trailer_size) return "attached data trailer does not match its length";
    for (size_t i = count_at - gap_size; i < count_at; ++i) {
        if (tail[i] != 0) return "attached data has no zero gap after the frame";
    }
    layout = Layout();
    layout.frame_end = length - trailer_size - gap_size;
    const size_t digest_end = count_at - gap_size;
    if (length >= magic_size + tail_size && digest_end >= digest_frame_size) {
        const unsigned char *frame = tail + digest_end - digest_frame_size;
        if (load_u32(frame) == digest_frame_magic && load_u32(frame + 4) == digest_content_size &&
            memcmp(frame + 8, digest_tag, sizeof digest_tag) == 0) {
            layout.has_digest = true;
            layout.frame_end -= digest_frame_size;
            layout.digest = frame + 8 + sizeof digest_tag;
        }
    }
    return nullptr;
}

}  // namespace packed_format
