#pragma once
// Command-line parsing, kept apart from the work so usage errors are
// reported before any file is touched.

#include <filesystem>
#include <string>
#include <vector>

#include "packer/archive/frame.h"
#include "packer/base/result.h"
#include "packer/program/identity.h"

namespace tavrik {

enum class Command { help, pack, list, verify, extract };

struct PackOptions {
    Command command = Command::help;
    Command help_topic = Command::help;  // help: which command (help = all)
    std::filesystem::path output;        // pack: OUT.exe; extract: DIR
    std::filesystem::path stub;          // empty: look in the default places
    std::filesystem::path depfile;       // pack: where to write the build rule (empty: nowhere)
    int level = default_level;
    int window_log = default_window_log;  // the frame's window: 2^window_log bytes
    int threads = 0;                     // 0: one per processor
    bool force = false;                  // extract: write into a non-empty DIR
    std::filesystem::path app_dll;              // pack: APP.dll
    std::vector<std::filesystem::path> inputs;  // pack: FILE|DIR ...
    std::filesystem::path packed;               // list, verify, extract
    IdentityOptions identity;                   // pack: icon, version, subsystem, level
};

// `args` excludes the program name.
Result<PackOptions> parse_pack_options(const std::vector<std::string> &args);

// The help text for one command, or for all of them (Command::help).
const char *help_text(Command topic);

}  // namespace tavrik
