#pragma once
// Whole-file reads and an output write that never leaves a half-written
// file under the final name.

#include <filesystem>

#include "packer/byte_io.h"
#include "packer/result.h"

namespace tavrik {

Result<Bytes> read_whole_file(const std::filesystem::path &path);

// Writes `path` + ".tmp", then renames it over `path`.
Result<bool> write_file_replacing(const std::filesystem::path &path, const Bytes &content);

}  // namespace tavrik
