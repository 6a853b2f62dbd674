#pragma once
// Packing, the one way: entries -> archive -> frame -> attached data -> the
// launcher with one more section. `tavrik-pack pack` comes here once it has
// checked its stub (check_launcher_stub) and given it the program's
// identity; the tests pack the same way. Reading back is PackedFile's.

#include <vector>

#include "packer/archive/archive.h"
#include "packer/archive/cached_frame.h"
#include "packer/archive/frame.h"
#include "packer/base/byte_io.h"
#include "packer/base/result.h"

namespace tavrik {

// Told how packing goes, for the progress line.
class PackProgress {
public:
    virtual ~PackProgress() = default;
    // The archive is written; compression starts.
    virtual void archive_written(uint64_t archive_size) = 0;
    // Now and then while compressing (see FrameProgress).
    virtual void compressing(uint64_t read, uint64_t compressed, uint64_t produced) = 0;
    // The frame is whole.
    virtual void frame_done(uint64_t frame_size) = 0;
};

// `launcher` is a stub check_launcher_stub accepted, its identity applied.
// Refuses names verify and extract would not read back from a file of the
// packed size (names_budget_problem).
// The entries are dropped once the archive holds them, so that their bytes
// are not held twice while compressing. With `cached` enabled the settings
// frame of cached mode follows the archive's frame.
Result<Bytes> pack_executable(const Bytes &launcher, std::vector<ArchiveEntry> entries, int level, int threads,
                              int window_log = default_window_log, PackProgress *progress = nullptr,
                              const CachedMode &cached = CachedMode());

}  // namespace tavrik
