#pragma once
// Turning the command line's APP.dll and FILE/DIR arguments into archive
// entries, in a deterministic order.

#include <filesystem>
#include <vector>

#include "packer/archive/archive.h"
#include "packer/base/result.h"

namespace tavrik {

// The application DLL comes first, under its file name. A FILE is added
// under its file name; a DIR contributes every regular file below it,
// named by its path relative to DIR with "\" between components. All but
// the first are sorted by name, compared as UTF-16 code units, so the order
// depends neither on the command line nor on the file system. Empty
// directories add nothing. Names are not checked here (see write_archive).
// When `output` is given and exists, a file to be read that is the same file
// (by identity, whatever the spelling or links) is refused before anything
// is read: packing would overwrite its own input.
// When `walked` is given, every file read and every directory listed is
// appended to it (for a depfile), spelt from the paths given.
Result<std::vector<ArchiveEntry>> collect_entries(const std::filesystem::path &app_dll,
                                                  const std::vector<std::filesystem::path> &inputs,
                                                  const std::filesystem::path &output = {},
                                                  std::vector<std::filesystem::path> *walked = nullptr);

}  // namespace tavrik
