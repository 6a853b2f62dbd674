#include "packer/pe/pe_contents.h"

#include "packer/pe/resources.h"
#include "packer/pe/version_info.h"

namespace tavrik {

namespace {

constexpr size_t export_directory_size = 40;

Error damaged(const char *what) { return Error{std::string("damaged ") + what}; }

// `length` bytes at `rva` as mapped into the file, or a failed reader.
ByteReader locate(ByteReader &file, const PeImage &image, uint64_t rva, uint64_t length) {
    if (rva > UINT32_MAX || length > UINT32_MAX) return ByteReader::none();
    const int64_t at = image.file_offset(static_cast<uint32_t>(rva), static_cast<uint32_t>(length));
    return at < 0 ? ByteReader::none() : file.sub(static_cast<uint64_t>(at), length);
}

}  // namespace

Result<bool> exports_name(const Bytes &bytes, const PeImage &image, const std::string &name) {
    if (image.directories.size() <= pe::export_directory) return false;
    const DataDirectory directory = image.directories[pe::export_directory];
    if (directory.address == 0 && directory.size == 0) return false;
    ByteReader file(bytes);
    ByteReader header = locate(file, image, directory.address, export_directory_size);
    const uint32_t function_count = header.u32(20);
    const uint32_t name_count = header.u32(24);
    const uint32_t functions_rva = header.u32(28);
    const uint32_t names_rva = header.u32(32);
    const uint32_t ordinals_rva = header.u32(36);
    if (!header.ok()) return damaged("export directory");
    ByteReader functions = locate(file, image, functions_rva, 4 * uint64_t{function_count});
    ByteReader names = locate(file, image, names_rva, 4 * uint64_t{name_count});
    ByteReader ordinals = locate(file, image, ordinals_rva, 2 * uint64_t{name_count});
    if (name_count == 0) return false;
    if (!functions.ok() || !names.ok() || !ordinals.ok()) return damaged("export directory");

    for (uint32_t i = 0; i < name_count; ++i) {
        ByteReader text = locate(file, image, names.read_u32(), name.size() + 1);
        if (!text.ok() || text.copy(0, name.size() + 1) != Bytes(name.c_str(), name.c_str() + name.size() + 1)) {
            continue;
        }
        const uint16_t ordinal = ordinals.u16(2 * uint64_t{i});
        if (ordinal >= function_count) return damaged("export directory");
        return functions.u32(4 * uint64_t{ordinal}) != 0;
    }
    return false;
}

Result<std::u16string> version_string(const Bytes &file, const PeImage &image, const std::u16string &key) {
    auto resources = read_resources(file, image);
    if (!resources) return Error{resources.error()};
    for (const auto &resource : *resources) {
        if (!resource.type.is(resource_type::version)) continue;
        auto info = parse_version_info(resource.data);
        if (!info) continue;
        for (const auto &[name, value] : info->strings) {
            if (name == key) return value;
        }
    }
    return std::u16string();
}

}  // namespace tavrik
