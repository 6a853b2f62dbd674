#pragma once
// What a program packed for cached mode carries beside its archive, in one
// zstd skippable frame between the archive's frame and the digest (so the
// digest covers it, and a decoder that meets it skips it):
//   u32 LE frame_magic | u32 LE content size | content
// and the content:
//   tag (8 bytes) | u16 LE units, location spec (UTF-16LE) |
//   u16 LE units, program folder name (UTF-16LE) |
//   the archive's records without their content, in its order, ended by
//   its end record (format/archive_records.h: a list of names and sizes) |
//   u32 LE size of the whole frame, these 4 bytes included
// The last field lets a reader find the frame from the digest backwards.
// The list lets a start check an unpacked copy without decoding anything. Programs
// packed without it run from a fresh directory every time, as always.
// No standard library beyond the C headers, so that the launcher can
// include it.

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "format/archive_records.h"
#include "format/packed_format.h"

namespace cached_settings {

inline constexpr uint32_t frame_magic = 0x184D2A51;
static_assert(frame_magic != packed_format::digest_frame_magic, "the two frames are told apart by their magic");
inline constexpr unsigned char tag[] = {'c', 'a', 'c', 'h', 'e', 'd', 0, 1};
// Magic and size, then the tag: the least a frame holds before its lists.
inline constexpr size_t frame_header_size = 4 + 4 + sizeof tag;
inline constexpr size_t footer_size = 4;

// The location spec when none is given: the user's local application data.
inline constexpr char16_t default_spec[] = u"{CACHE_DIR}";
// The longest location spec and program folder name, in units.
inline constexpr size_t max_spec_units = 1023;
inline constexpr size_t max_program_units = 120;
// A build's folder is named by the first build_name_bytes of the digest, in
// lower-case hexadecimal.
inline constexpr size_t build_name_bytes = 16;
inline constexpr size_t build_name_units = 2 * build_name_bytes;
static_assert(build_name_bytes <= packed_format::digest_size, "the name comes from the digest");
// Written last into a build's folder: a folder without it is incomplete.
// The packer refuses an archive name that would meet it.
inline constexpr char16_t marker_name[] = u".tavrik-complete";

// Reads the content from its first byte to the footer, refusing to read past
// its end: after any read that does not fit, `failed` is set and every read
// gives zeros.
struct Cursor {
    const unsigned char *at = nullptr;
    const unsigned char *end = nullptr;
    bool failed = false;

    const unsigned char *take(size_t count) {
        if (failed || static_cast<size_t>(end - at) < count) {
            failed = true;
            return nullptr;
        }
        const unsigned char *taken = at;
        at += count;
        return taken;
    }
    uint16_t u16() {
        const unsigned char *p = take(2);
        return p == nullptr ? 0 : static_cast<uint16_t>(p[0] | (p[1] << 8));
    }
    uint32_t u32() {
        const unsigned char *p = take(4);
        return p == nullptr ? 0 : packed_format::load_u32(p);
    }
    uint64_t u64() {
        const unsigned char *p = take(8);
        return p == nullptr ? 0 : packed_format::load_u64(p);
    }
};

// A UTF-16LE text inside the frame: `units` units from `bytes`.
struct Text {
    const unsigned char *bytes = nullptr;
    size_t units = 0;
    char16_t unit(size_t i) const { return static_cast<char16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8)); }
};

// The frame's fixed part, read; the list follows.
struct Settings {
    Text spec;
    Text program;
    const unsigned char *list = nullptr;  // the list of names and sizes, up to the footer
    size_t list_size = 0;
};

inline Text read_text(Cursor &cursor, size_t max_units) {
    Text text;
    text.units = cursor.u16();
    if (text.units > max_units) cursor.failed = true;
    text.bytes = cursor.take(2 * text.units);
    if (cursor.failed) text = Text();
    return text;
}

// Reads a frame's content (`content`, `content_size` bytes, the footer
// included). Null, or why it is not what the packer writes.
inline const char *read_settings(const unsigned char *content, size_t content_size, Settings &settings) {
    settings = Settings();
    if (content_size < sizeof tag + footer_size) return "the cached-mode settings are too short";
    Cursor cursor{content, content + content_size - footer_size, false};
    const unsigned char *found_tag = cursor.take(sizeof tag);
    if (found_tag == nullptr || memcmp(found_tag, tag, sizeof tag) != 0) {
        return "the cached-mode settings have an unknown version";
    }
    settings.spec = read_text(cursor, max_spec_units);
    settings.program = read_text(cursor, max_program_units);
    if (cursor.failed || settings.spec.units == 0 || settings.program.units == 0) {
        return "the cached-mode settings are damaged";
    }
    settings.list = cursor.at;
    settings.list_size = static_cast<size_t>(cursor.end - cursor.at);
    return nullptr;
}

// Calls `visit(name, units, size)` for each entry of the list, in order,
// with the name's units in `name` (max_name_units + 1 of them, terminated
// by a zero unit); stops when it returns false. True when the whole list
// was read and ended by its end record.
template <typename Name, typename Visit>
inline bool walk_list(const Settings &settings, Name (&name)[archive_records::max_name_units + 1], Visit visit) {
    archive_records::RecordParser parser(archive_records::Contents::absent);
    parser.feed(settings.list, settings.list_size);
    size_t units = 0;
    for (;;) {
        switch (parser.next()) {
        case archive_records::Event::name_unit:
            name[units++] = static_cast<Name>(parser.unit());
            break;
        case archive_records::Event::name_end:
            name[units] = 0;
            break;
        case archive_records::Event::size:
            if (!visit(name, units, parser.size())) return false;
            units = 0;
            break;
        case archive_records::Event::need_input:
            return parser.finish() == archive_records::Error::none;
        case archive_records::Event::failed:
            return false;
        default:
            break;
        }
    }
}

// Finds the frame that ends at `end` (the digest's first byte), reaching
// back no further than `floor` (the magic's end). Its content and size, or
// false when the bytes before `end` are no such frame.
inline bool find_frame(const unsigned char *floor, const unsigned char *end, const unsigned char *&content,
                       size_t &content_size) {
    const size_t available = static_cast<size_t>(end - floor);
    if (available < frame_header_size + footer_size) return false;
    const uint32_t frame_size = packed_format::load_u32(end - footer_size);
    if (frame_size < frame_header_size + footer_size || frame_size > available) return false;
    const unsigned char *frame = end - frame_size;
    if (packed_format::load_u32(frame) != frame_magic || packed_format::load_u32(frame + 4) != frame_size - 8) {
        return false;
    }
    content = frame + 8;
    content_size = frame_size - 8;
    return true;
}

// The frame around `content_size` bytes of content.
inline size_t frame_size_for(size_t content_size) { return 8 + content_size; }

}  // namespace cached_settings
