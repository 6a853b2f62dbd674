#pragma once
// Command-line parsing, kept apart from the work so usage errors are
// reported before any file is touched.

#include <filesystem>
#include <string>
#include <vector>

#include "packer/frame.h"
#include "packer/result.h"

namespace tavrik {

enum class Command { help, pack, list };

struct PackOptions {
    Command command = Command::help;
    std::filesystem::path output;
    std::filesystem::path stub;  // empty: look in the default places
    int level = default_level;
    int threads = 0;
    std::filesystem::path app_dll;              // pack: APP.dll
    std::vector<std::filesystem::path> inputs;  // pack: FILE|DIR ...
    std::filesystem::path packed;               // list: the packed executable
};

// `args` excludes the program name.
Result<PackOptions> parse_pack_options(const std::vector<std::string> &args);

extern const char usage_text[];

}  // namespace tavrik
