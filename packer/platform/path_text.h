#pragma once
// Paths as text: for messages here, to and from UTF-8 in
// packer/platform/platform.h (the conversions differ between systems).

#include <filesystem>
#include <string>

#include "packer/platform/platform.h"

namespace tavrik {

// For messages, in double quotes: never fails; control characters and
// what does not convert are escaped (see `printable`).
std::string shown_path(const std::filesystem::path &path);

}  // namespace tavrik
