#pragma once
// Icons: the images of a .ico file, and the RT_GROUP_ICON directory that
// lists them as RT_ICON resources. Both directories describe each image the
// same way (size, colours, planes, bits, byte count); the group replaces the
// file offset with the RT_ICON resource's number, and the images are stored
// unchanged, PNG ones included.

#include <vector>

#include "packer/base/byte_io.h"
#include "packer/base/result.h"

namespace tavrik {

struct IconImage {
    uint8_t width = 0;   // as stated in the directory: 0 means 256
    uint8_t height = 0;
    uint8_t colors = 0;  // palette entries, 0 for none
    uint16_t planes = 0;
    uint16_t bit_count = 0;
    Bytes data;          // a PNG, or a BITMAPINFOHEADER and its bits
};

// The images of a .ico file, in file order. The reason for a refusal is
// the end of "... is not a valid .ico file: ".
Result<std::vector<IconImage>> parse_ico(const Bytes &file);

// RT_GROUP_ICON data naming the images RT_ICON first_id, first_id + 1, ...
Bytes build_icon_group(const std::vector<IconImage> &images, uint16_t first_id);

struct IconGroupEntry {
    unsigned width = 0;  // in pixels, 256 for a stated 0
    unsigned height = 0;
    uint16_t bit_count = 0;
    uint32_t size = 0;   // bytes of the RT_ICON resource
    uint16_t id = 0;     // its number
};

Result<std::vector<IconGroupEntry>> parse_icon_group(const Bytes &group);

}  // namespace tavrik
