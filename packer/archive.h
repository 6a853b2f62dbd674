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

// Refuses names the launcher could not extract safely: empty, containing a
// zero unit, "/" or ":", empty components, "." or "..", and two names that
// differ only in ASCII case (they would collide on a Windows file system).
Result<Bytes> write_archive(const std::vector<ArchiveEntry> &entries);

// Strict reader: every record must be complete, the end record must be
// present and nothing may follow it.
Result<std::vector<ArchiveEntry>> parse_archive(const Bytes &archive);

// The reason `name` is not acceptable in an archive, or "" when it is.
std::string archive_name_problem(const std::u16string &name);

}  // namespace tavrik
