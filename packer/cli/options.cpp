#include "packer/cli/options.h"

#include <cstdlib>

#include "packer/archive/names.h"
#include "packer/base/path_text.h"
#include "packer/base/utf.h"
#include "packer/pe/manifest.h"

namespace tavrik {

namespace {

const char pack_help[] =
    "usage: tavrik-pack pack -o OUT.exe [--stub STUB.exe] [--level N | --fast]\n"
    "                        [--window-log N] [--threads N] [--depfile FILE]\n"
    "                        [IDENTITY OPTIONS]\n"
    "                        APP.dll [FILE|DIR ...]\n"
    "\n"
    "Writes OUT.exe: the launcher stub with APP.dll and the given files\n"
    "attached. APP.dll (a 64-bit DLL exporting run_code) is the first file;\n"
    "a FILE keeps its file name, a DIR contributes every file below it under\n"
    "its path relative to DIR. All but APP.dll are stored sorted by name.\n"
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
    "  --depfile FILE  after packing, write FILE: a Makefile rule naming OUT.exe\n"
    "                  and every file and directory read (for make, Ninja and\n"
    "                  CMake's DEPFILE), so that a file added to a directory,\n"
    "                  removed or renamed makes the build pack again\n"
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
    "                              requireAdministrator\n"
    "Strings not given come from APP.dll's own version resource, else from its\n"
    "name; OriginalFilename is OUT.exe's file name.\n";

const char list_help[] =
    "usage: tavrik-pack list PACKED.exe\n"
    "\n"
    "Prints the size in bytes and the name of every packed file, in archive\n"
    "order (the application DLL first), then the program's identity: subsystem,\n"
    "execution level, icon sizes, versions and version strings.\n";

const char verify_help[] =
    "usage: tavrik-pack verify PACKED.exe\n"
    "\n"
    "Checks a packed executable: the headers and section table as the Windows\n"
    "loader checks them, its PE checksum, the SHA-256 digest recorded when it\n"
    "was packed (it covers every byte the launcher reads), the archive's\n"
    "structure, every name, and that the first file is a DLL exporting\n"
    "run_code. Prints one OK line and the program's identity (as list does),\n"
    "or fails with the reason.\n"
    "\n"
    "\", signed\" means a well-formed certificate table is present; whether the\n"
    "signature is valid is not checked (use your signing tool for that). An\n"
    "executable packed without a digest (by an older tavrik-pack) verifies\n"
    "with a note that its files' content could not be checked.\n";

const char extract_help[] =
    "usage: tavrik-pack extract PACKED.exe -o DIR [--force]\n"
    "\n"
    "Writes the packed files below DIR, which is created if needed. The whole\n"
    "archive is checked before anything is written. Refuses a DIR that is a\n"
    "symbolic link, and unless --force a DIR that is not empty or (on Linux)\n"
    "belongs to another user; --force replaces existing files by new ones.\n"
    "Never writes outside DIR, nor through a link.\n";

const char all_help[] =
    "usage: tavrik-pack pack -o OUT.exe [--stub STUB.exe] [--level N | --fast]\n"
    "                        [--window-log N] [--threads N] [IDENTITY OPTIONS]\n"
    "                        APP.dll [FILE|DIR ...]\n"
    "       tavrik-pack list PACKED.exe\n"
    "       tavrik-pack verify PACKED.exe\n"
    "       tavrik-pack extract PACKED.exe -o DIR [--force]\n"
    "       tavrik-pack [COMMAND] --help\n"
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

bool takes_value(Command command, const std::string &arg) {
    if (arg == "-o") return command == Command::pack || command == Command::extract;
    return command == Command::pack &&
           (arg == "--stub" || arg == "--depfile" || arg == "--level" || arg == "--window-log" ||
            arg == "--threads" || arg == "--icon" || arg == "--version-string" || arg == "--file-version" ||
            arg == "--product-version" || arg == "--execution-level");
}

bool is_flag(Command command, const std::string &arg) {
    return (command == Command::pack && (arg == "--fast" || arg == "--console")) ||
           (command == Command::extract && arg == "--force");
}

// --icon, --version-string, --file-version, --product-version,
// --execution-level.
Result<bool> parse_identity_option(const std::string &option, const std::string &value, IdentityOptions &identity) {
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
        if (!name || !text) return Error{option + " " + value.substr(0, equals) + " is not valid UTF-8"};
        for (const auto &[given, ignored] : identity.version_strings) {
            if (upcase_name(given) == upcase_name(*name)) {
                return Error{option + " " + value.substr(0, equals) + " is given twice"};
            }
        }
        identity.version_strings.emplace_back(std::move(*name), std::move(*text));
    } else if (option == "--execution-level") {
        if (!is_execution_level(value)) {
            return Error{option + " needs asInvoker, highestAvailable or requireAdministrator, not \"" + value + "\""};
        }
        identity.execution_level = value;
    } else {
        auto version = parse_fixed_version(value);
        if (!version) return Error{option + " needs four numbers from 0 to 65535 as A.B.C.D, not \"" + value + "\""};
        (option == "--file-version" ? identity.file_version : identity.product_version) = *version;
    }
    return true;
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

Result<PackOptions> parse_pack_options(const std::vector<std::string> &args) {
    PackOptions options;
    if (args.empty()) return usage_error("no command given");
    const std::string &command = args[0];
    if (command == "--help" || command == "-h" || command == "help") return options;
    if (command == "pack") {
        options.command = Command::pack;
    } else if (command == "list") {
        options.command = Command::list;
    } else if (command == "verify") {
        options.command = Command::verify;
    } else if (command == "extract") {
        options.command = Command::extract;
    } else {
        return usage_error("unknown command \"" + printable_utf8(command) + "\"");
    }

    std::vector<std::string> positional;
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
        if (is_flag(options.command, arg)) {
            (arg == "--fast" ? fast : arg == "--console" ? options.identity.console : options.force) = true;
            continue;
        }
        if (!takes_value(options.command, arg)) {
            return usage_error("unknown option \"" + printable_utf8(arg) + "\" for " + command);
        }
        if (i + 1 >= args.size()) return usage_error(arg + " needs a value");
        const std::string &value = args[++i];
        if (arg == "-o" || arg == "--stub" || arg == "--depfile") {
            auto path = path_from_utf8(value);
            if (!path) return Error{arg + ": " + path.error()};
            (arg == "-o" ? options.output : arg == "--stub" ? options.stub : options.depfile) = *path;
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
        } else {
            auto identity = parse_identity_option(arg, value, options.identity);
            if (!identity) return Error{identity.error()};
        }
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
        if (options.command == Command::extract && options.output.empty()) {
            return usage_error("extract needs -o DIR");
        }
        return options;
    }
    if (options.output.empty()) return usage_error("pack needs -o OUT.exe");
    if (!options.depfile.empty() && options.depfile.lexically_normal() == options.output.lexically_normal()) {
        return usage_error("--depfile names the output; give it a file of its own");
    }
    if (paths.empty()) return usage_error("pack needs the application DLL");
    options.app_dll = paths[0];
    options.inputs.assign(paths.begin() + 1, paths.end());
    return options;
}

}  // namespace tavrik
