#include "packer/cli.h"

#include <ostream>
#include <system_error>

#include "packer/file_io.h"
#include "packer/input_files.h"
#include "packer/pack_options.h"
#include "packer/packed_executable.h"
#include "packer/stub_location.h"
#include "packer/utf.h"

namespace tavrik {

namespace {

Result<std::filesystem::path> choose_stub(const PackOptions &options, const char *argv0) {
    if (!options.stub.empty()) return options.stub;
    const auto candidates = default_stub_candidates(packer_executable_path(argv0));
    for (const auto &candidate : candidates) {
        std::error_code ec;
        if (std::filesystem::is_regular_file(candidate, ec)) return candidate;
    }
    return Error{std::string("no ") + stub_file_name + " beside tavrik-pack or in ../windows; use --stub"};
}

Result<bool> pack(const PackOptions &options, const char *argv0) {
    auto stub_path = choose_stub(options, argv0);
    if (!stub_path) return Error{stub_path.error()};
    auto stub = read_whole_file(*stub_path);
    if (!stub) return Error{stub.error()};
    auto entries = collect_entries(options.app_dll, options.inputs);
    if (!entries) return Error{entries.error()};
    auto exe = pack_executable(*stub, *entries, options.level, options.threads);
    if (!exe) return Error{exe.error()};
    return write_file_replacing(options.output, *exe);
}

Result<bool> list(const PackOptions &options, std::ostream &out) {
    auto exe = read_whole_file(options.packed);
    if (!exe) return Error{exe.error()};
    auto entries = unpack_executable(*exe);
    if (!entries) return Error{entries.error()};
    for (const auto &entry : *entries) {
        auto name = utf16_to_utf8(entry.name);
        if (!name) return Error{name.error()};
        out << entry.content.size() << ' ' << *name << '\n';
    }
    return true;
}

}  // namespace

int run_cli(const std::vector<std::string> &args, const char *argv0, std::ostream &out, std::ostream &err) {
    auto options = parse_pack_options(args);
    Result<bool> done = true;
    if (!options) {
        done = Error{options.error()};
    } else if (options->command == Command::help) {
        out << usage_text;
    } else if (options->command == Command::pack) {
        done = pack(*options, argv0);
    } else {
        done = list(*options, out);
    }
    if (!done) {
        err << "tavrik-pack: error: " << done.error() << '\n';
        return 1;
    }
    return 0;
}

}  // namespace tavrik
