#pragma once
// The whole pipeline in both directions: entries -> archive -> frame ->
// attached data -> executable, and back.

#include <vector>

#include "packer/archive/archive.h"
#include "packer/archive/frame.h"
#include "packer/base/byte_io.h"
#include "packer/base/result.h"

namespace tavrik {

Result<Bytes> pack_executable(const Bytes &stub, const std::vector<ArchiveEntry> &entries, int level,
                              int threads, int window_log = default_window_log);

Result<std::vector<ArchiveEntry>> unpack_executable(const Bytes &exe);

}  // namespace tavrik
