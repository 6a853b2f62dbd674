#include "packer/pe/pe_contents.h"

#include <cstring>

#include "packer/pe/resources.h"
#include "packer/pe/version_info.h"

namespace tavrik {

namespace {

constexpr size_t export_directory_size = 40;

Error damaged(const char *what) { return Error{std::string("damaged ") + what}; }

// The file offset of `length` bytes at `rva` + `offset`, or -1.
int64_t locate(const PeImage &image, uint64_t rva, uint64_t offset, uint64_t length) {
    const uint64_t at = rva + offset;
    if (at > UINT32_MAX || length > UINT32_MAX) return -1;
    return image.file_offset(static_cast<uint32_t>(at), static_cast<uint32_t>(length));
}

}  // namespace

Result<bool> exports_name(const Bytes &file, const PeImage &image, const std::string &name) {
    if (image.directories.size() <= pe::export_directory) return false;
    const DataDirectory directory = image.directories[pe::export_directory];
    if (directory.address == 0 && directory.size == 0) return false;
    const int64_t at = locate(image, directory.address, 0, export_directory_size);
    if (at < 0) return damaged("export directory");
    const uint32_t function_count = load_u32(file, at + 20);
    const uint32_t name_count = load_u32(file, at + 24);
    const uint32_t functions = load_u32(file, at + 28);
    const uint32_t names = load_u32(file, at + 32);
    const uint32_t ordinals = load_u32(file, at + 36);
    const int64_t functions_at = locate(image, functions, 0, 4 * uint64_t{function_count});
    const int64_t names_at = locate(image, names, 0, 4 * uint64_t{name_count});
    const int64_t ordinals_at = locate(image, ordinals, 0, 2 * uint64_t{name_count});
    if (name_count == 0) return false;
    if (functions_at < 0 || names_at < 0 || ordinals_at < 0) return damaged("export directory");

    for (uint32_t i = 0; i < name_count; ++i) {
        const uint32_t name_rva = load_u32(file, names_at + 4 * size_t{i});
        const int64_t text_at = locate(image, name_rva, 0, name.size() + 1);
        if (text_at < 0) continue;
        if (std::memcmp(&file[text_at], name.c_str(), name.size() + 1) != 0) continue;
        const uint16_t ordinal = load_u16(file, ordinals_at + 2 * size_t{i});
        if (ordinal >= function_count) return damaged("export directory");
        return load_u32(file, functions_at + 4 * size_t{ordinal}) != 0;
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
