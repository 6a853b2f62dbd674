#pragma once
// Whole-file reads and writes through C stdio (_wfopen on Windows): the
// toolchain's libstdc++ was built for msvcrt, and its file streams crash
// under the Universal CRT the Windows build links.

#include <filesystem>

#include "packer/byte_io.h"
#include "packer/result.h"

namespace tavrik {

Result<Bytes> read_whole_file(const std::filesystem::path &path);

// Creates or truncates `path` and writes `content`.
Result<bool> write_whole_file(const std::filesystem::path &path, const Bytes &content);

// Writes `path` + ".tmp", then renames it over `path`.
Result<bool> write_file_replacing(const std::filesystem::path &path, const Bytes &content);

}  // namespace tavrik
