#include "packer/archive.h"

#include <set>

#include "packer/utf.h"

namespace tavrik {

namespace {

std::string printable(const std::u16string &name) {
    auto utf8 = utf16_to_utf8(name);
    return utf8 ? "\"" + *utf8 + "\"" : std::string("(unprintable name)");
}

std::u16string ascii_folded(const std::u16string &name) {
    std::u16string folded = name;
    for (auto &unit : folded) {
        if (unit >= u'A' && unit <= u'Z') unit = static_cast<char16_t>(unit - u'A' + u'a');
    }
    return folded;
}

}  // namespace

std::string archive_name_problem(const std::u16string &name) {
    if (name.empty()) return "empty name";
    size_t start = 0;
    while (true) {
        const size_t end = name.find(u'\\', start);
        const std::u16string part =
            name.substr(start, end == std::u16string::npos ? std::u16string::npos : end - start);
        if (part.empty()) return "empty path component in " + printable(name);
        if (part == u"." || part == u"..") return "\".\" or \"..\" component in " + printable(name);
        if (end == std::u16string::npos) break;
        start = end + 1;
    }
    for (char16_t unit : name) {
        if (unit == 0) return "zero character in a name";
        if (unit == u'/' || unit == u':') return "\"/\" or \":\" in " + printable(name);
    }
    return "";
}

Result<Bytes> write_archive(const std::vector<ArchiveEntry> &entries) {
    if (entries.empty()) return Error{"nothing to pack"};
    std::set<std::u16string> seen;
    uint64_t total = 2;
    for (const auto &entry : entries) {
        const std::string problem = archive_name_problem(entry.name);
        if (!problem.empty()) return Error{problem};
        if (!seen.insert(ascii_folded(entry.name)).second) {
            return Error{"two files would be packed as " + printable(entry.name)};
        }
        total += 2 * (entry.name.size() + 1) + 8 + entry.content.size();
    }

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
            return Error{"record " + printable(entry.name) + " runs past the end of the archive"};
        }
        entry.content.assign(archive.begin() + at, archive.begin() + at + size);
        at += size;
        entries.push_back(std::move(entry));
    }
    if (at != archive.size()) return Error{"data after the archive's end record"};
    return entries;
}

}  // namespace tavrik
