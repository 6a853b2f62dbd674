#include "packer/pe/icons.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <tuple>

namespace tavrik {

namespace {

constexpr size_t directory_header_size = 6;
constexpr size_t file_entry_size = 16;
constexpr size_t group_entry_size = 14;
constexpr uint16_t type_icon = 1;
constexpr uint16_t type_cursor = 2;
constexpr uint8_t png_signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
constexpr uint32_t bitmap_info_header_size = 40;

bool is_png(const Bytes &data) {
    return data.size() >= sizeof png_signature && std::memcmp(data.data(), png_signature, sizeof png_signature) == 0;
}

bool is_bitmap(const Bytes &data) {
    ByteReader header(data);
    return header.u32(0) == bitmap_info_header_size && header.ok();
}

unsigned pixels(uint8_t stated) { return stated == 0 ? 256 : stated; }

struct Stored {
    uint32_t offset;
    uint32_t size;
    size_t index;  // from 0, in directory order
};

}  // namespace

Result<std::vector<IconImage>> parse_ico(const Bytes &bytes) {
    ByteReader file(bytes);
    if (!file.fits(0, directory_header_size)) return Error{"it is too short for an icon directory"};
    const uint16_t reserved = file.read_u16();
    const uint16_t type = file.read_u16();
    if (reserved != 0 || (type != type_icon && type != type_cursor)) {
        return Error{"it does not start with an icon directory"};
    }
    if (type == type_cursor) return Error{"it is a cursor, not an icon"};
    const size_t count = file.read_u16();
    static_assert(UINT16_MAX <= max_icon_images, "every image a .ico file can list fits in one icon group");
    if (count == 0) return Error{"it holds no images"};
    if (!file.fits(directory_header_size, file_entry_size * count)) {
        return Error{"its directory of " + std::to_string(count) + " images runs past the end of the file"};
    }
    std::vector<IconImage> images(count);
    std::vector<Stored> stored;
    for (size_t i = 0; i < count; ++i) {
        IconImage &image = images[i];
        image.width = file.read_u8();
        image.height = file.read_u8();
        image.colors = file.read_u8();
        file.read_u8();  // reserved
        image.planes = file.read_u16();
        image.bit_count = file.read_u16();
        const uint32_t size = file.read_u32();
        const uint32_t offset = file.read_u32();
        const std::string which = "image " + std::to_string(i + 1);
        if (size == 0) return Error{which + " is empty"};
        if (!file.fits(offset, size)) return Error{which + " runs past the end of the file"};
        stored.push_back({offset, size, i});
    }
    // Each image its own bytes: ranges that overlap would let a small file
    // stand for many copies of one image in the executable.
    std::sort(stored.begin(), stored.end(), [](const Stored &a, const Stored &b) { return std::tie(a.offset, a.index) < std::tie(b.offset, b.index); });
    for (size_t k = 1; k < stored.size(); ++k) {
        const Stored &before = stored[k - 1], &after = stored[k];
        if (uint64_t{before.offset} + before.size > after.offset) {
            const auto [first, second] = std::minmax(before.index, after.index);
            return Error{"images " + std::to_string(first + 1) + " and " + std::to_string(second + 1) +
                         " share bytes of the file"};
        }
    }
    for (const Stored &range : stored) images[range.index].data = file.copy(range.offset, range.size);
    for (size_t i = 0; i < count; ++i) {
        if (!is_png(images[i].data) && !is_bitmap(images[i].data)) {
            return Error{"image " + std::to_string(i + 1) + " is neither a PNG nor a bitmap"};
        }
    }
    return images;
}

Bytes build_icon_group(const std::vector<IconImage> &images) {
    constexpr uint16_t first_id = first_icon_id;
    Bytes group;
    append_u16(group, 0);
    append_u16(group, type_icon);
    append_u16(group, static_cast<uint16_t>(images.size()));
    for (size_t i = 0; i < images.size(); ++i) {
        const IconImage &image = images[i];
        group.insert(group.end(), {image.width, image.height, image.colors, 0});
        append_u16(group, image.planes);
        append_u16(group, image.bit_count);
        const uint32_t size = static_cast<uint32_t>(image.data.size());
        append_u16(group, static_cast<uint16_t>(size));
        append_u16(group, static_cast<uint16_t>(size >> 16));
        append_u16(group, static_cast<uint16_t>(first_id + i));
    }
    return group;
}

Result<std::vector<IconGroupEntry>> parse_icon_group(const Bytes &bytes) {
    ByteReader group(bytes);
    const uint16_t reserved = group.read_u16();
    const uint16_t type = group.read_u16();
    const size_t count = group.read_u16();
    if (!group.ok() || reserved != 0 || type != type_icon || !group.fits(group.position(), group_entry_size * count)) {
        return Error{"damaged icon group"};
    }
    std::vector<IconGroupEntry> entries;
    for (size_t i = 0; i < count; ++i) {
        IconGroupEntry entry;
        entry.width = pixels(group.read_u8());
        entry.height = pixels(group.read_u8());
        group.read_u16();  // colours, reserved
        group.read_u16();  // planes
        entry.bit_count = group.read_u16();
        entry.size = group.read_u32();
        entry.id = group.read_u16();
        entries.push_back(entry);
    }
    if (!group.ok()) return Error{"damaged icon group"};
    return entries;
}

}  // namespace tavrik
