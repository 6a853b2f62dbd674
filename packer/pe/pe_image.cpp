#include "packer/pe/pe_image.h"

#include <algorithm>

namespace tavrik {

namespace {

constexpr size_t dos_lfanew_offset = 0x3C;
constexpr size_t file_header_size = 20;
constexpr size_t min_optional_header_size = pe::opt_data_directories;

bool is_power_of_two(uint32_t v) { return v != 0 && (v & (v - 1)) == 0; }

uint64_t align_up(uint64_t value, uint32_t alignment) { return (value + alignment - 1) / alignment * alignment; }

std::string hex(uint64_t value) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    do {
        out.insert(out.begin(), digits[value & 0xF]);
        value >>= 4;
    } while (value != 0);
    return "0x" + out;
}

PeSection read_section(ByteReader header) {
    PeSection s;
    for (size_t i = 0; i < 8 && header.u8(i) != 0; ++i) s.name.push_back(static_cast<char>(header.u8(i)));
    s.virtual_size = header.u32(8);
    s.virtual_address = header.u32(12);
    s.raw_size = header.u32(16);
    s.raw_offset = header.u32(20);
    s.characteristics = header.u32(36);
    return s;
}

}  // namespace

uint64_t PeImage::end_of_section_data() const {
    uint64_t end = size_of_headers;
    for (const auto &s : sections) {
        if (s.raw_size != 0) end = std::max<uint64_t>(end, uint64_t{s.raw_offset} + s.raw_size);
    }
    return end;
}

uint64_t PeImage::end_of_virtual_sections() const {
    uint64_t end = size_of_headers;
    for (const auto &s : sections) {
        // A zero VirtualSize means the loader maps SizeOfRawData bytes.
        const uint32_t extent = s.virtual_size != 0 ? s.virtual_size : s.raw_size;
        end = std::max<uint64_t>(end, uint64_t{s.virtual_address} + extent);
    }
    return end;
}

int64_t PeImage::file_offset(uint32_t rva, uint32_t length) const {
    if (range_fits(size_of_headers, rva, length)) return range_fits(held_size, rva, length) ? int64_t{rva} : -1;
    for (const auto &s : sections) {
        if (rva < s.virtual_address) continue;
        const uint64_t within = rva - s.virtual_address;
        const uint32_t extent = s.virtual_size != 0 ? s.virtual_size : s.raw_size;
        if (within >= extent) continue;
        // Bytes past SizeOfRawData are zero-filled by the loader, not stored.
        if (!range_fits(s.raw_size, within, length)) continue;
        const uint64_t at = uint64_t{s.raw_offset} + within;
        return range_fits(held_size, at, length) ? int64_t(at) : -1;
    }
    return -1;
}

uint64_t pe_headers_extent(const Bytes &bytes) {
    ByteReader start(bytes);
    if (start.size() < 0x40) return 0;
    const uint64_t lfanew = start.u32(dos_lfanew_offset);
    const uint64_t fixed = lfanew + 4 + file_header_size;
    if (!start.fits(lfanew, 4 + file_header_size)) return fixed;
    const uint64_t sections = start.u16(lfanew + 4 + 2);
    const uint64_t optional_size = start.u16(lfanew + 4 + 16);
    return fixed + optional_size + sections * pe::section_header_size;
}

Result<PeImage> parse_pe_image(const Bytes &file) { return parse_pe_image(file, file.size()); }

Result<PeImage> parse_pe_image(const Bytes &bytes, uint64_t file_size) {
    ByteReader file(bytes);
    if (file.size() < 0x40 || file.u8(0) != 'M' || file.u8(1) != 'Z') {
        return Error{"not a Windows executable (no MZ header)"};
    }
    PeImage image;
    image.file_size = file_size;
    image.held_size = file.size();
    const uint32_t lfanew = file.u32(dos_lfanew_offset);
    ByteReader fh = file.sub(uint64_t{lfanew} + 4, file_header_size);
    if (!fh.ok() || file.u32(lfanew) != 0x00004550) return Error{"not a PE image (no PE signature)"};
    image.file_header_offset = lfanew + 4;
    if (fh.u16(0) != pe::machine_amd64) return Error{"not an x86-64 image"};
    const uint16_t section_count = fh.u16(2);
    image.symbol_table_offset = fh.u32(8);
    image.symbol_count = fh.u32(12);
    const uint16_t optional_size = fh.u16(16);
    image.characteristics = fh.u16(18);

    image.optional_header_offset = image.file_header_offset + file_header_size;
    ByteReader oh = file.sub(image.optional_header_offset, optional_size);
    if (optional_size < 2 || !oh.ok()) return Error{"truncated optional header"};
    const uint16_t magic = oh.u16(0);
    if (magic == pe::magic_pe32) return Error{"a 32-bit (PE32) image, not PE32+"};
    if (magic != pe::magic_pe32_plus) return Error{"unknown optional header magic"};
    if (optional_size < min_optional_header_size) return Error{"truncated optional header"};

    image.size_of_initialized_data = oh.u32(pe::opt_size_of_initialized_data);
    image.entry_point = oh.u32(pe::opt_address_of_entry_point);
    image.image_base = oh.u64(pe::opt_image_base);
    image.section_alignment = oh.u32(pe::opt_section_alignment);
    image.file_alignment = oh.u32(pe::opt_file_alignment);
    image.size_of_image = oh.u32(pe::opt_size_of_image);
    image.size_of_headers = oh.u32(pe::opt_size_of_headers);
    image.subsystem = oh.u16(pe::opt_subsystem);
    image.checksum = oh.u32(pe::opt_checksum);
    if (!is_power_of_two(image.file_alignment) || !is_power_of_two(image.section_alignment) ||
        image.section_alignment < image.file_alignment) {
        return Error{"invalid section or file alignment"};
    }
    if (image.size_of_headers > file_size) return Error{"headers run past the end of the file"};

    const uint32_t directory_count = oh.u32(pe::opt_number_of_rva_and_sizes);
    const uint64_t directories_fit = (optional_size - pe::opt_data_directories) / 8;
    if (directory_count > directories_fit) return Error{"data directories overflow the optional header"};
    oh.seek(pe::opt_data_directories);
    for (uint32_t i = 0; i < directory_count; ++i) {
        const uint32_t address = oh.read_u32();
        image.directories.push_back({address, oh.read_u32()});
    }
    if (directory_count > pe::certificate_directory) {
        image.certificate_offset = image.directories[pe::certificate_directory].address;
        image.certificate_size = image.directories[pe::certificate_directory].size;
    }

    image.section_table_offset = image.optional_header_offset + optional_size;
    const uint64_t table_size = uint64_t{section_count} * pe::section_header_size;
    ByteReader table = file.sub(image.section_table_offset, table_size);
    if (!range_fits(image.size_of_headers, image.section_table_offset, table_size) || !table.ok()) {
        return Error{"section table runs past the headers"};
    }
    for (uint16_t i = 0; i < section_count; ++i) {
        PeSection s = read_section(table.sub(uint64_t{i} * pe::section_header_size, pe::section_header_size));
        if (s.raw_size != 0 && !range_fits(file_size, s.raw_offset, s.raw_size)) {
            return Error{"section \"" + s.name + "\" runs past the end of the file"};
        }
        image.sections.push_back(std::move(s));
    }
    if (!oh.ok() || !table.ok()) return Error{"truncated optional header"};
    return image;
}

std::string loader_problem(const PeImage &image) {
    constexpr uint32_t page_size = 4096;
    if (image.section_alignment >= page_size) {
        if (image.file_alignment < 0x200 || image.file_alignment > 0x10000) {
            return "its file alignment " + hex(image.file_alignment) + " is outside 0x200-0x10000";
        }
    } else if (image.file_alignment != image.section_alignment) {
        return "its section alignment is below the page size but differs from its file alignment";
    }
    if (image.image_base % 0x10000 != 0) return "its image base is not a multiple of 64 KiB";
    // Each section starts where the one before ends, rounded up to the
    // section alignment; whether that end counts stored data longer than
    // VirtualSize is left open, so either is accepted.
    uint64_t earliest = align_up(image.size_of_headers, image.section_alignment), latest = earliest;
    for (const auto &s : image.sections) {
        const std::string section = "section \"" + s.name + "\"";
        if (s.virtual_address < earliest || s.virtual_address > latest) {
            return section + " starts at RVA " + hex(s.virtual_address) + " instead of " + hex(earliest) +
                   ", right after the one before it";
        }
        if (s.raw_offset % image.file_alignment != 0) {
            return section + " has its data at " + hex(s.raw_offset) + ", not a multiple of the file alignment " +
                   hex(image.file_alignment);
        }
        // A zero VirtualSize means the loader maps SizeOfRawData bytes.
        const uint32_t extent = s.virtual_size != 0 ? s.virtual_size : s.raw_size;
        earliest = align_up(uint64_t{s.virtual_address} + extent, image.section_alignment);
        latest = align_up(uint64_t{s.virtual_address} + std::max(extent, s.raw_size), image.section_alignment);
    }
    if (image.size_of_image < earliest) {
        return "its SizeOfImage " + hex(image.size_of_image) + " ends before its last section (" + hex(earliest) + ")";
    }
    if (image.entry_point >= image.size_of_image) {
        return "its entry point " + hex(image.entry_point) + " lies outside the image";
    }
    for (size_t i = 0; i < image.directories.size(); ++i) {
        const DataDirectory &d = image.directories[i];
        if (i == pe::certificate_directory || d.size == 0) continue;
        if (!range_fits(image.size_of_image, d.address, d.size)) {
            return "its data directory " + std::to_string(i) + " lies outside the image";
        }
    }
    return "";
}

std::string program_problem(const PeImage &image) {
    constexpr uint16_t subsystem_windows_gui = 2;
    constexpr uint16_t subsystem_windows_console = 3;
    if ((image.characteristics & pe::file_dll) != 0) return "it is marked as a DLL, not a program";
    if ((image.characteristics & pe::file_executable_image) == 0) return "it is not marked as an executable image";
    if (image.subsystem != subsystem_windows_gui && image.subsystem != subsystem_windows_console) {
        return "its subsystem " + std::to_string(image.subsystem) + " is neither windows (2) nor console (3)";
    }
    // The section holding `rva`, by its mapped extent.
    const auto section_at = [&image](uint64_t rva, uint64_t length) -> const PeSection * {
        for (const auto &s : image.sections) {
            const uint32_t extent = s.virtual_size != 0 ? s.virtual_size : s.raw_size;
            if (rva >= s.virtual_address && range_fits(extent, rva - s.virtual_address, length)) return &s;
        }
        return nullptr;
    };
    const PeSection *code = section_at(image.entry_point, 1);
    constexpr uint32_t executable_code = pe::section_code | pe::section_execute;
    if (code == nullptr || (code->characteristics & executable_code) != executable_code) {
        return "its entry point " + hex(image.entry_point) + " is not in a section of executable code";
    }
    const DataDirectory imports =
        image.directories.size() > pe::import_directory ? image.directories[pe::import_directory] : DataDirectory{};
    if (imports.address == 0 || imports.size == 0) return "it has no import directory";
    if (section_at(imports.address, imports.size) == nullptr) return "its import directory lies outside its sections";
    return "";
}

std::string certificate_location_problem(const PeImage &image) {
    if (image.certificate_offset == 0 && image.certificate_size == 0) return "";
    if (image.certificate_offset < image.end_of_section_data() || image.certificate_offset % 8 != 0 ||
        !range_fits(image.file_size, image.certificate_offset, image.certificate_size)) {
        return "its certificate table entry (" + hex(image.certificate_offset) + ", " + hex(image.certificate_size) +
               " bytes) does not lie after the sections, 8-byte aligned, inside the file";
    }
    return "";
}

std::string certificate_entries_problem(const Bytes &table) {
    constexpr uint16_t revision_2 = 0x0200;
    constexpr uint16_t pkcs_signed_data = 2;
    if (table.empty()) return "its certificate table is empty";
    ByteReader entries(table);
    for (size_t at = 0; at < entries.size();) {
        if (!entries.fits(at, 8)) return "its certificate table ends inside an entry";
        const uint32_t length = entries.u32(at);
        if (length <= 8 || !entries.fits(at, length)) {
            return "its certificate table has an entry of a wrong length";
        }
        if (entries.u16(at + 4) != revision_2 || entries.u16(at + 6) != pkcs_signed_data) {
            return "its certificate table has an entry that is not an Authenticode signature";
        }
        at += align_up(length, 8);
    }
    return "";
}

ByteReader located(ByteReader &file, const PeImage &image, uint64_t rva, uint64_t length) {
    if (rva > UINT32_MAX || length > UINT32_MAX) return ByteReader::none();
    const int64_t at = image.file_offset(static_cast<uint32_t>(rva), static_cast<uint32_t>(length));
    return at < 0 ? ByteReader::none() : file.sub(static_cast<uint64_t>(at), length);
}

Result<std::string> name_at(ByteReader &file, const PeImage &image, uint64_t rva, const char *table,
                            uint64_t &budget, size_t max_length) {
    const std::string damaged = std::string("damaged ") + table + ": ";
    std::string name;
    for (size_t i = 0; i < max_length; ++i) {
        if (budget == 0) return Error{damaged + "its names are longer than the file"};
        --budget;
        ByteReader byte = located(file, image, rva + i, 1);
        const char c = static_cast<char>(byte.u8(0));
        if (!byte.ok()) return Error{damaged + "a name lies outside the file"};
        if (c == '\0') return name;
        name.push_back(c);
    }
    return Error{damaged + "a name is not terminated"};
}

}  // namespace tavrik
