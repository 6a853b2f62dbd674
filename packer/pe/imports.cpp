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
// Longer than any DLL or function name a linker writes; a name that runs on
// is a damaged table, not a name.
constexpr size_t max_name_length = 4096;

Error damaged(const char *table, const std::string &why) { return Error{std::string("damaged ") + table + ": " + why}; }

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
Status walk_descriptors(ByteReader &file, const PeImage &image, size_t directory, size_t descriptor_size,
                              const char *table, bool delayed, NameRva name_rva, std::vector<ImportedDll> &dlls) {
    if (image.directories.size() <= directory) return Status::done();
    const DataDirectory entry = image.directories[directory];
    if (entry.address == 0) return Status::done();
    // At most as many descriptors as the file could hold.
    const uint64_t budget = image.held_size / descriptor_size + 1;
    uint64_t name_budget = image.held_size;
    for (uint64_t i = 0; i < budget; ++i) {
        ByteReader descriptor = located(file, image, uint64_t{entry.address} + i * descriptor_size, descriptor_size);
        if (!descriptor.ok()) return damaged(table, "it runs past its section");
        auto rva = name_rva(descriptor);
        if (!rva) return Error{rva.error()};
        if (!*rva) return Status::done();
        auto name = name_at(file, image, **rva, table, name_budget, max_name_length);
        if (!name) return Error{name.error()};
        if (name->empty()) return damaged(table, "a DLL name is empty");
        dlls.push_back(ImportedDll{std::move(*name), delayed});
    }
    return damaged(table, "it has no terminating entry");
}

}  // namespace

Result<std::vector<ImportedDll>> imported_dlls(const Bytes &bytes, const PeImage &image) {
    ByteReader file(bytes);
    std::vector<ImportedDll> dlls;
    auto normal = walk_descriptors(
        file, image, pe::import_directory, import_descriptor_size, "import table", false,
        [&](ByteReader &descriptor) -> Result<std::optional<uint64_t>> {
            const uint32_t name = descriptor.u32(import_name_offset);
            if (name == 0 || descriptor.u32(import_thunks_offset) == 0) return std::optional<uint64_t>();
            return std::optional<uint64_t>(name);
        },
        dlls);
    if (!normal) return Error{normal.error()};
    auto delayed = walk_descriptors(
        file, image, pe::delay_import_directory, delay_descriptor_size, "delay-load import table", true,
        [&](ByteReader &descriptor) -> Result<std::optional<uint64_t>> {
            const uint64_t name = descriptor.u32(delay_name_offset);
            if (name == 0) return std::optional<uint64_t>();
            if (descriptor.u32(0) & delay_rva_based) return std::optional<uint64_t>(name);
            // The first delay-load format stored virtual addresses.
            if (name < image.image_base) return damaged("delay-load import table", "a name lies outside the image");
            return std::optional<uint64_t>(name - image.image_base);
        },
        dlls);
    if (!delayed) return Error{delayed.error()};
    return kept_once(std::move(dlls));
}

}  // namespace tavrik
