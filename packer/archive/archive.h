#pragma once
// The uncompressed archive: records of (UTF-16LE name, zero unit, u64 LE
// size, content) back to back, closed by a lone zero unit. Names are
// relative, use "\" between components, and the first record is the
// application DLL.

#include <functional>
#include <string>
#include <vector>

#include "packer/base/byte_io.h"
#include "packer/base/result.h"

namespace tavrik {

struct ArchiveEntry {
    std::u16string name;
    Bytes content;
};

// Refuses what the launcher could not extract safely: no entry at all, and
// any name that `names_problem` (packer/archive/names.h) objects to. Entries are
// written in the order given.
Result<Bytes> write_archive(const std::vector<ArchiveEntry> &entries);

// Told about each record of an archive as it is read.
class ArchiveVisitor {
public:
    virtual ~ArchiveVisitor() = default;
    // A record's name and declared size, before any of its content.
    virtual Status begin_file(const std::u16string &name, uint64_t size) = 0;
    // The content in pieces, `size` bytes in all.
    virtual Status file_bytes(const uint8_t *data, size_t size);
    virtual Status end_file();
};

// Keeps every record whole: for archives known to be small (tests and
// fuzzers read back what they packed so). Reserves no more for a record than
// `size_bound`, whatever size it declares.
class ArchiveCollector : public ArchiveVisitor {
public:
    explicit ArchiveCollector(uint64_t size_bound) : size_bound_(size_bound) {}
    Status begin_file(const std::u16string &name, uint64_t size) override;
    Status file_bytes(const uint8_t *data, size_t size) override;
    std::vector<ArchiveEntry> entries;

private:
    uint64_t size_bound_;
};

// Fills `buffer` with up to `capacity` bytes of the archive and returns how
// many; 0 only at its end.
using ArchiveSource = std::function<Result<size_t>(uint8_t *buffer, size_t capacity)>;

// Strict streaming reader: every record must be complete, the end record
// must be present and nothing may follow it. Holds one record's name (a
// name longer than max_name_units is refused as soon as it ends) and a
// fixed buffer, whatever the sizes of the files. Stops at the first error,
// its own or the visitor's.
Status read_archive(const ArchiveSource &source, ArchiveVisitor &visitor);

// The same over an archive in memory, keeping every entry.
Result<std::vector<ArchiveEntry>> parse_archive(const Bytes &archive);

// Names and contents of the entries, with every name checked as
// `write_archive` checks them; for reading archives of unknown origin.
Status check_entries(const std::vector<ArchiveEntry> &entries);

}  // namespace tavrik
