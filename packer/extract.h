#pragma once
// Writing a packed executable's files into a directory, for inspection.

#include <filesystem>
#include <vector>

#include "packer/archive.h"
#include "packer/result.h"

namespace tavrik {

// Checks every name first (check_entries), so nothing is written for an
// archive with an unsafe name; a name can then only lead below `directory`.
// Refuses a `directory` that exists and is not empty unless `force`, and
// never writes through a symbolic link found below it. Returns the number
// of files written.
Result<size_t> extract_entries(const std::vector<ArchiveEntry> &entries, const std::filesystem::path &directory,
                               bool force);

}  // namespace tavrik
