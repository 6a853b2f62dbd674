// The archive reader the commands use (read_archive, fed from memory by
// parse_archive) and the name checks behind list, verify and extract, on
// arbitrary archive bytes; and the record parser driven as the launcher
// drives it, and in pieces of other sizes, which must read every archive as
// the commands' reader does.

#include <cstring>

#include "format/archive_records.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

using archive_records::Contents;
using archive_records::Event;
using archive_records::RecordParser;
using tavrik::ArchiveEntry;
using tavrik::Bytes;

struct Walk {
    bool whole = false;  // read to the end record, and nothing after it
    std::vector<ArchiveEntry> entries;
    std::vector<uint64_t> sizes;
};

// As launcher/archive.cpp walks: exact reads of what the parser wants into
// a small chunk, each name into a buffer of max_name_units + 1 units, no
// byte read past the end record; the frame must end there (the launcher's
// last check), and a read that finds too few bytes fails the walk.
Walk walk_as_launcher(const Bytes &archive, Contents contents) {
    RecordParser records(contents);
    char16_t name[archive_records::max_name_units + 1];
    size_t length = 0;
    uint8_t chunk[61];
    size_t at = 0;
    Walk walk;
    for (;;) {
        switch (records.next()) {
        case Event::need_input: {
            const uint64_t wanted = records.wanted();
            if (wanted == 0) fuzz::broken("the parser asks for input but wants none");
            const size_t n = static_cast<size_t>(std::min<uint64_t>(wanted, sizeof chunk));
            if (archive.size() - at < n) return walk;
            std::memcpy(chunk, archive.data() + at, n);
            records.feed(chunk, n);
            at += n;
            break;
        }
        case Event::name_unit:
            if (length == archive_records::max_name_units) fuzz::broken("a name unit past the launcher's buffer");
            name[length++] = static_cast<char16_t>(records.unit());
            break;
        case Event::name_end:
            if (length == 0 || records.name_units() != length) fuzz::broken("a name ends with a wrong length");
            walk.entries.push_back({std::u16string(name, length), {}});
            length = 0;
            break;
        case Event::size: walk.sizes.push_back(records.size()); break;
        case Event::content:
            if (records.content_length() == 0) fuzz::broken("an empty piece of content");
            walk.entries.back().content.insert(walk.entries.back().content.end(), records.content(),
                                               records.content() + records.content_length());
            break;
        case Event::record_end:
            if (contents == Contents::follow && walk.entries.back().content.size() != walk.sizes.back())
                fuzz::broken("a record ends before its size");
            break;
        case Event::archive_end:
            walk.whole = at == archive.size();
            return walk;
        case Event::failed: return walk;
        }
    }
}

// The bytes fed `piece` at a time, whatever the parser wants.
Walk walk_in_pieces(const Bytes &archive, size_t piece, Contents contents) {
    RecordParser records(contents);
    std::u16string name;
    size_t at = 0;
    Walk walk;
    for (;;) {
        switch (records.next()) {
        case Event::need_input: {
            if (at == archive.size()) {
                walk.whole = records.finish() == archive_records::Error::none;
                return walk;
            }
            const size_t n = std::min(piece, archive.size() - at);
            records.feed(archive.data() + at, n);
            at += n;
            break;
        }
        case Event::name_unit: name.push_back(static_cast<char16_t>(records.unit())); break;
        case Event::name_end:
            walk.entries.push_back({name, {}});
            name.clear();
            break;
        case Event::size: walk.sizes.push_back(records.size()); break;
        case Event::content:
            walk.entries.back().content.insert(walk.entries.back().content.end(), records.content(),
                                               records.content() + records.content_length());
            break;
        case Event::record_end: break;
        case Event::archive_end: break;
        case Event::failed: return walk;
        }
    }
}

bool same_entries(const std::vector<ArchiveEntry> &a, const std::vector<ArchiveEntry> &b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (a[i].name != b[i].name || a[i].content != b[i].content) return false;
    return true;
}

// The names and sizes of `entries` as a list without content.
Bytes list_of(const std::vector<ArchiveEntry> &entries) {
    Bytes list;
    for (const auto &entry : entries) {
        const size_t at = list.size();
        list.resize(at + static_cast<size_t>(archive_records::header_bytes(entry.name.size())));
        archive_records::write_header(list.data() + at, entry.name.data(), entry.name.size(), entry.content.size());
    }
    list.resize(list.size() + archive_records::end_record_bytes);
    archive_records::write_end_record(list.data() + list.size() - archive_records::end_record_bytes);
    return list;
}

void check_walks(const Bytes &archive) {
    const auto parsed = tavrik::parse_archive(archive);
    const Walk launcher = walk_as_launcher(archive, Contents::follow);
    if (launcher.whole != static_cast<bool>(parsed)) fuzz::broken("the launcher's walk and read_archive disagree");
    // Byte by byte only for small inputs: large ones would cost the fuzzer
    // most of its runs, and a piece of 3 splits units and sizes as well.
    for (size_t piece : {size_t{1}, size_t{3}, archive.size() + 1}) {
        if (piece == 1 && archive.size() > 4096) continue;
        const Walk pieces = walk_in_pieces(archive, piece, Contents::follow);
        if (pieces.whole != launcher.whole) fuzz::broken("a split of the input changes whether it reads whole");
        if (pieces.whole && !same_entries(pieces.entries, launcher.entries))
            fuzz::broken("a split of the input changes the records");
    }
    if (!parsed) return;
    if (!same_entries(launcher.entries, *parsed)) fuzz::broken("the launcher's walk reads other records");
    // The same names and sizes as a list, read without content.
    const Walk list = walk_as_launcher(list_of(*parsed), Contents::absent);
    if (!list.whole || list.sizes != launcher.sizes || list.entries.size() != parsed->size())
        fuzz::broken("a list of names and sizes does not read back");
    for (size_t i = 0; i < list.entries.size(); ++i)
        if (list.entries[i].name != (*parsed)[i].name || !list.entries[i].content.empty())
            fuzz::broken("a list of names and sizes reads other names");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const Bytes archive(data, data + size);
    fuzz::check_archive(archive);
    check_walks(archive);
    return 0;
}
