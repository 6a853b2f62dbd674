#pragma once
// Turning the command line's APP.dll and FILE/DIR arguments into archive
// entries, in a deterministic order.

#include <filesystem>
#include <vector>

#include "packer/archive.h"
#include "packer/result.h"

namespace tavrik {

// The application DLL comes first, under its file name. A FILE is added
// under its file name; a DIR contributes every regular file below it,
// named by its path relative to DIR with "\" between components, sorted by
// name. Empty directories add nothing.
Result<std::vector<ArchiveEntry>> collect_entries(const std::filesystem::path &app_dll,
                                                  const std::vector<std::filesystem::path> &inputs);

}  // namespace tavrik
