#include "packer/cli/options.h"

#include <cctype>
#include <cstdlib>
#include <initializer_list>

#include "packer/archive/names.h"
#include "packer/base/utf.h"
#include "packer/pe/manifest.h"
#include "packer/platform/path_text.h"
#include "packer/program/cached_mode.h"

namespace tavrik {

namespace {

const char pack_help[] =
    "usage: tavrik-pack pack -o OUT.exe [--stub STUB.exe] [--level N | --fast]\n"
    "                        [--window-log N] [--threads N] [--add SRC DEST]...\n"
    "                        [--exclude PATTERN]...\n"
    "                        [--no-default-excludes] [--dll-path DIR]...\n"
    "                        [--allow-missing DLL]...\n"
    "                        [--dry-run] [--quiet] [--depfile FILE]\n"
    "                        [--cache | --cache-dir SPEC] [IDENTITY OPTIONS]\n"
    "                        APP.dll [FILE|DIR ...]\n"
    "\n"
    "Writes OUT.exe: the launcher stub with APP.dll and the given files\n"
    "attached. APP.dll (a 64-bit DLL exporting run_code) is the first file;\n"
    "a FILE keeps its file name, a DIR contributes every file below it under\n"
    "its path relative to DIR. All but APP.dll are stored sorted by name.\n"
    "Prints one summary line when done.\n"
    "\n"
    "  -o OUT.exe      the executable to write (replaced only on success)\n"
    "  --stub STUB     the launcher stub (default: tavrik-launcher.exe beside\n"
    "                  tavrik-pack, then in ../windows, then in ../share/tavrik)\n"
    "  --level N       zstd level 1-22 (default 19: small, slow)\n"
    "  --fast          zstd level 3, for development builds\n"
    "  --window-log N  decoding window of 2^N bytes, 10-27 (default 21: 2 MiB);\n"
    "                  a larger window packs a little smaller, but the program\n"
    "                  starts slower and needs more memory while unpacking\n"
    "  --threads N     compression threads, 1-256 (default: one per processor);\n"
    "                  the output is the same for every N\n"
    "  --quiet, -q     no summary line and no progress\n"
    "  --depfile FILE  after packing, write FILE: a Makefile rule naming OUT.exe\n"
    "                  and every file and directory read (for make, Ninja and\n"
    "                  CMake's DEPFILE), so that a file added to a directory,\n"
    "                  removed or renamed makes the build pack again\n"
    "\n"
    "How it starts (default: unpack into a fresh temporary folder every run,\n"
    "delete it afterwards):\n"
    "  --cache         unpack once into a folder of the program's own below\n"
    "                  {CACHE_DIR} (the user's local application data); later\n"
    "                  starts run from there without unpacking\n"
    "  --cache-dir SPEC\n"
    "                  the same, below SPEC, a path with the launcher's\n"
    "                  placeholders ({CACHE_DIR}, {HOME}, {TEMP}, {PROGRAM_DIR},\n"
    "                  {PROGRAM_BASE}); one that changes per run ({PID},\n"
    "                  {TIME_US}, {RANDOM}, {TIME}) is refused\n"
    "\n"
    "What is packed:\n"
    "  --add SRC DEST  SRC, a file or a directory, at DEST inside the archive:\n"
    "                  a file is stored as DEST, a directory's files below DEST\n"
    "                  (\"/\" or \"\\\" between components; repeatable)\n"
    "  --exclude PATTERN\n"
    "                  leave out what a directory holds that matches PATTERN\n"
    "                  (repeatable): without \"/\" a file or folder name at any\n"
    "                  depth, with \"/\" inside or first a path from the top of\n"
    "                  the archive, with \"/\" last folders only; \"*\" and \"?\"\n"
    "                  match within one name (no \"**\"); case is ignored, as\n"
    "                  on Windows\n"
    "  --no-default-excludes\n"
    "                  also pack what is left out by default: .git .svn .hg .bzr\n"
    "                  CVS _darcs *~ .*.swp .*.swo #*# .DS_Store Thumbs.db\n"
    "  --dll-path DIR  where to find the DLLs the packed images import: each\n"
    "                  non-system DLL not packed already is looked up in the\n"
    "                  DIRs in the order given (or is the DLL, when DIR is a\n"
    "                  file) and packed at the top, and so are the DLLs it\n"
    "                  imports in turn (repeatable)\n"
    "  --allow-missing DLL\n"
    "                  DLL is imported but deliberately not packed (the user's\n"
    "                  machine has it); repeatable\n"
    "  --dry-run       run every check pack runs and show what would be packed,\n"
    "                  with sizes and what is left out; write nothing (-o\n"
    "                  optional)\n"
    "Files and directories named on the command line are always packed;\n"
    "exclusions apply to what is found inside directories.\n"
    "\n"
    "Every DLL packed is read for the DLLs it imports (normal and delay-loaded);\n"
    "one that is neither packed (at the top or beside the DLL), found through\n"
    "--dll-path nor part of Windows is refused unless given to --allow-missing.\n"
    "\n"
    "The program's identity (what Explorer, the taskbar and Properties show):\n"
    "  --icon FILE.ico             the program's icon, all images of FILE.ico\n"
    "                              (default: the launcher's)\n"
    "  --version-string NAME=VALUE a version string such as CompanyName,\n"
    "                              FileDescription, LegalCopyright, ProductName\n"
    "                              (repeatable)\n"
    "  --file-version A.B.C.D      the file version (and FileVersion string)\n"
    "  --product-version A.B.C.D   the product version (and ProductVersion string)\n"
    "  --console                   a console program (default: a window program)\n"
    "  --execution-level LEVEL     asInvoker (default), highestAvailable or\n"
    "                              requireAdministrator (any case)\n"
    "Strings not given come from APP.dll's own version resource, else from its\n"
    "name; OriginalFilename is OUT.exe's file name.\n";

const char list_help[] =
    "usage: tavrik-pack list [--json] PACKED.exe\n"
    "\n"
    "Prints the size in bytes and the name of every packed file, in archive\n"
    "order (the application DLL first), then the program's identity: subsystem,\n"
    "execution level, icon sizes, versions and version strings; then how it\n"
    "starts (per-run, or cached and where).\n"
    "\n"
    "  --json    the same as one JSON object (the schema is in the README)\n";

const char verify_help[] =
    "usage: tavrik-pack verify PACKED.exe\n"
    "\n"
    "Checks a packed executable: the headers and section table as the Windows\n"
    "loader checks them; that it is a program (not a DLL) for the console or\n"
    "window subsystem, with its entry point in executable code, an import\n"
    "directory, and the .tavrik section as the packer writes it; its PE\n"
    "checksum; the SHA-256 digest recorded when it was packed, which covers\n"
    "the attached data (the archive and its framing); the archive's structure,\n"
    "every name, and that the first file is a DLL exporting run_code. Prints\n"
    "one OK line and the program's identity (as list does), or fails with the\n"
    "reason.\n"
    "\n"
    "The digest proves the attached data, not the launcher: changed launcher\n"
    "code with its PE checksum recomputed still verifies. Only a signature\n"
    "proves where the launcher came from. \", signed\" means a well-formed\n"
    "certificate table is present; whether the signature is valid is not\n"
    "checked (use your signing tool for that). An executable packed without a\n"
    "digest (by an older tavrik-pack) verifies with a note that its files'\n"
    "content could not be checked.\n";

const char extract_help[] =
    "usage: tavrik-pack extract PACKED.exe -o DIR [--force] [--quiet]\n"
    "\n"
    "Writes the packed files below DIR, which is created if needed. The whole\n"
    "archive is checked before anything is written. Refuses a DIR that is a\n"
    "symbolic link, and unless --force a DIR that is not empty or (on Linux)\n"
    "belongs to another user; --force replaces existing files by new ones.\n"
    "Never writes outside DIR, nor through a link. --quiet: no summary line.\n";

const char all_help[] =
    "usage: tavrik-pack pack -o OUT.exe [OPTIONS] APP.dll [FILE|DIR ...]\n"
    "       tavrik-pack list [--json] PACKED.exe\n"
    "       tavrik-pack verify PACKED.exe\n"
    "       tavrik-pack extract PACKED.exe -o DIR [--force] [--quiet]\n"
    "       tavrik-pack help COMMAND | COMMAND --help\n"
    "       tavrik-pack --version\n"
    "\n"
    "pack      packs an application into one Windows executable\n"
    "list      lists the files packed in an executable\n"
    "verify    checks a packed executable from end to end\n"
    "extract   unpacks the files into a directory for inspection\n"
    "\n"
    "Every failure is one line \"tavrik-pack: error: ...\" and exit status 1.\n";

Error range_error(const std::string &option, int low, int high) {
    return Error{option + " needs a number from " + std::to_string(low) + " to " + std::to_string(high)};
}

Result<int> parse_number(const std::string &option, const std::string &text, int low, int high) {
    if (text.empty() || text.size() > 3 || text.find_first_not_of("0123456789") != std::string::npos) {
        return range_error(option, low, high);
    }
    const int value = std::atoi(text.c_str());
    if (value < low || value > high) return range_error(option, low, high);
    return value;
}

Error usage_error(const std::string &what) { return Error{what + " (see --help)"}; }

// Every option, the commands that take it, and what it takes. `single`: an
// option that holds one value, refused when given twice (which one would
// count is a guess either way); repeatable ones collect every value.
enum class Takes { nothing, value, two_values };
struct OptionSpec {
    const char *name;
    std::initializer_list<Command> commands;
    Takes takes;
    bool single;
};

const OptionSpec option_specs[] = {
    {"-o", {Command::pack, Command::extract}, Takes::value, true},
    {"--stub", {Command::pack}, Takes::value, true},
    {"--depfile", {Command::pack}, Takes::value, true},
    {"--level", {Command::pack}, Takes::value, true},
    {"--fast", {Command::pack}, Takes::nothing, false},
    {"--window-log", {Command::pack}, Takes::value, true},
    {"--threads", {Command::pack}, Takes::value, true},
    {"--add", {Command::pack}, Takes::two_values, false},
    {"--exclude", {Command::pack}, Takes::value, false},
    {"--no-default-excludes", {Command::pack}, Takes::nothing, false},
    {"--allow-missing", {Command::pack}, Takes::value, false},
    {"--dll-path", {Command::pack}, Takes::value, false},
    {"--dry-run", {Command::pack}, Takes::nothing, false},
    {"--quiet", {Command::pack, Command::extract}, Takes::nothing, false},
    {"-q", {Command::pack, Command::extract}, Takes::nothing, false},
    {"--icon", {Command::pack}, Takes::value, true},
    {"--version-string", {Command::pack}, Takes::value, false},
    {"--file-version", {Command::pack}, Takes::value, true},
    {"--product-version", {Command::pack}, Takes::value, true},
    {"--console", {Command::pack}, Takes::nothing, false},
    {"--execution-level", {Command::pack}, Takes::value, true},
    {"--force", {Command::extract}, Takes::nothing, false},
    {"--json", {Command::list}, Takes::nothing, false},
    {"--cache", {Command::pack}, Takes::nothing, false},
    {"--cache-dir", {Command::pack}, Takes::value, true},
};

const OptionSpec *find_option(Command command, const std::string &arg) {
    for (const auto &spec : option_specs) {
        if (arg != spec.name) continue;
        for (Command c : spec.commands) {
            if (c == command) return &spec;
        }
    }
    return nullptr;
}

// The execution level as the manifest spells it; Windows reads the
// attribute's value ignoring case, so the option does too.
std::string canonical_execution_level(const std::string &value) {
    for (const char *level : {"asInvoker", "highestAvailable", "requireAdministrator"}) {
        std::string lower = level, given = value;
        for (char &c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        for (char &c : given) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (lower == given) return level;
    }
    return value;
}

// --icon, --version-string, --file-version, --product-version,
// --execution-level.
Status parse_identity_option(const std::string &option, const std::string &value, IdentityOptions &identity) {
    if (option == "--icon") {
        auto path = path_from_utf8(value);
        if (!path) return Error{option + ": " + path.error()};
        identity.icon = *path;
    } else if (option == "--version-string") {
        const size_t equals = value.find('=');
        if (equals == std::string::npos || equals == 0) {
            return Error{option + " needs NAME=VALUE, not \"" + value + "\""};
        }
        auto name = utf8_to_utf16(value.substr(0, equals));
        auto text = utf8_to_utf16(value.substr(equals + 1));
        if (!name) return Error{option + " name \"" + value.substr(0, equals) + "\" is not valid UTF-8"};
        if (!text) return Error{option + " " + value.substr(0, equals) + " has a value that is not valid UTF-8"};
        for (const auto &[given, ignored] : identity.version_strings) {
            if (upcase_name(given) == upcase_name(*name)) {
                return Error{option + " " + value.substr(0, equals) + " is given twice"};
            }
        }
        identity.version_strings.emplace_back(std::move(*name), std::move(*text));
    } else if (option == "--execution-level") {
        const std::string level = canonical_execution_level(value);
        if (!is_execution_level(level)) {
            return Error{option + " needs asInvoker, highestAvailable or requireAdministrator, not \"" + value + "\""};
        }
        identity.execution_level = level;
    } else {
        auto version = parse_fixed_version(value);
        if (!version) return Error{option + " needs four numbers from 0 to 65535 as A.B.C.D, not \"" + value + "\""};
        (option == "--file-version" ? identity.file_version : identity.product_version) = *version;
    }
    return Status::done();
}

}  // namespace

const char *help_text(Command topic) {
    switch (topic) {
    case Command::pack: return pack_help;
    case Command::list: return list_help;
    case Command::verify: return verify_help;
    case Command::extract: return extract_help;
    default: return all_help;
    }
}

std::string version_line() { return std::string("tavrik-pack ") + TAVRIK_VERSION + "\n"; }

namespace {

Result<Command> command_named(const std::string &name) {
    if (name == "pack") return Command::pack;
    if (name == "list") return Command::list;
    if (name == "verify") return Command::verify;
    if (name == "extract") return Command::extract;
    return usage_error("unknown command \"" + printable_utf8(name) + "\"");
}

// One option and its values (already taken from the command line).
Status apply_option(const std::string &arg, const std::vector<std::string> &values, PackOptions &options,
                          bool &level_given, bool &fast) {
    const std::string value = values.empty() ? std::string() : values[0];
    if (arg == "-o" || arg == "--stub" || arg == "--depfile") {
        auto path = path_from_utf8(value);
        if (!path) return Error{arg + ": " + path.error()};
        std::filesystem::path &target = arg == "--stub"                      ? options.stub
                                        : arg == "--depfile"                 ? options.depfile
                                        : options.command == Command::extract ? options.directory
                                                                              : options.output;
        target = *path;
    } else if (arg == "--level") {
        auto level = parse_number(arg, value, 1, 22);
        if (!level) return Error{level.error()};
        options.level = *level;
        level_given = true;
    } else if (arg == "--window-log") {
        auto window_log = parse_number(arg, value, min_window_log, max_window_log);
        if (!window_log) return Error{window_log.error()};
        options.window_log = *window_log;
    } else if (arg == "--threads") {
        auto threads = parse_number(arg, value, 1, 256);
        if (!threads) return Error{threads.error()};
        options.threads = *threads;
    } else if (arg == "--add") {
        auto source = path_from_utf8(value);
        if (!source) return Error{arg + ": " + source.error()};
        options.placements.push_back({*source, values[1]});
    } else if (arg == "--exclude") {
        if (value.empty()) return usage_error("--exclude needs a pattern");
        options.excludes.push_back(value);
    } else if (arg == "--allow-missing") {
        if (value.empty()) return usage_error("--allow-missing needs a DLL name");
        options.allow_missing.push_back(value);
    } else if (arg == "--dll-path") {
        auto path = path_from_utf8(value);
        if (!path) return Error{arg + ": " + path.error()};
        if (path->empty()) return usage_error("--dll-path needs a folder");
        options.dll_paths.push_back(std::move(*path));
    } else if (arg == "--fast") {
        fast = true;
    } else if (arg == "--console") {
        options.identity.console = true;
    } else if (arg == "--force") {
        options.force = true;
    } else if (arg == "--no-default-excludes") {
        options.default_excludes = false;
    } else if (arg == "--dry-run") {
        options.dry_run = true;
    } else if (arg == "--quiet" || arg == "-q") {
        options.quiet = true;
    } else if (arg == "--cache") {
        options.cached = true;
    } else if (arg == "--cache-dir") {
        auto spec = check_cache_spec(value);
        if (!spec) return Error{spec.error()};
        options.cached = true;
        options.cache_spec = std::move(*spec);
    } else if (arg == "--json") {
        options.json = true;
    } else {
        return parse_identity_option(arg, value, options.identity);
    }
    return Status::done();
}

}  // namespace

Result<PackOptions> parse_pack_options(const std::vector<std::string> &args) {
    PackOptions options;
    if (args.empty()) return options;
    const std::string &command = args[0];
    if (command == "--version") {
        options.command = Command::version;
        return options;
    }
    if (command == "--help" || command == "-h" || command == "help") {
        // help COMMAND: that command's help.
        if (command == "help" && args.size() > 1) {
            auto topic = command_named(args[1]);
            if (!topic) return Error{topic.error()};
            options.help_topic = *topic;
        }
        return options;
    }
    auto named = command_named(command);
    if (!named) return Error{named.error()};
    options.command = *named;

    std::vector<std::string> positional, given;
    bool options_done = false, level_given = false, fast = false;
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string &arg = args[i];
        if (options_done || arg.empty() || arg[0] != '-' || arg == "-") {
            positional.push_back(arg);
            continue;
        }
        if (arg == "--") {
            options_done = true;
            continue;
        }
        if (arg == "--help" || arg == "-h") {
            options.help_topic = options.command;
            options.command = Command::help;
            return options;
        }
        if (arg == "--version") {
            options.command = Command::version;
            return options;
        }
        const OptionSpec *spec = find_option(options.command, arg);
        if (!spec) return usage_error("unknown option \"" + printable_utf8(arg) + "\" for " + command);
        if (spec->single) {
            for (const auto &earlier : given) {
                if (earlier == arg) return usage_error(arg + " is given twice");
            }
            given.push_back(arg);
        }
        const size_t count = spec->takes == Takes::nothing ? 0 : spec->takes == Takes::value ? 1 : 2;
        if (i + count >= args.size()) {
            return usage_error(arg + (count == 2 ? " needs two values" : " needs a value"));
        }
        const std::vector<std::string> values(args.begin() + i + 1, args.begin() + i + 1 + count);
        i += count;
        auto applied = apply_option(arg, values, options, level_given, fast);
        if (!applied) return Error{applied.error()};
    }
    if (fast && level_given) return usage_error("give --fast or --level, not both");
    if (fast) options.level = fast_level;

    std::vector<std::filesystem::path> paths;
    for (const auto &text : positional) {
        auto path = path_from_utf8(text);
        if (!path) return Error{path.error()};
        paths.push_back(std::move(*path));
    }
    if (options.command != Command::pack) {
        if (paths.size() != 1) return usage_error(command + " needs exactly one packed executable");
        options.packed = paths[0];
        if (options.command == Command::extract && options.directory.empty()) {
            return usage_error("extract needs -o DIR");
        }
        return options;
    }
    if (options.output.empty() && !options.dry_run) return usage_error("pack needs -o OUT.exe");
    if (!options.depfile.empty() && options.depfile.lexically_normal() == options.output.lexically_normal()) {
        return usage_error("--depfile names the output; give it a file of its own");
    }
    if (paths.empty()) return usage_error("pack needs the application DLL");
    options.app_dll = paths[0];
    options.inputs.assign(paths.begin() + 1, paths.end());
    return options;
}

}  // namespace tavrik
