#include "synthetic_pe.h"

#include <cstring>

namespace tavrik_test {

uint16_t get_u16(const Bytes &b, size_t at) { return static_cast<uint16_t>(b.at(at) | b.at(at + 1) << 8); }
uint32_t get_u32(const Bytes &b, size_t at) { return get_u16(b, at) | uint32_t{get_u16(b, at + 2)} << 16; }
uint64_t get_u64(const Bytes &b, size_t at) { return get_u32(b, at) | uint64_t{get_u32(b, at + 4)} << 32; }

void put_u32(Bytes &b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.at(at + i) = static_cast<uint8_t>(v >> (8 * i));
}

namespace {

void put_u16(Bytes &b, size_t at, uint16_t v) {
    b.at(at) = static_cast<uint8_t>(v);
    b.at(at + 1) = static_cast<uint8_t>(v >> 8);
}

}  // namespace

Bytes SyntheticPe::build() const {
    uint32_t raw_total = 0;
    for (const auto &s : sections) raw_total += s.raw_size;
    Bytes image(size_of_headers + raw_total, 0);

    image[0] = 'M';
    image[1] = 'Z';
    put_u32(image, 0x3C, 0x80);
    std::memcpy(&image[0x80], "PE\0\0", 4);

    put_u16(image, coff_header, machine);
    put_u16(image, coff_header + 2, static_cast<uint16_t>(sections.size()));
    put_u32(image, coff_header + 8, symbol_table_offset);
    put_u16(image, coff_header + 16, 240);
    put_u16(image, coff_header + 18, 0x0022);  // executable, large-address aware

    const size_t oh = optional_header;
    put_u16(image, oh, magic);
    put_u32(image, oh + 8, raw_total);  // SizeOfInitializedData
    put_u32(image, oh + 16, 0x1000);    // AddressOfEntryPoint
    put_u32(image, oh + 24, 0x40000000);  // ImageBase, low half
    put_u32(image, oh + 32, section_alignment);
    put_u32(image, oh + 36, file_alignment);
    put_u16(image, oh + 48, 6);  // subsystem version 6.0
    put_u32(image, oh + 60, size_of_headers);
    put_u32(image, oh + 64, checksum);
    put_u16(image, oh + 68, 2);  // GUI subsystem
    put_u32(image, oh + 108, 16);
    put_u32(image, oh + 112 + 4 * 8, certificate_offset);
    put_u32(image, oh + 112 + 4 * 8 + 4, certificate_size);

    uint32_t raw_offset = size_of_headers;
    uint32_t virtual_address = 0x1000;
    for (size_t i = 0; i < sections.size(); ++i) {
        const auto &s = sections[i];
        const size_t h = section_table + 40 * i;
        std::memcpy(&image[h], s.name.data(), s.name.size());
        put_u32(image, h + 8, s.virtual_size);
        put_u32(image, h + 12, virtual_address);
        put_u32(image, h + 16, s.raw_size);
        put_u32(image, h + 20, s.raw_size ? raw_offset : 0);
        put_u32(image, h + 36, 0x40000040);
        for (uint32_t k = 0; k < s.raw_size; ++k) image[raw_offset + k] = static_cast<uint8_t>(i * 31 + k);
        raw_offset += s.raw_size;
        const uint32_t extent = s.virtual_size > s.raw_size ? s.virtual_size : s.raw_size;
        virtual_address += (extent + section_alignment - 1) / section_alignment * section_alignment;
    }
    put_u32(image, oh + 56, virtual_address);  // SizeOfImage
    image.insert(image.end(), overlay.begin(), overlay.end());
    return image;
}

}  // namespace tavrik_test
