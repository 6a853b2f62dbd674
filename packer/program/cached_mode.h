#pragma once
// Cached mode: the program is unpacked once into a folder of its own below
// a location given as a path spec, and later starts run from there. The
// packer checks the spec, names the program's folder and writes the
// settings frame of format/cached_settings.h.

#include <string>
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

// The spec as the launcher will read it ("/" becomes "\"), or why it can
// name no folder that stays the same from one start to the next: a
// placeholder that changes with every start ({PID}, {TIME_US}, {RANDOM},
// {TIME}) or names the executable itself ({PROGRAM}), an unknown or unclosed
// placeholder, a relative path, a "." or ".." component, or a character no
// folder name holds.
Result<std::u16string> check_cache_spec(const std::string &spec);

// The program's folder name: the output's name without ".exe", made safe
// for a file name, then "-" and 12 hexadecimal digits of a SHA-256 over the
// output name (lower case), CompanyName and ProductName. Two programs share
// a folder only when all three agree.
std::u16string program_folder_name(const std::u16string &output_name, const std::u16string &company,
                                   const std::u16string &product);

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
