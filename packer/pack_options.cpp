#include "packer/pack_options.h"

#include <cstdlib>

#include "packer/path_text.h"

namespace tavrik {

const char usage_text[] =
    "usage: tavrik-pack pack -o OUT.exe [--stub STUB.exe] [--level N] [--threads N]\n"
    "                        APP.dll [FILE|DIR ...]\n"
    "       tavrik-pack list PACKED.exe\n"
    "       tavrik-pack --help\n"
    "\n"
    "pack   Writes OUT.exe: the launcher stub with APP.dll and the given files\n"
    "       attached. APP.dll is the first file, FILEs keep their file name,\n"
    "       DIRs contribute every file below them under its relative path.\n"
    "       --stub     launcher stub (default: tavrik-launcher.exe beside this\n"
    "                  program, then in ../windows)\n"
    "       --level    zstd level 1-22 (default 19)\n"
    "       --threads  zstd worker threads, 0 = none (default 0); every value\n"
    "                  from 1 up gives the same output\n"
    "list   Prints the size and name of every file packed in PACKED.exe.\n";

namespace {

Result<int> parse_number(const std::string &option, const std::string &text, int low, int high) {
    if (text.empty() || text.size() > 3 || text.find_first_not_of("0123456789") != std::string::npos) {
        return Error{option + " needs a number from " + std::to_string(low) + " to " + std::to_string(high)};
    }
    const int value = std::atoi(text.c_str());
    if (value < low || value > high) {
        return Error{option + " needs a number from " + std::to_string(low) + " to " + std::to_string(high)};
    }
    return value;
}

Error usage_error(const std::string &what) { return Error{what + " (see --help)"}; }

}  // namespace

Result<PackOptions> parse_pack_options(const std::vector<std::string> &args) {
    PackOptions options;
    if (args.empty()) return usage_error("no command given");
    const std::string &command = args[0];
    if (command == "--help" || command == "-h" || command == "help") return options;
    if (command == "pack") {
        options.command = Command::pack;
    } else if (command == "list") {
        options.command = Command::list;
    } else {
        return usage_error("unknown command \"" + command + "\"");
    }

    std::vector<std::string> positional;
    bool options_done = false;
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string &arg = args[i];
        if (options_done || arg.empty() || arg[0] != '-') {
            positional.push_back(arg);
            continue;
        }
        if (arg == "--") {
            options_done = true;
            continue;
        }
        if (arg == "--help" || arg == "-h") {
            options.command = Command::help;
            return options;
        }
        const bool takes_value = options.command == Command::pack &&
                                 (arg == "-o" || arg == "--stub" || arg == "--level" || arg == "--threads");
        if (!takes_value) return usage_error("unknown option \"" + arg + "\"");
        if (i + 1 >= args.size()) return usage_error(arg + " needs a value");
        const std::string &value = args[++i];
        if (arg == "-o" || arg == "--stub") {
            auto path = path_from_utf8(value);
            if (!path) return Error{arg + ": " + path.error()};
            (arg == "-o" ? options.output : options.stub) = *path;
        } else if (arg == "--level") {
            auto level = parse_number(arg, value, 1, 22);
            if (!level) return Error{level.error()};
            options.level = *level;
        } else {
            auto threads = parse_number(arg, value, 0, 256);
            if (!threads) return Error{threads.error()};
            options.threads = *threads;
        }
    }

    std::vector<std::filesystem::path> paths;
    for (const auto &text : positional) {
        auto path = path_from_utf8(text);
        if (!path) return Error{path.error()};
        paths.push_back(std::move(*path));
    }
    if (options.command == Command::list) {
        if (paths.size() != 1) return usage_error("list needs exactly one executable");
        options.packed = paths[0];
        return options;
    }
    if (options.output.empty()) return usage_error("pack needs -o OUT.exe");
    if (paths.empty()) return usage_error("pack needs the application DLL");
    options.app_dll = paths[0];
    options.inputs.assign(paths.begin() + 1, paths.end());
    return options;
}

}  // namespace tavrik
