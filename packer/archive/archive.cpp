#include "packer/archive/archive.h"

#include <algorithm>
#include <memory>

#include "format/archive_records.h"
#include "packer/archive/names.h"

namespace tavrik {

namespace {

constexpr size_t read_buffer_size = size_t{1} << 16;

// The packer's words for what the record parser refuses; `name` is the
// name read so far (its first max_name_units units).
std::string record_problem(const archive_records::RecordParser &records, const std::u16string &name) {
    using archive_records::Error;
    switch (records.error()) {
    case Error::none: break;
    case Error::ends_before_end_record: return "archive ends without its end record";
    case Error::ends_inside_name: return "archive ends inside a name";
    case Error::name_too_long: return long_name_problem(name, records.name_units());
    case Error::ends_inside_size: return "archive ends inside a size";
    case Error::ends_inside_content: return "record " + shown_name(name) + " runs past the end of the archive";
    case Error::data_after_end_record: return "data after the archive's end record";
    }
    return "archive records are damaged";
}

}  // namespace

Status ArchiveVisitor::file_bytes(const uint8_t *, size_t) { return Status::done(); }

Status ArchiveVisitor::end_file() { return Status::done(); }

Status ArchiveCollector::begin_file(const std::u16string &name, uint64_t size) {
    entries.push_back({name, {}});
    // A declared size is not trusted further than the bound.
    entries.back().content.reserve(static_cast<size_t>(std::min<uint64_t>(size, size_bound_)));
    return Status::done();
}

Status ArchiveCollector::file_bytes(const uint8_t *data, size_t size) {
    entries.back().content.insert(entries.back().content.end(), data, data + size);
    return Status::done();
}

Status check_entries(const std::vector<ArchiveEntry> &entries) {
    std::vector<std::u16string> names;
    names.reserve(entries.size());
    for (const auto &entry : entries) names.push_back(entry.name);
    const std::string problem = names_problem(names);
    if (!problem.empty()) return Error{problem};
    return Status::done();
}

Result<Bytes> write_archive(const std::vector<ArchiveEntry> &entries) {
    auto checked = check_entries(entries);
    if (!checked) return Error{checked.error()};
    uint64_t total = archive_records::end_record_bytes;
    for (const auto &entry : entries) total += archive_records::header_bytes(entry.name.size()) + entry.content.size();

    Bytes out(static_cast<size_t>(total));
    uint8_t *at = out.data();
    for (const auto &entry : entries) {
        at += archive_records::write_header(at, entry.name.data(), entry.name.size(), entry.content.size());
        at = std::copy(entry.content.begin(), entry.content.end(), at);
    }
    archive_records::write_end_record(at);
    return out;
}

Status read_archive(const ArchiveSource &source, ArchiveVisitor &visitor) {
    using archive_records::Event;
    const std::unique_ptr<uint8_t[]> buffer(new uint8_t[read_buffer_size]);
    archive_records::RecordParser records;
    std::u16string name;
    for (;;) {
        switch (records.next()) {
        case Event::need_input: {
            auto got = source(buffer.get(), read_buffer_size);
            if (!got) return Error{got.error()};
            const size_t n = std::min(*got, read_buffer_size);
            if (n == 0) {
                if (records.finish() != archive_records::Error::none) return Error{record_problem(records, name)};
                return Status::done();
            }
            records.feed(buffer.get(), n);
            break;
        }
        case Event::name_unit: name.push_back(static_cast<char16_t>(records.unit())); break;
        case Event::name_end: break;
        case Event::size: {
            auto told = visitor.begin_file(name, records.size());
            if (!told) return told;
            break;
        }
        case Event::content: {
            auto told = visitor.file_bytes(records.content(), records.content_length());
            if (!told) return told;
            break;
        }
        case Event::record_end: {
            auto told = visitor.end_file();
            if (!told) return told;
            name.clear();
            break;
        }
        case Event::archive_end: break;
        case Event::failed: return Error{record_problem(records, name)};
        }
    }
}

Result<std::vector<ArchiveEntry>> parse_archive(const Bytes &archive) {
    size_t at = 0;
    const ArchiveSource source = [&](uint8_t *buffer, size_t capacity) -> Result<size_t> {
        const size_t n = std::min(capacity, archive.size() - at);
        std::copy(archive.begin() + at, archive.begin() + at + n, buffer);
        at += n;
        return n;
    };
    ArchiveCollector collector(archive.size());
    auto read = read_archive(source, collector);
    if (!read) return Error{read.error()};
    return std::move(collector.entries);
}

}  // namespace tavrik
