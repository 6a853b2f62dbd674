#include "packer/pe/pe_contents.h"

#include <cstring>

namespace tavrik {

namespace {

constexpr size_t export_directory_size = 40;
constexpr uint32_t rt_version = 16;
constexpr uint32_t resource_subdirectory = 0x80000000;
constexpr size_t max_resource_entries = 4096;
// VS_VERSIONINFO (0) > StringFileInfo (1) > StringTable (2) > String (3).
constexpr int string_depth = 3;

Error damaged(const char *what) { return Error{std::string("damaged ") + what}; }

// The file offset of `length` bytes at `rva` + `offset`, or -1.
int64_t locate(const PeImage &image, uint64_t rva, uint64_t offset, uint64_t length) {
    const uint64_t at = rva + offset;
    if (at > UINT32_MAX || length > UINT32_MAX) return -1;
    return image.file_offset(static_cast<uint32_t>(at), static_cast<uint32_t>(length));
}

// Reads a zero-terminated UTF-16 string starting at `at`, staying below `end`.
// Returns false when no terminator comes first.
bool read_wide(const Bytes &file, size_t at, size_t end, std::u16string &out, size_t &after) {
    out.clear();
    for (; at + 2 <= end; at += 2) {
        const char16_t unit = load_u16(file, at);
        if (unit == 0) {
            after = at + 2;
            return true;
        }
        out.push_back(unit);
    }
    return false;
}

size_t align4(size_t offset, size_t base) { return base + (offset - base + 3) / 4 * 4; }

// One node of the version tree: wLength, wValueLength, wType, key, padding,
// value, padding, children. Offsets are aligned from the resource's start.
bool find_version_value(const Bytes &file, size_t base, size_t at, size_t end, int depth,
                        const std::u16string &key, std::u16string &value) {
    if (!range_fits(end, at, 6)) return false;
    const uint16_t length = load_u16(file, at);
    if (length < 6 || !range_fits(end, at, length)) return false;
    const size_t node_end = at + length;
    const uint16_t value_length = load_u16(file, at + 2);
    const uint16_t type = load_u16(file, at + 4);
    std::u16string node_key;
    size_t after_key = 0;
    if (!read_wide(file, at + 6, node_end, node_key, after_key)) return false;
    const size_t value_at = align4(after_key, base);
    if (node_key == key && depth > 0) {
        size_t ignored = 0;
        if (value_at <= node_end && read_wide(file, value_at, node_end, value, ignored)) return true;
        value.clear();
        return false;
    }
    if (depth >= string_depth) return false;
    size_t child = align4(value_at + (type == 1 ? 2u * value_length : value_length), base);
    while (child + 6 <= node_end) {
        if (find_version_value(file, base, child, node_end, depth + 1, key, value)) return true;
        const uint16_t child_length = load_u16(file, child);
        if (child_length < 6) return false;
        child = align4(child + child_length, base);
    }
    return false;
}

struct ResourceEntry {
    uint32_t id;      // meaningful when !named
    bool named;
    bool directory;
    uint32_t offset;  // from the start of the resource section
};

Result<std::vector<ResourceEntry>> resource_directory(const Bytes &file, const PeImage &image, uint32_t root,
                                                      uint32_t offset) {
    const int64_t at = locate(image, root, offset, 16);
    if (at < 0) return damaged("resource directory");
    const size_t count = size_t{load_u16(file, at + 12)} + load_u16(file, at + 14);
    if (count > max_resource_entries) return damaged("resource directory");
    const int64_t entries_at = locate(image, root, uint64_t{offset} + 16, 8 * count);
    if (entries_at < 0) return damaged("resource directory");
    std::vector<ResourceEntry> entries;
    for (size_t i = 0; i < count; ++i) {
        const uint32_t name = load_u32(file, entries_at + 8 * i);
        const uint32_t target = load_u32(file, entries_at + 8 * i + 4);
        entries.push_back({name, (name & resource_subdirectory) != 0, (target & resource_subdirectory) != 0,
                           target & ~resource_subdirectory});
    }
    return entries;
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
    if (image.directories.size() <= pe::resource_directory) return std::u16string();
    const uint32_t root = image.directories[pe::resource_directory].address;
    if (root == 0) return std::u16string();
    auto types = resource_directory(file, image, root, 0);
    if (!types) return Error{types.error()};
    for (const auto &type : *types) {
        if (type.named || type.id != rt_version || !type.directory) continue;
        auto names = resource_directory(file, image, root, type.offset);
        if (!names) return Error{names.error()};
        for (const auto &name : *names) {
            if (!name.directory) continue;
            auto languages = resource_directory(file, image, root, name.offset);
            if (!languages) return Error{languages.error()};
            for (const auto &language : *languages) {
                if (language.directory) continue;
                const int64_t entry_at = locate(image, root, language.offset, 16);
                if (entry_at < 0) return damaged("resource data entry");
                const uint32_t data_rva = load_u32(file, entry_at);
                const uint32_t data_size = load_u32(file, entry_at + 4);
                const int64_t data_at = locate(image, data_rva, 0, data_size);
                if (data_at < 0) return damaged("version resource");
                std::u16string value;
                if (find_version_value(file, data_at, data_at, data_at + data_size, 0, key, value)) return value;
            }
        }
    }
    return std::u16string();
}

}  // namespace tavrik
