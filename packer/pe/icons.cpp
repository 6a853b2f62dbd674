#include "packer/pe/icons.h"

#include <cstring>
#include <string>

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
    return data.size() >= bitmap_info_header_size && load_u32(data, 0) == bitmap_info_header_size;
}

unsigned pixels(uint8_t stated) { return stated == 0 ? 256 : stated; }

}  // namespace

Result<std::vector<IconImage>> parse_ico(const Bytes &file) {
    if (file.size() < directory_header_size) return Error{"it is too short for an icon directory"};
    const uint16_t type = load_u16(file, 2);
    if (load_u16(file, 0) != 0 || (type != type_icon && type != type_cursor)) {
        return Error{"it does not start with an icon directory"};
    }
    if (type == type_cursor) return Error{"it is a cursor, not an icon"};
    const size_t count = load_u16(file, 4);
    if (count == 0) return Error{"it holds no images"};
    if (!range_fits(file.size(), directory_header_size, file_entry_size * count)) {
        return Error{"its directory of " + std::to_string(count) + " images runs past the end of the file"};
    }
    std::vector<IconImage> images;
    for (size_t i = 0; i < count; ++i) {
        const size_t entry = directory_header_size + file_entry_size * i;
        const uint32_t size = load_u32(file, entry + 8);
        const uint32_t offset = load_u32(file, entry + 12);
        const std::string which = "image " + std::to_string(i + 1);
        if (size == 0 || !range_fits(file.size(), offset, size)) return Error{which + " runs past the end of the file"};
        IconImage image;
        image.width = file[entry];
        image.height = file[entry + 1];
        image.colors = file[entry + 2];
        image.planes = load_u16(file, entry + 4);
        image.bit_count = load_u16(file, entry + 6);
        image.data.assign(file.begin() + offset, file.begin() + offset + size);
        if (!is_png(image.data) && !is_bitmap(image.data)) return Error{which + " is neither a PNG nor a bitmap"};
        images.push_back(std::move(image));
    }
    return images;
}

Bytes build_icon_group(const std::vector<IconImage> &images, uint16_t first_id) {
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

Result<std::vector<IconGroupEntry>> parse_icon_group(const Bytes &group) {
    if (group.size() < directory_header_size || load_u16(group, 0) != 0 || load_u16(group, 2) != type_icon) {
        return Error{"damaged icon group"};
    }
    const size_t count = load_u16(group, 4);
    if (!range_fits(group.size(), directory_header_size, group_entry_size * count)) return Error{"damaged icon group"};
    std::vector<IconGroupEntry> entries;
    for (size_t i = 0; i < count; ++i) {
        const size_t at = directory_header_size + group_entry_size * i;
        entries.push_back({pixels(group[at]), pixels(group[at + 1]), load_u16(group, at + 6), load_u32(group, at + 8),
                           load_u16(group, at + 12)});
    }
    return entries;
}

}  // namespace tavrik
