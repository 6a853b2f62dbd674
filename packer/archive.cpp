#include "packer/archive.h"

#include "packer/names.h"

namespace tavrik {

Result<bool> check_entries(const std::vector<ArchiveEntry> &entries) {
    std::vector<std::u16string> names;
    names.reserve(entries.size());
    for (const auto &entry : entries) names.push_back(entry.name);
    const std::string problem = names_problem(names);
    if (!problem.empty()) return Error{problem};
    return true;
}

Result<Bytes> write_archive(const std::vector<ArchiveEntry> &entries) {
    auto checked = check_entries(entries);
    if (!checked) return Error{checked.error()};
    uint64_t total = 2;
    for (const auto &entry : entries) total += 2 * (entry.name.size() + 1) + 8 + entry.content.size();

    Bytes out;
    out.reserve(total);
    for (const auto &entry : entries) {
        for (char16_t unit : entry.name) append_u16(out, unit);
        append_u16(out, 0);
        append_u64(out, entry.content.size());
        out.insert(out.end(), entry.content.begin(), entry.content.end());
    }
    append_u16(out, 0);
    return out;
}

Result<std::vector<ArchiveEntry>> parse_archive(const Bytes &archive) {
    std::vector<ArchiveEntry> entries;
    size_t at = 0;
    while (true) {
        if (!range_fits(archive.size(), at, 2)) return Error{"archive ends without its end record"};
        if (load_u16(archive, at) == 0) {
            at += 2;
            break;
        }
        ArchiveEntry entry;
        while (true) {
            if (!range_fits(archive.size(), at, 2)) return Error{"archive ends inside a name"};
            const char16_t unit = load_u16(archive, at);
            at += 2;
            if (unit == 0) break;
            entry.name.push_back(unit);
        }
        if (!range_fits(archive.size(), at, 8)) return Error{"archive ends inside a size"};
        const uint64_t size = load_u64(archive, at);
        at += 8;
        if (!range_fits(archive.size(), at, size)) {
            return Error{"record " + shown_name(entry.name) + " runs past the end of the archive"};
        }
        entry.content.assign(archive.begin() + at, archive.begin() + at + size);
        at += size;
        entries.push_back(std::move(entry));
    }
    if (at != archive.size()) return Error{"data after the archive's end record"};
    return entries;
}

}  // namespace tavrik
