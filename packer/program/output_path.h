#pragma once
// What can be wrong with the path pack writes to, found before any work is
// done, so that the refusal names the path the user gave rather than the
// temporary file the output is first written to.

#include <filesystem>

#include "packer/base/result.h"

namespace tavrik {

// Refuses an output whose directory does not exist or is not a directory,
// and an existing output that is not a regular file (a directory, a FIFO,
// a device, a socket): replacing it would not do what was meant. A link is
// judged by what it leads to; the output replaces the link itself. `role`
// names the path in the refusal ("output", "depfile").
Status check_output_path(const std::filesystem::path &output, const char *role = "output");

}  // namespace tavrik
