#pragma once
// The uncompressed archive: records of (UTF-16LE name, zero unit, u64 LE
// size, content) back to back, closed by a lone zero unit. Names are
// relative, use "\" between components, and the first record is the
// application DLL.

#include <string>
#include <vector>

#include "packer/byte_io.h"
#include "packer/result.h"

namespace tavrik {

struct ArchiveEntry {
    std::u16string name;
    Bytes content;
};

// Refuses what the launcher could not extract safely: no entry at all, and
// any name that `names_problem` (packer/names.h) objects to. Entries are
// written in the order given.
Result<Bytes> write_archive(const std::vector<ArchiveEntry> &entries);

// Strict reader: every record must be complete, the end record must be
// present and nothing may follow it.
Result<std::vector<ArchiveEntry>> parse_archive(const Bytes &archive);

// Names and contents of the entries, with every name checked as
// `write_archive` checks them; for reading archives of unknown origin.
Result<bool> check_entries(const std::vector<ArchiveEntry> &entries);

}  // namespace tavrik
