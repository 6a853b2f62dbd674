#pragma once
// Paths to and from UTF-8 text without std::filesystem's own conversions.
// On Windows those go through std::codecvt, whose instances in the
// toolchain's libstdc++ do not link against the Universal CRT headers; on
// Linux a path already is its bytes.

#include <filesystem>
#include <string>

#include "packer/result.h"

namespace tavrik {

Result<std::filesystem::path> path_from_utf8(const std::string &text);
Result<std::string> path_to_utf8(const std::filesystem::path &path);

// For messages, in double quotes: never fails; control characters and
// what does not convert are escaped (see `printable`).
std::string shown_path(const std::filesystem::path &path);

// A path from plain ASCII text (fixed file names and suffixes).
std::filesystem::path ascii_path(const char *text);

}  // namespace tavrik
