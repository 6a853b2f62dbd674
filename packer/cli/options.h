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

enum class Command { help, version, pack, list, verify, extract };

// pack --add SRC DEST: SRC (a file or a directory) placed at DEST inside the
// archive.
struct Placement {
    std::filesystem::path source;
    std::string destination;  // as given, UTF-8; checked by collect_entries
};

struct PackOptions {
    Command command = Command::help;
    Command help_topic = Command::help;  // help: which command (help = all)
    std::filesystem::path output;        // pack: OUT.exe (-o)
    std::filesystem::path directory;     // extract: DIR (-o)
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
    // pack: where files go and which are left out.
    std::vector<Placement> placements;    // --add SRC DEST, in the order given
    std::vector<std::string> excludes;    // --exclude PATTERN, UTF-8
    bool default_excludes = true;         // cleared by --no-default-excludes
    std::vector<std::string> allow_missing;  // --allow-missing NAME: imported DLLs not packed on purpose
    std::vector<std::filesystem::path> dll_paths;  // --dll-path DIR: where imported DLLs are looked up, in order
    bool dry_run = false;                 // pack --dry-run: show what would be packed, write nothing
    bool quiet = false;                   // pack, extract: no summary line, no progress
    bool json = false;                    // list --json
    bool cached = false;                  // pack --cache or --cache-dir: cached mode
    std::u16string cache_spec;            // --cache-dir, as check_cache_spec gives it; empty: the default
};

// "tavrik-pack 1.2.3", the line --version prints.
std::string version_line();

// `args` excludes the program name. No arguments at all is the help.
Result<PackOptions> parse_pack_options(const std::vector<std::string> &args);

// The help text for one command, or for all of them (Command::help).
const char *help_text(Command topic);

}  // namespace tavrik
