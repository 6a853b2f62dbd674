#include "packer/pe/attach.h"

#include <cstdio>
#include <cstring>

#include "packer/pe/pe_checksum.h"
#include "packer/pe/pe_image.h"

namespace tavrik {

namespace {

constexpr uint32_t page_size = 4096;

uint64_t align_up(uint64_t value, uint32_t alignment) {
    return (value + alignment - 1) / alignment * alignment;
}

const PeSection *find_section(const PeImage &image) {
    for (const auto &s : image.sections) {
        if (s.name == packed_format::section_name) return &s;
    }
    return nullptr;
}

Error refuse(const std::string &why) { return Error{"cannot use this stub: " + why}; }

// Anything the loader would not map would be hidden behind the new section,
// so such stubs are refused outright. A signature or a section of ours is
// check_launcher_stub's to refuse, before the stub is touched at all.
Result<PeImage> check_stub(const Bytes &stub) {
    auto image = parse_pe_image(stub);
    if (!image) return refuse(image.error());
    if (image->symbol_table_offset != 0 || image->symbol_count != 0) {
        return refuse("it has a COFF symbol table (strip it)");
    }
    if (stub.size() > image->end_of_section_data()) {
        return refuse("it has data after its last section");
    }
    const size_t slot = image->section_table_offset + image->sections.size() * pe::section_header_size;
    uint64_t first_raw = image->size_of_headers;
    for (const auto &s : image->sections) {
        if (s.raw_size != 0 && s.raw_offset < first_raw) first_raw = s.raw_offset;
    }
    if (!range_fits(first_raw, slot, pe::section_header_size)) {
        return refuse("no room for another section header");
    }
    // Bytes after the section table may hold something (bound imports, for
    // one); only a zero-filled slot is free to take.
    if (ByteReader(stub).copy(slot, pe::section_header_size) != Bytes(pe::section_header_size, 0)) {
        return refuse("the space after its section table is in use");
    }
    return image;
}

}  // namespace

Result<Bytes> attach_to_stub(const Bytes &stub, const Bytes &attached_data) {
    auto checked = check_stub(stub);
    if (!checked) return Error{checked.error()};
    const PeImage &image = *checked;
    if (attached_data.empty()) return Error{"nothing to attach"};
    if (image.sections.size() >= UINT16_MAX) return refuse("too many sections");

    // The data starts on a page boundary of the file (still a multiple of the
    // file alignment): a loader can then map it instead of reading it all
    // in when the process starts, which the nested instance, reading only
    // the first name, never needs.
    const uint64_t raw_offset = align_up(stub.size(), std::max<uint32_t>(image.file_alignment, page_size));
    const uint64_t raw_size = align_up(attached_data.size(), image.file_alignment);
    const uint64_t virtual_address =
        align_up(std::max<uint64_t>(image.size_of_image, image.end_of_virtual_sections()),
                 image.section_alignment);
    const uint64_t size_of_image = align_up(virtual_address + attached_data.size(), image.section_alignment);
    const uint64_t initialized = uint64_t{image.size_of_initialized_data} + raw_size;
    if (raw_offset + raw_size > UINT32_MAX || size_of_image > UINT32_MAX || initialized > UINT32_MAX) {
        return Error{"packed data too large for a PE image"};
    }

    Bytes out = stub;
    out.resize(raw_offset, 0);
    out.insert(out.end(), attached_data.begin(), attached_data.end());
    out.resize(raw_offset + raw_size, 0);

    const size_t header = image.section_table_offset + image.sections.size() * pe::section_header_size;
    std::memcpy(&out[header], packed_format::section_name, sizeof packed_format::section_name);
    store_u32(out, header + 8, static_cast<uint32_t>(attached_data.size()));
    store_u32(out, header + 12, static_cast<uint32_t>(virtual_address));
    store_u32(out, header + 16, static_cast<uint32_t>(raw_size));
    store_u32(out, header + 20, static_cast<uint32_t>(raw_offset));
    store_u32(out, header + 36, packed_format::section_characteristics);

    const size_t oh = image.optional_header_offset;
    store_u16(out, image.file_header_offset + 2, static_cast<uint16_t>(image.sections.size() + 1));
    store_u32(out, oh + pe::opt_size_of_initialized_data, static_cast<uint32_t>(initialized));
    store_u32(out, oh + pe::opt_size_of_image, static_cast<uint32_t>(size_of_image));
    store_u32(out, oh + pe::opt_checksum, pe_checksum(out, oh + pe::opt_checksum));
    return out;
}

Result<PeSection> attached_section(const PeImage &image) {
    const PeSection *section = find_section(image);
    if (!section) return Error{std::string("no ") + packed_format::section_name + " section: not a packed executable"};
    if (section->virtual_size > section->raw_size) {
        return Error{std::string(packed_format::section_name) + " section is larger than its stored data"};
    }
    return *section;
}

std::string attached_section_problem(const PeImage &image) {
    const PeSection *section = find_section(image);
    if (section == nullptr) return "it has no .tavrik section";
    if (section != &image.sections.back()) return "its .tavrik section is not its last section";
    if (section->characteristics != packed_format::section_characteristics) {
        char flags[16];
        std::snprintf(flags, sizeof flags, "0x%08X", static_cast<unsigned>(section->characteristics));
        return std::string("its .tavrik section's flags are ") + flags +
               ", not those of readable initialized data (0x40000040)";
    }
    return "";
}

}  // namespace tavrik
