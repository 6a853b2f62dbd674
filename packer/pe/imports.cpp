#include "packer/pe/imports.h"

#include <algorithm>
#include <optional>

namespace tavrik {

namespace {

constexpr size_t import_descriptor_size = 20;     // IMAGE_IMPORT_DESCRIPTOR
constexpr size_t import_name_offset = 12;         // its Name (an RVA)
constexpr size_t import_thunks_offset = 16;       // its FirstThunk (an RVA)
constexpr size_t delay_descriptor_size = 32;      // IMAGE_DELAYLOAD_DESCRIPTOR
constexpr size_t delay_name_offset = 4;           // its DllNameRVA
constexpr uint32_t delay_rva_based = 1;           // Attributes: addresses are RVAs, not VAs
constexpr size_t export_directory_size = 40;
// Longer than any DLL or function name a linker writes; a name that runs on
// is a damaged table, not a name.
constexpr size_t max_name_length = 4096;

Error damaged(const char *table, const std::string &why) { return Error{std::string("damaged ") + table + ": " + why}; }

// The file offset of `length` bytes at `rva`, or -1 when they are not all
// stored in the file.
int64_t locate(const PeImage &image, uint64_t rva, uint64_t length) {
    if (rva > UINT32_MAX || length > UINT32_MAX) return -1;
    return image.file_offset(static_cast<uint32_t>(rva), static_cast<uint32_t>(length));
}

// The NUL-terminated text at `rva`, read one checked byte at a time (a name
// may end exactly at the end of its section). `budget`: bytes the whole walk
// may still read, so that many names pointing at one long run cannot make
// it quadratic.
Result<std::string> name_at(const Bytes &file, const PeImage &image, uint64_t rva, const char *table,
                            uint64_t &budget) {
    std::string name;
    for (size_t i = 0; i < max_name_length; ++i) {
        if (budget == 0) return damaged(table, "its names are longer than the file");
        --budget;
        const int64_t at = locate(image, rva + i, 1);
        if (at < 0) return damaged(table, "a name lies outside the file");
        const char c = static_cast<char>(file[static_cast<size_t>(at)]);
        if (c == '\0') return name;
        name.push_back(c);
    }
    return damaged(table, "a name is not terminated");
}

// Each name once, where it first came, by sorting once: O(n log n) in the
// names whatever they are (a hash set's time depends on names an image's
// author chooses). Their total length is bounded by the file's size.
std::vector<ImportedDll> kept_once(std::vector<ImportedDll> all) {
    std::vector<size_t> order(all.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&all](size_t a, size_t b) { return all[a].name < all[b].name; });
    std::vector<bool> first(all.size(), false);
    for (size_t k = 0; k < order.size(); ++k) {
        first[order[k]] = k == 0 || all[order[k]].name != all[order[k - 1]].name;
    }
    std::vector<ImportedDll> kept;
    for (size_t i = 0; i < all.size(); ++i) {
        if (first[i]) kept.push_back(std::move(all[i]));
    }
    return kept;
}

// Walks one table of fixed-size descriptors, calling `name_rva` on each to
// find the DLL name, or nothing for the entry that ends the table. The
// loader stops at an entry without a name (an import entry also without its
// address table), whatever its other fields hold, and loads nothing from
// there on (the name at RVA 0 would be the "MZ" of the headers); a table
// that would run past the file is damaged.
template <class NameRva>
Status walk_descriptors(const Bytes &file, const PeImage &image, size_t directory, size_t descriptor_size,
                              const char *table, bool delayed, NameRva name_rva, std::vector<ImportedDll> &dlls) {
    if (image.directories.size() <= directory) return Status::done();
    const DataDirectory entry = image.directories[directory];
    if (entry.address == 0) return Status::done();
    // At most as many descriptors as the file could hold.
    const uint64_t budget = image.held_size / descriptor_size + 1;
    uint64_t name_budget = image.held_size;
    for (uint64_t i = 0; i < budget; ++i) {
        const int64_t at = locate(image, uint64_t{entry.address} + i * descriptor_size, descriptor_size);
        if (at < 0) return damaged(table, "it runs past its section");
        auto rva = name_rva(static_cast<size_t>(at));
        if (!rva) return Error{rva.error()};
        if (!*rva) return Status::done();
        auto name = name_at(file, image, **rva, table, name_budget);
        if (!name) return Error{name.error()};
        if (name->empty()) return damaged(table, "a DLL name is empty");
        dlls.push_back(ImportedDll{std::move(*name), delayed});
    }
    return damaged(table, "it has no terminating entry");
}

}  // namespace

Result<std::vector<ImportedDll>> imported_dlls(const Bytes &file, const PeImage &image) {
    std::vector<ImportedDll> dlls;
    auto normal = walk_descriptors(
        file, image, pe::import_directory, import_descriptor_size, "import table", false,
        [&](size_t at) -> Result<std::optional<uint64_t>> {
            const uint32_t name = load_u32(file, at + import_name_offset);
            if (name == 0 || load_u32(file, at + import_thunks_offset) == 0) return std::optional<uint64_t>();
            return std::optional<uint64_t>(name);
        },
        dlls);
    if (!normal) return Error{normal.error()};
    auto delayed = walk_descriptors(
        file, image, pe::delay_import_directory, delay_descriptor_size, "delay-load import table", true,
        [&](size_t at) -> Result<std::optional<uint64_t>> {
            const uint64_t name = load_u32(file, at + delay_name_offset);
            if (name == 0) return std::optional<uint64_t>();
            if (load_u32(file, at) & delay_rva_based) return std::optional<uint64_t>(name);
            // The first delay-load format stored virtual addresses.
            if (name < image.image_base) return damaged("delay-load import table", "a name lies outside the image");
            return std::optional<uint64_t>(name - image.image_base);
        },
        dlls);
    if (!delayed) return Error{delayed.error()};
    return kept_once(std::move(dlls));
}

Result<std::vector<std::string>> exported_names(const Bytes &file, const PeImage &image) {
    std::vector<std::string> names;
    if (image.directories.size() <= pe::export_directory) return names;
    const DataDirectory directory = image.directories[pe::export_directory];
    if (directory.address == 0 && directory.size == 0) return names;
    const int64_t at = locate(image, directory.address, export_directory_size);
    if (at < 0) return damaged("export directory", "it lies outside the file");
    const uint32_t name_count = load_u32(file, static_cast<size_t>(at) + 24);
    const uint32_t name_table = load_u32(file, static_cast<size_t>(at) + 32);
    if (name_count == 0) return names;
    const int64_t table_at = locate(image, name_table, 4 * uint64_t{name_count});
    if (table_at < 0) return damaged("export directory", "its name table lies outside the file");
    uint64_t budget = image.held_size;
    for (uint32_t i = 0; i < name_count; ++i) {
        const uint32_t rva = load_u32(file, static_cast<size_t>(table_at) + 4 * size_t{i});
        auto name = name_at(file, image, rva, "export directory", budget);
        if (!name) return Error{name.error()};
        names.push_back(std::move(*name));
    }
    return names;
}

}  // namespace tavrik
