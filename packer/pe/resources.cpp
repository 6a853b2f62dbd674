#include "packer/pe/resources.h"

#include <algorithm>
#include <tuple>

namespace tavrik {

namespace {

constexpr uint32_t high_bit = 0x80000000;
constexpr size_t directory_header_size = 16;
constexpr size_t directory_entry_size = 8;
constexpr size_t data_entry_size = 16;
// A header counts named and numbered entries in 16 bits each, so the reader
// meets at most this many of a kind: whatever the writer may write.
static_assert(max_entries_per_kind >= UINT16_MAX, "the reader takes every directory a header can describe");

Error damaged(const char *what) { return Error{std::string("damaged ") + what}; }

struct Entry {
    ResourceId id;
    bool directory;
    uint32_t offset;  // from the start of the resource directory
};

// What reading the tree may still cost, counted in the bytes of file each
// step stands for: 16 per directory header and data entry, 8 per directory
// entry, 2 per name unit copied. A tree that shares nothing costs about its
// own size; one whose directories share names or subdirectories pays each
// time they are reached again, so no crafted tree can make the walk take
// more time or memory than a small multiple of the file's size.
struct Budget {
    uint64_t left;

    bool spend(uint64_t cost) {
        if (cost > left) {
            left = 0;
            return false;
        }
        left -= cost;
        return true;
    }
};

const Error over_budget{"damaged resource directory: it lists more than the file holds (shared or repeated entries)"};

struct TreeReader {
    ByteReader file;
    const PeImage &image;
    uint32_t root;  // RVA of the root directory
    Budget budget;

    // `length` bytes at `offset` from the root, as mapped into the file.
    ByteReader at(uint64_t offset, uint64_t length) {
        const uint64_t rva = uint64_t{root} + offset;
        if (rva > UINT32_MAX || length > UINT32_MAX) return ByteReader::none();
        const int64_t where = image.file_offset(static_cast<uint32_t>(rva), static_cast<uint32_t>(length));
        return where < 0 ? ByteReader::none() : file.sub(static_cast<uint64_t>(where), length);
    }

    Result<ResourceId> name_at(uint32_t offset) {
        ByteReader length_field = at(offset, 2);
        const uint16_t length = length_field.u16(0);
        if (!length_field.ok()) return damaged("resource name");
        if (!budget.spend(2 * uint64_t{length})) return over_budget;
        ByteReader text = at(uint64_t{offset} + 2, 2 * uint64_t{length});
        if (!text.ok()) return damaged("resource name");
        ResourceId id;
        id.named = true;
        id.name.reserve(length);
        for (size_t i = 0; i < length; ++i) id.name.push_back(text.read_u16());
        return id;
    }

    Result<std::vector<Entry>> directory(uint32_t offset) {
        ByteReader header = at(offset, directory_header_size);
        const size_t count = size_t{header.u16(12)} + header.u16(14);
        if (!header.ok()) return damaged("resource directory");
        if (!budget.spend(directory_header_size + directory_entry_size * count)) return over_budget;
        std::vector<Entry> entries;
        // An empty directory may end its section: no entries to map.
        if (count == 0) return entries;
        ByteReader entries_at = at(uint64_t{offset} + directory_header_size, directory_entry_size * count);
        if (!entries_at.ok()) return damaged("resource directory");
        entries.reserve(count);
        for (size_t i = 0; i < count; ++i) {
            const uint32_t name = entries_at.read_u32();
            const uint32_t target = entries_at.read_u32();
            Entry entry{ResourceId::of(static_cast<uint16_t>(name)), (target & high_bit) != 0, target & ~high_bit};
            if (name & high_bit) {
                auto id = name_at(name & ~high_bit);
                if (!id) return Error{id.error()};
                entry.id = std::move(*id);
            } else if (name > UINT16_MAX) {
                return damaged("resource directory");
            }
            entries.push_back(std::move(entry));
        }
        return entries;
    }
};

size_t align8(size_t v) { return (v + 7) / 8 * 8; }

void store_directory_header(Bytes &out, size_t at, const std::vector<const ResourceId *> &ids) {
    const auto named = std::count_if(ids.begin(), ids.end(), [](const ResourceId *id) { return id->named; });
    store_u16(out, at + 12, static_cast<uint16_t>(named));
    store_u16(out, at + 14, static_cast<uint16_t>(ids.size() - named));
}

}  // namespace

bool operator==(const ResourceId &a, const ResourceId &b) {
    return a.named == b.named && (a.named ? a.name == b.name : a.number == b.number);
}

bool operator<(const ResourceId &a, const ResourceId &b) {
    if (a.named != b.named) return a.named;
    return a.named ? a.name < b.name : a.number < b.number;
}

Result<std::vector<Resource>> read_resources(const Bytes &file, const PeImage &image) {
    std::vector<Resource> resources;
    if (image.directories.size() <= pe::resource_directory) return resources;
    const uint32_t root = image.directories[pe::resource_directory].address;
    if (root == 0) return resources;
    TreeReader tree{ByteReader(file), image, root, Budget{2 * uint64_t{file.size()} + (64 << 10)}};
    uint64_t total_bytes = 0;
    auto types = tree.directory(0);
    if (!types) return Error{types.error()};
    for (const auto &type : *types) {
        if (!type.directory) return damaged("resource directory");
        auto names = tree.directory(type.offset);
        if (!names) return Error{names.error()};
        for (const auto &name : *names) {
            if (!name.directory) return damaged("resource directory");
            auto languages = tree.directory(name.offset);
            if (!languages) return Error{languages.error()};
            for (const auto &language : *languages) {
                if (language.directory || language.id.named) return damaged("resource directory");
                // Each resource holds its own copy of its type's and name's names.
                if (!tree.budget.spend(data_entry_size + 2 * (type.id.name.size() + name.id.name.size()))) {
                    return over_budget;
                }
                ByteReader entry = tree.at(language.offset, data_entry_size);
                const uint32_t data_rva = entry.read_u32();
                const uint32_t data_size = entry.read_u32();
                const uint32_t code_page = entry.read_u32();
                if (!entry.ok()) return damaged("resource data entry");
                const int64_t data_at = image.file_offset(data_rva, data_size);
                total_bytes += data_size;
                if (data_at < 0 || total_bytes > file.size()) return damaged("resource data");
                Resource r{type.id, name.id, language.id.number, code_page,
                           tree.file.copy(static_cast<uint64_t>(data_at), data_size)};
                if (!tree.file.ok()) return damaged("resource data");
                resources.push_back(std::move(r));
            }
        }
    }
    return resources;
}

Result<Bytes> build_resource_section(std::vector<Resource> resources, uint32_t section_rva) {
    const auto key = [](const Resource &r) { return std::tie(r.type, r.name, r.language); };
    std::sort(resources.begin(), resources.end(),
              [&key](const Resource &a, const Resource &b) { return key(a) < key(b); });
    for (size_t i = 1; i < resources.size(); ++i) {
        if (key(resources[i - 1]) == key(resources[i])) {
            return Error{"two resources with the same type, name and language"};
        }
    }
    // Name lengths are 16-bit.
    for (const auto &r : resources) {
        if (r.type.name.size() > UINT16_MAX || r.name.name.size() > UINT16_MAX) return Error{"resource name too long"};
    }

    // The tree, breadth first: the root, one directory per type, one per
    // (type, name). Each directory is a run of resources sharing a prefix.
    std::vector<size_t> type_starts, name_starts;
    for (size_t i = 0; i < resources.size(); ++i) {
        const bool new_type = i == 0 || !(resources[i].type == resources[i - 1].type);
        if (new_type) type_starts.push_back(i);
        if (new_type || !(resources[i].name == resources[i - 1].name)) name_starts.push_back(i);
    }
    // Each directory counts its named and its numbered entries in 16 bits.
    // Names sort before numbers, so each run below is named, then numbered.
    const auto too_many = [](const std::vector<const ResourceId *> &run) {
        const size_t named = std::count_if(run.begin(), run.end(), [](const ResourceId *id) { return id->named; });
        return named > max_entries_per_kind || run.size() - named > max_entries_per_kind;
    };
    {
        std::vector<const ResourceId *> run;
        for (size_t start : type_starts) run.push_back(&resources[start].type);
        if (too_many(run)) return Error{"too many resource types"};
        for (size_t t = 0, n = 0; t < type_starts.size(); ++t) {
            const size_t end = t + 1 < type_starts.size() ? type_starts[t + 1] : resources.size();
            run.clear();
            for (; n < name_starts.size() && name_starts[n] < end; ++n) run.push_back(&resources[name_starts[n]].name);
            if (too_many(run)) return Error{"too many resources of one type"};
        }
        for (size_t n = 0; n < name_starts.size(); ++n) {
            const size_t end = n + 1 < name_starts.size() ? name_starts[n + 1] : resources.size();
            if (end - name_starts[n] > max_entries_per_kind) return Error{"too many languages of one resource"};
        }
    }
    const auto directory_size = [](size_t entries) { return directory_header_size + directory_entry_size * entries; };
    size_t size = directory_size(type_starts.size()) + directory_size(0) * type_starts.size() +
                  directory_size(0) * name_starts.size();
    size += directory_entry_size * (name_starts.size() + resources.size());  // type and name directories' entries
    const size_t data_entries_at = size;
    size += data_entry_size * resources.size();
    const size_t names_at = size;
    for (size_t t = 0; t < type_starts.size(); ++t) {
        const Resource &r = resources[type_starts[t]];
        if (r.type.named) size += 2 + 2 * r.type.name.size();
    }
    for (size_t n = 0; n < name_starts.size(); ++n) {
        const Resource &r = resources[name_starts[n]];
        if (r.name.named) size += 2 + 2 * r.name.name.size();
    }
    size_t data_at = align8(size);
    std::vector<size_t> data_offsets;
    for (const auto &r : resources) {
        data_offsets.push_back(data_at);
        data_at = align8(data_at + r.data.size());
    }
    if (data_at >= high_bit || uint64_t{section_rva} + data_at > UINT32_MAX) {
        return Error{"resources too large for a resource section"};
    }

    Bytes out(data_at, 0);
    size_t next_name = names_at;
    const auto store_id = [&out, &next_name](size_t at, const ResourceId &id) {
        if (!id.named) {
            store_u32(out, at, id.number);
            return;
        }
        store_u32(out, at, high_bit | static_cast<uint32_t>(next_name));
        store_u16(out, next_name, static_cast<uint16_t>(id.name.size()));
        for (size_t i = 0; i < id.name.size(); ++i) store_u16(out, next_name + 2 + 2 * i, id.name[i]);
        next_name += 2 + 2 * id.name.size();
    };

    // Root: one entry per type.
    std::vector<const ResourceId *> ids;
    for (size_t start : type_starts) ids.push_back(&resources[start].type);
    store_directory_header(out, 0, ids);
    size_t next_directory = directory_size(type_starts.size());
    std::vector<size_t> type_directories;
    for (size_t t = 0; t < type_starts.size(); ++t) {
        const size_t entry = directory_header_size + directory_entry_size * t;
        store_id(entry, resources[type_starts[t]].type);
        store_u32(out, entry + 4, high_bit | static_cast<uint32_t>(next_directory));
        const size_t end = t + 1 < type_starts.size() ? type_starts[t + 1] : resources.size();
        const size_t names = std::count_if(name_starts.begin(), name_starts.end(),
                                           [&](size_t s) { return s >= type_starts[t] && s < end; });
        type_directories.push_back(next_directory);
        next_directory += directory_size(names);
    }
    // Type directories: one entry per name; then name directories: one
    // entry per language.
    std::vector<size_t> name_directories;
    size_t n = 0;
    for (size_t t = 0; t < type_starts.size(); ++t) {
        const size_t end = t + 1 < type_starts.size() ? type_starts[t + 1] : resources.size();
        ids.clear();
        for (size_t k = n; k < name_starts.size() && name_starts[k] < end; ++k) {
            ids.push_back(&resources[name_starts[k]].name);
        }
        store_directory_header(out, type_directories[t], ids);
        for (size_t k = 0; k < ids.size(); ++k, ++n) {
            const size_t entry = type_directories[t] + directory_header_size + directory_entry_size * k;
            store_id(entry, *ids[k]);
            store_u32(out, entry + 4, high_bit | static_cast<uint32_t>(next_directory));
            const size_t name_end = n + 1 < name_starts.size() ? name_starts[n + 1] : resources.size();
            name_directories.push_back(next_directory);
            next_directory += directory_size(name_end - name_starts[n]);
        }
    }
    for (n = 0; n < name_starts.size(); ++n) {
        const size_t name_end = n + 1 < name_starts.size() ? name_starts[n + 1] : resources.size();
        store_u16(out, name_directories[n] + 14, static_cast<uint16_t>(name_end - name_starts[n]));
        for (size_t i = name_starts[n]; i < name_end; ++i) {
            const size_t entry =
                name_directories[n] + directory_header_size + directory_entry_size * (i - name_starts[n]);
            store_u32(out, entry, resources[i].language);
            store_u32(out, entry + 4, static_cast<uint32_t>(data_entries_at + data_entry_size * i));
        }
    }
    for (size_t i = 0; i < resources.size(); ++i) {
        const size_t entry = data_entries_at + data_entry_size * i;
        store_u32(out, entry, section_rva + static_cast<uint32_t>(data_offsets[i]));
        store_u32(out, entry + 4, static_cast<uint32_t>(resources[i].data.size()));
        store_u32(out, entry + 8, resources[i].code_page);
        std::copy(resources[i].data.begin(), resources[i].data.end(), out.begin() + data_offsets[i]);
    }
    return out;
}

}  // namespace tavrik
