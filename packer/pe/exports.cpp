#include "packer/pe/exports.h"

namespace tavrik {

namespace {

constexpr size_t export_directory_size = 40;  // IMAGE_EXPORT_DIRECTORY
constexpr size_t function_count_offset = 20;  // NumberOfFunctions
constexpr size_t name_count_offset = 24;      // NumberOfNames
constexpr size_t functions_offset = 28;       // AddressOfFunctions (an RVA)
constexpr size_t names_offset = 32;           // AddressOfNames (an RVA)
constexpr size_t ordinals_offset = 36;        // AddressOfNameOrdinals (an RVA)
// Longer than any function name a linker writes; a name that runs on is a
// damaged table, not a name.
constexpr size_t max_name_length = 4096;

// The export directory's header, or a failed reader; an empty reader when
// the image has no export directory.
ByteReader export_directory(ByteReader &file, const PeImage &image) {
    if (image.directories.size() <= pe::export_directory) return ByteReader();
    const DataDirectory directory = image.directories[pe::export_directory];
    if (directory.address == 0 && directory.size == 0) return ByteReader();
    return located(file, image, directory.address, export_directory_size);
}

}  // namespace

Result<std::vector<std::string>> exported_names(const Bytes &bytes, const PeImage &image) {
    std::vector<std::string> names;
    ByteReader file(bytes);
    ByteReader header = export_directory(file, image);
    if (!header.ok()) return Error{"damaged export directory: it lies outside the file"};
    if (header.size() == 0) return names;
    const uint32_t name_count = header.u32(name_count_offset);
    const uint32_t name_table = header.u32(names_offset);
    if (name_count == 0) return names;
    ByteReader table = located(file, image, name_table, 4 * uint64_t{name_count});
    if (!table.ok()) return Error{"damaged export directory: its name table lies outside the file"};
    uint64_t budget = image.held_size;
    for (uint32_t i = 0; i < name_count; ++i) {
        auto name = name_at(file, image, table.read_u32(), "export directory", budget, max_name_length);
        if (!name) return Error{name.error()};
        names.push_back(std::move(*name));
    }
    return names;
}

Result<bool> exports_name(const Bytes &bytes, const PeImage &image, const std::string &name) {
    const Error damaged{"damaged export directory"};
    ByteReader file(bytes);
    ByteReader header = export_directory(file, image);
    if (header.ok() && header.size() == 0) return false;
    const uint32_t function_count = header.u32(function_count_offset);
    const uint32_t name_count = header.u32(name_count_offset);
    const uint32_t functions_rva = header.u32(functions_offset);
    const uint32_t names_rva = header.u32(names_offset);
    const uint32_t ordinals_rva = header.u32(ordinals_offset);
    if (!header.ok()) return damaged;
    ByteReader functions = located(file, image, functions_rva, 4 * uint64_t{function_count});
    ByteReader names = located(file, image, names_rva, 4 * uint64_t{name_count});
    ByteReader ordinals = located(file, image, ordinals_rva, 2 * uint64_t{name_count});
    if (name_count == 0) return false;
    if (!functions.ok() || !names.ok() || !ordinals.ok()) return damaged;

    const Bytes wanted(name.c_str(), name.c_str() + name.size() + 1);
    for (uint32_t i = 0; i < name_count; ++i) {
        ByteReader text = located(file, image, names.read_u32(), wanted.size());
        if (!text.ok() || text.copy(0, wanted.size()) != wanted) continue;
        const uint16_t ordinal = ordinals.u16(2 * uint64_t{i});
        if (ordinal >= function_count) return damaged;
        return functions.u32(4 * uint64_t{ordinal}) != 0;
    }
    return false;
}

}  // namespace tavrik
