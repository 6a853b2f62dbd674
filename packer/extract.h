#pragma once
// Writing a packed executable's files into a directory, for inspection.

#include <filesystem>

#include "packer/packed_file.h"
#include "packer/result.h"

namespace tavrik {

// Reads the archive twice. First whole, checking the digest, the structure
// and every name (check_entries), so that nothing is written for damaged
// content or an unsafe name; a name can then only lead below `directory`.
// Then again, writing each file as it is decoded, through ExtractDirectory
// (packer/safe_files.h: no link followed, --force replaces files). Holds the
// names and the decoder's window, never a file's content. Returns the
// number of files written.
Result<size_t> extract_packed(const PackedFile &packed, const std::filesystem::path &directory, bool force);

}  // namespace tavrik
