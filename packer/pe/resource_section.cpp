#include "packer/pe/resource_section.h"

#include <algorithm>
#include <optional>
#include <string>

#include "packer/pe/pe_checksum.h"
#include "packer/pe/pe_image.h"

namespace tavrik {

namespace {

constexpr size_t base_relocation_directory = 5;
constexpr uint32_t initialized_data = 0x40;  // IMAGE_SCN_CNT_INITIALIZED_DATA

uint64_t align_up(uint64_t value, uint32_t alignment) { return (value + alignment - 1) / alignment * alignment; }

uint32_t extent(const PeSection &s) { return s.virtual_size != 0 ? s.virtual_size : s.raw_size; }

struct Layout {
    size_t resources = 0;             // index of the resource section
    std::optional<size_t> relocations;  // index of a .reloc section after it
};

// Where the sections are and whether the resource section can change size.
Result<Layout> find_layout(const Bytes &file, const PeImage &image) {
    if (image.directories.size() <= pe::resource_directory || image.directories[pe::resource_directory].address == 0) {
        return Error{"it has no resources"};
    }
    const uint32_t root = image.directories[pe::resource_directory].address;
    const auto &sections = image.sections;
    for (size_t i = 1; i < sections.size(); ++i) {
        if (sections[i].virtual_address <= sections[i - 1].virtual_address ||
            (sections[i].raw_size != 0 && sections[i].raw_offset < sections[i - 1].raw_offset)) {
            return Error{"its sections are not in address order"};
        }
    }
    Layout layout;
    const auto found = std::find_if(sections.begin(), sections.end(),
                                    [root](const PeSection &s) { return s.virtual_address == root; });
    if (found == sections.end()) return Error{"its resources do not start a section"};
    layout.resources = found - sections.begin();
    const PeSection &rsrc = *found;
    if (rsrc.raw_size == 0 || (rsrc.characteristics & initialized_data) == 0) {
        return Error{"its resource section holds no initialized data"};
    }
    if (layout.resources + 2 < sections.size()) return Error{"more than one section follows its resources"};
    if (layout.resources + 1 < sections.size()) {
        const size_t i = layout.resources + 1;
        const PeSection &next = sections[i];
        const bool has_relocations = image.directories.size() > base_relocation_directory &&
                                     image.directories[base_relocation_directory].address != 0;
        const DataDirectory relocations =
            has_relocations ? image.directories[base_relocation_directory] : DataDirectory{};
        if (!has_relocations || relocations.address < next.virtual_address ||
            !range_fits(extent(next), relocations.address - next.virtual_address, relocations.size)) {
            return Error{"the section after its resources is not its base relocations"};
        }
        if (next.raw_offset != rsrc.raw_offset + rsrc.raw_size) {
            return Error{"its base relocations do not follow its resources in the file"};
        }
        layout.relocations = i;
    }
    // Only the resource and relocation directories may point past the start
    // of the resources: anything else there would be left behind. (The
    // certificate table is a file offset, and signed stubs are refused
    // before this.)
    for (size_t d = 0; d < image.directories.size(); ++d) {
        if (d == pe::resource_directory || d == base_relocation_directory || d == pe::certificate_directory) continue;
        if (image.directories[d].address >= rsrc.virtual_address) {
            return Error{"data directory " + std::to_string(d) + " points past its resources"};
        }
    }
    if (file.size() != image.end_of_section_data()) return Error{"it has data after its last section"};
    return layout;
}

}  // namespace

Result<Bytes> replace_resources(const Bytes &file, const std::vector<Resource> &resources) {
    auto parsed = parse_pe_image(file);
    if (!parsed) return Error{parsed.error()};
    const PeImage &image = *parsed;
    auto layout = find_layout(file, image);
    if (!layout) return Error{layout.error()};
    const PeSection &rsrc = image.sections[layout->resources];
    auto section = build_resource_section(resources, rsrc.virtual_address);
    if (!section) return Error{section.error()};

    const uint64_t raw_size = align_up(section->size(), image.file_alignment);
    uint64_t end_of_image = align_up(uint64_t{rsrc.virtual_address} + section->size(), image.section_alignment);
    Bytes out(file.begin(), file.begin() + rsrc.raw_offset);
    out.insert(out.end(), section->begin(), section->end());
    out.resize(rsrc.raw_offset + raw_size, 0);

    const size_t oh = image.optional_header_offset;
    const auto header = [&image](size_t index) { return image.section_table_offset + index * pe::section_header_size; };
    if (layout->relocations) {
        const PeSection &reloc = image.sections[*layout->relocations];
        const uint64_t address = end_of_image;
        end_of_image = align_up(address + extent(reloc), image.section_alignment);
        const uint64_t raw_offset = out.size();
        out.insert(out.end(), file.begin() + reloc.raw_offset, file.begin() + reloc.raw_offset + reloc.raw_size);
        if (end_of_image > UINT32_MAX || out.size() > UINT32_MAX) return Error{"resources too large for a PE image"};
        store_u32(out, header(*layout->relocations) + 12, static_cast<uint32_t>(address));
        store_u32(out, header(*layout->relocations) + 20, static_cast<uint32_t>(raw_offset));
        const size_t directory = oh + pe::opt_data_directories + 8 * base_relocation_directory;
        store_u32(out, directory, static_cast<uint32_t>(address + (load_u32(out, directory) - reloc.virtual_address)));
    }
    if (end_of_image > UINT32_MAX || out.size() > UINT32_MAX) return Error{"resources too large for a PE image"};
    const int64_t initialized = int64_t{image.size_of_initialized_data} + int64_t(raw_size) - rsrc.raw_size;
    if (initialized < 0 || initialized > UINT32_MAX) return Error{"its SizeOfInitializedData does not add up"};

    store_u32(out, header(layout->resources) + 8, static_cast<uint32_t>(section->size()));
    store_u32(out, header(layout->resources) + 16, static_cast<uint32_t>(raw_size));
    const size_t directory = oh + pe::opt_data_directories + 8 * pe::resource_directory;
    store_u32(out, directory + 4, static_cast<uint32_t>(section->size()));
    store_u32(out, oh + pe::opt_size_of_image, static_cast<uint32_t>(end_of_image));
    store_u32(out, oh + pe::opt_size_of_initialized_data, static_cast<uint32_t>(initialized));
    store_u32(out, oh + pe::opt_checksum, pe_checksum(out, oh + pe::opt_checksum));
    return out;
}

}  // namespace tavrik
