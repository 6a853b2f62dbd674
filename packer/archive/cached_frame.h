#pragma once
// The cached-mode frame of format/cached_settings.h as the packer writes
// and reads it: the location spec, the program's folder and the list of
// names and sizes a warm start checks.

#include <string>
#include <utility>
#include <vector>

#include "packer/archive/archive.h"
#include "packer/base/byte_io.h"
#include "packer/base/result.h"

namespace tavrik {

struct CachedMode {
    bool enabled = false;
    std::u16string spec;     // where builds go, as the launcher expands it
    std::u16string program;  // the program's folder below it
};

// The settings frame for `entries` (names and sizes in archive order).
// Refuses an entry named like the completion marker.
Result<Bytes> cached_settings_frame(const CachedMode &mode, const std::vector<ArchiveEntry> &entries);

// What a packed file's settings frame says.
struct CachedSettingsView {
    std::u16string spec;
    std::u16string program;
    std::vector<std::pair<std::u16string, uint64_t>> files;
};
// Reads a settings frame's content (as packed_format's layout finds it).
Result<CachedSettingsView> read_cached_settings(const Bytes &content);

}  // namespace tavrik
