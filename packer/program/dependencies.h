#pragma once
// The DLLs a packed program needs and does not have: every packed image's
// imports, normal and delay-loaded, against what is packed and what Windows
// provides.

#include <string>
#include <vector>

#include "packer/archive/archive.h"
#include "packer/base/result.h"

namespace tavrik {

// `entries`: the archive's files, the application first. Each file that is
// a PE32+ x86-64 image is read for the DLLs it imports; each of those must
// be a system DLL (is_system_dll), packed at the top of the archive or
// beside the importing file (where the launcher's loader looks), or named
// in `allowed` (ignoring case). The refusal names the first DLL missing:
// "application "app.dll" imports "helper.dll", which is not packed; ...",
// with a hint for the MinGW runtime DLLs, then how many more are missing.
// The application must be a readable image; other files that are not are
// data, not checked.
Result<bool> check_dependencies(const std::vector<ArchiveEntry> &entries, const std::vector<std::string> &allowed);

}  // namespace tavrik
