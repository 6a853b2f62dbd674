#include "packer/cli.h"

#include <ostream>
#include <system_error>
#include <thread>

#include "packer/attached_data.h"
#include "packer/extract.h"
#include "packer/file_io.h"
#include "packer/identity.h"
#include "packer/image_roles.h"
#include "packer/input_files.h"
#include "packer/names.h"
#include "packer/pack_options.h"
#include "packer/packed_executable.h"
#include "packer/path_text.h"
#include "packer/pe/attach.h"
#include "packer/pe/icons.h"
#include "packer/pe/pe_checksum.h"
#include "packer/pe/pe_image.h"
#include "packer/progress.h"
#include "packer/stub_location.h"
#include "packer/utf.h"

namespace tavrik {

namespace {

Result<std::filesystem::path> choose_stub(const PackOptions &options, const char *argv0) {
    std::error_code ec;
    if (!options.stub.empty()) {
        if (!std::filesystem::exists(options.stub, ec)) {
            return Error{"stub " + shown_path(options.stub) + " does not exist"};
        }
        return options.stub;
    }
    const auto candidates = default_stub_candidates(packer_executable_path(argv0));
    for (const auto &candidate : candidates) {
        if (std::filesystem::is_regular_file(candidate, ec)) return candidate;
    }
    return Error{std::string("no ") + stub_file_name + " beside tavrik-pack or in ../windows; use --stub"};
}

int thread_count(const PackOptions &options) {
    if (options.threads > 0) return options.threads;
    const unsigned cores = std::thread::hardware_concurrency();
    return cores == 0 ? 1 : static_cast<int>(cores > 256 ? 256 : cores);
}

Result<std::vector<IconImage>> read_icon(const std::filesystem::path &path) {
    if (path.empty()) return std::vector<IconImage>();
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) return Error{"icon " + shown_path(path) + " does not exist"};
    auto file = read_whole_file(path);
    if (!file) return Error{file.error()};
    auto images = parse_ico(*file);
    if (!images) return Error{"icon " + shown_path(path) + " is not a valid .ico file: " + images.error()};
    return images;
}

// The stub with the program's identity in place of the launcher's.
Result<Bytes> identify(const PackOptions &options, const std::filesystem::path &stub_path, const Bytes &stub,
                       const ArchiveEntry &application, std::vector<IconImage> icon) {
    auto output_name = path_to_utf8(options.output.filename());
    if (!output_name) return Error{"-o: " + output_name.error()};
    auto output_name16 = utf8_to_utf16(*output_name);
    if (!output_name16) return Error{"-o: " + output_name16.error()};
    Identity identity;
    identity.icon = std::move(icon);
    identity.console = options.identity.console;
    identity.execution_level = options.identity.execution_level;
    auto version = derive_version_info(options.identity, application.content, application.name, *output_name16);
    if (!version) return Error{"application " + shown_path(options.app_dll) + " " + version.error()};
    identity.version = std::move(*version);
    auto identified = apply_identity(stub, identity);
    if (!identified) {
        return Error{"cannot rewrite the resources of stub " + shown_path(stub_path) + ": " + identified.error()};
    }
    return identified;
}

Result<bool> pack(const PackOptions &options, const CliEnvironment &environment, std::ostream &err) {
    auto stub_path = choose_stub(options, environment.argv0);
    if (!stub_path) return Error{stub_path.error()};
    auto stub = read_whole_file(*stub_path);
    if (!stub) return Error{stub.error()};
    auto launcher = check_launcher_stub(*stub);
    if (!launcher) return Error{"stub " + shown_path(*stub_path) + " " + launcher.error()};
    auto icon = read_icon(options.identity.icon);
    if (!icon) return Error{icon.error()};

    auto entries = collect_entries(options.app_dll, options.inputs);
    if (!entries) return Error{entries.error()};
    auto application = check_application_dll(entries->front().content);
    if (!application) return Error{"application " + shown_path(options.app_dll) + " " + application.error()};
    auto identified = identify(options, *stub_path, *stub, entries->front(), std::move(*icon));
    if (!identified) return Error{identified.error()};

    auto archive = write_archive(*entries);
    if (!archive) return Error{archive.error()};
    entries->clear();
    Result<Bytes> frame = Bytes();
    if (environment.show_progress) {
        ProgressLine line(err, archive->size());
        frame = compress_frame(*archive, options.level, thread_count(options),
                               [&line](uint64_t read, uint64_t compressed, uint64_t produced) {
                                   line.update(read, compressed, produced);
                               });
        if (frame) line.finish(frame->size());
    } else {
        frame = compress_frame(*archive, options.level, thread_count(options));
    }
    if (!frame) return Error{frame.error()};
    auto exe = attach_to_stub(*identified, make_attached_data(*frame));
    if (!exe) return Error{exe.error()};
    return write_file_replacing(options.output, *exe);
}

Result<bool> list(const PackOptions &options, std::ostream &out) {
    auto exe = read_whole_file(options.packed);
    if (!exe) return Error{exe.error()};
    auto entries = unpack_executable(*exe);
    if (!entries) return Error{entries.error()};
    auto identity = describe_identity(*exe);
    if (!identity) return Error{shown_path(options.packed) + ": " + identity.error()};
    for (const auto &entry : *entries) {
        auto name = utf16_to_utf8(entry.name);
        if (!name) return Error{name.error()};
        out << entry.content.size() << ' ' << *name << '\n';
    }
    for (const auto &line : *identity) out << line << '\n';
    return true;
}

Result<bool> verify(const PackOptions &options, std::ostream &out) {
    auto exe = read_whole_file(options.packed);
    if (!exe) return Error{exe.error()};
    const std::string shown = shown_path(options.packed);
    auto image = parse_pe_image(*exe);
    if (!image) return Error{shown + " is not a packed executable: " + image.error()};
    // Recognised by what the packer wrote: the .tavrik section and the
    // attached data's magic, checked below. The version resource is the
    // program's own, not the launcher's.
    auto attached = find_attached_data(*exe);
    if (!attached) return Error{shown + ": " + attached.error()};
    // Set by the packer over the whole file (and kept up to date by signing
    // tools): the one check that sees damage anywhere, even in bytes the
    // zstd frame would decode without complaint.
    const size_t checksum_at = image->optional_header_offset + pe::opt_checksum;
    const uint32_t stored = load_u32(*exe, checksum_at);
    if (stored != pe_checksum(*exe, checksum_at)) {
        return Error{shown + " is damaged: its PE checksum does not match its contents"};
    }
    auto frame = frame_from_attached_data(*attached);
    if (!frame) return Error{shown + " is damaged: " + frame.error()};
    auto archive = decompress_frame(*frame);
    if (!archive) return Error{shown + " is damaged: " + archive.error()};
    auto entries = parse_archive(*archive);
    if (!entries) return Error{shown + " is damaged: " + entries.error()};
    auto names = check_entries(*entries);
    if (!names) return Error{shown + ": " + names.error()};
    auto application = check_application_dll(entries->front().content);
    if (!application) {
        return Error{shown + ": the first file " + shown_name(entries->front().name) + " " + application.error()};
    }
    auto identity = describe_identity(*exe);
    if (!identity) return Error{shown + " is damaged: " + identity.error()};
    uint64_t bytes = 0;
    for (const auto &entry : *entries) bytes += entry.content.size();
    out << "OK: " << entries->size() << (entries->size() == 1 ? " file, " : " files, ") << bytes << " bytes"
        << (image->certificate_size != 0 ? ", signed" : "") << '\n';
    for (const auto &line : *identity) out << line << '\n';
    return true;
}

Result<bool> extract(const PackOptions &options, std::ostream &out) {
    auto exe = read_whole_file(options.packed);
    if (!exe) return Error{exe.error()};
    auto entries = unpack_executable(*exe);
    if (!entries) return Error{entries.error()};
    auto written = extract_entries(*entries, options.output, options.force);
    if (!written) return Error{written.error()};
    out << "extracted " << *written << (*written == 1 ? " file" : " files") << " into "
        << shown_path(options.output) << '\n';
    return true;
}

}  // namespace

int run_cli(const std::vector<std::string> &args, const CliEnvironment &environment, std::ostream &out,
            std::ostream &err) {
    auto options = parse_pack_options(args);
    Result<bool> done = true;
    if (!options) {
        done = Error{options.error()};
    } else if (options->command == Command::help) {
        out << help_text(options->help_topic);
    } else if (options->command == Command::pack) {
        done = pack(*options, environment, err);
    } else if (options->command == Command::list) {
        done = list(*options, out);
    } else if (options->command == Command::verify) {
        done = verify(*options, out);
    } else {
        done = extract(*options, out);
    }
    if (!done) {
        err << "tavrik-pack: error: " << done.error() << '\n';
        return 1;
    }
    return 0;
}

int run_cli(const std::vector<std::string> &args, const char *argv0, std::ostream &out, std::ostream &err) {
    CliEnvironment environment;
    environment.argv0 = argv0;
    return run_cli(args, environment, out, err);
}

}  // namespace tavrik
