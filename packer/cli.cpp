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
#include "packer/packed_file.h"
#include "packer/path_text.h"
#include "packer/pe/attach.h"
#include "packer/pe/icons.h"
#include "packer/pe/pe_checksum.h"
#include "packer/pe/pe_image.h"
#include "packer/progress.h"
#include "packer/safe_files.h"
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

// Packing writes the output last, by renaming over it: an output that is
// the stub or the icon (or an input, see collect_entries) would lose what
// it held. `role` names `source` in the message.
Result<bool> refuse_output_over(const std::filesystem::path &output, const std::filesystem::path &source,
                                const char *role) {
    if (source.empty()) return true;
    auto output_identity = file_identity(output);
    if (!output_identity) return Error{output_identity.error()};
    if (!*output_identity) return true;
    auto source_identity = file_identity(source);
    if (!source_identity) return Error{source_identity.error()};
    if (*source_identity == *output_identity) {
        return Error{"output " + shown_path(output) + " is the " + role + " " + shown_path(source) +
                     "; write the executable elsewhere"};
    }
    return true;
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
    const std::pair<std::filesystem::path, const char *> sources[] = {{*stub_path, "stub"},
                                                                       {options.identity.icon, "icon"}};
    for (const auto &[source, role] : sources) {
        auto elsewhere = refuse_output_over(options.output, source, role);
        if (!elsewhere) return elsewhere;
    }
    auto stub = read_whole_file(*stub_path);
    if (!stub) return Error{stub.error()};
    auto launcher = check_launcher_stub(*stub);
    if (!launcher) return Error{"stub " + shown_path(*stub_path) + " " + launcher.error()};
    auto icon = read_icon(options.identity.icon);
    if (!icon) return Error{icon.error()};

    auto entries = collect_entries(options.app_dll, options.inputs, options.output);
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

class Lister : public ArchiveVisitor {
public:
    explicit Lister(std::ostream &out) : out_(out) {}
    Result<bool> begin_file(const std::u16string &name, uint64_t size) override {
        out_ << size << ' ' << printable(name) << '\n';
        return true;
    }

private:
    std::ostream &out_;
};

// Lines appear as the archive is decoded: a damaged archive without a
// digest shows what came before the damage, then fails.
Result<bool> list(const PackOptions &options, std::ostream &out) {
    auto packed = PackedFile::open(options.packed);
    if (!packed) return Error{packed.error()};
    auto identity = describe_identity(packed->launcher_part(), packed->image());
    if (!identity) return Error{packed->shown() + ": " + identity.error()};
    auto digest = packed->check_digest();
    if (!digest) return Error{digest.error()};
    Lister lister(out);
    auto read = packed->read_archive(lister);
    if (!read) return Error{packed->shown() + " is damaged: " + read.error()};
    for (const auto &line : *identity) out << printable_utf8(line) << '\n';
    return true;
}

// The application DLL is checked in memory; verify refuses a larger one
// rather than hold it.
constexpr uint64_t max_checked_application = uint64_t{256} << 20;
// A certificate table is a few kilobytes; a larger one is read no further.
constexpr uint64_t max_certificate_table = uint64_t{16} << 20;

// What verify takes from one reading of the archive: the names, the total
// size, and the first file (the application) whole.
class VerifyReading : public ArchiveVisitor {
public:
    Result<bool> begin_file(const std::u16string &name, uint64_t size) override {
        names.push_back(name);
        bytes += size;
        if (names.size() == 1) {
            if (size > max_checked_application) {
                refusal = "the first file " + shown_name(name) + " is " + std::to_string(size) +
                          " bytes; verify checks application DLLs of up to " +
                          std::to_string(max_checked_application >> 20) + " MiB";
                return Error{refusal};
            }
            application.reserve(static_cast<size_t>(size));
        }
        return true;
    }
    Result<bool> file_bytes(const uint8_t *data, size_t size) override {
        if (names.size() == 1) application.insert(application.end(), data, data + size);
        return true;
    }

    std::vector<std::u16string> names;
    uint64_t bytes = 0;
    Bytes application;
    std::string refusal;  // set when the failure is verify's own limit
};

// "signed" when the certificate table is present and well-formed; whether
// the signature itself is valid is not checked.
Result<bool> check_certificates(const PackedFile &packed) {
    const PeImage &image = packed.image();
    const std::string where = certificate_location_problem(image);
    if (!where.empty()) return Error{packed.shown() + " is damaged: " + where};
    if (image.certificate_size == 0) return false;
    if (image.certificate_size > max_certificate_table) {
        return Error{packed.shown() + " is damaged: its certificate table is larger than " +
                     std::to_string(max_certificate_table >> 20) + " MiB"};
    }
    auto table = packed.read_range(image.certificate_offset, image.certificate_size);
    if (!table) return Error{table.error()};
    const std::string entries = certificate_entries_problem(*table);
    if (!entries.empty()) return Error{packed.shown() + " is damaged: " + entries};
    return true;
}

Result<bool> verify(const PackOptions &options, std::ostream &out) {
    auto packed = PackedFile::open(options.packed);
    if (!packed) return Error{packed.error()};
    const std::string &shown = packed->shown();
    const PeImage &image = packed->image();
    // Recognised by what the packer wrote: the .tavrik section and the
    // attached data's magic and trailer (PackedFile). The version resource is
    // the program's own, not the launcher's.
    const std::string unloadable = loader_problem(image);
    if (!unloadable.empty()) return Error{shown + " is damaged: Windows would not load it: " + unloadable};
    // What the packer wrote and the launcher needs; whether the launcher's
    // code is the one built is not known without a signature.
    std::string unlike = program_problem(image);
    if (unlike.empty()) unlike = attached_section_problem(image);
    if (!unlike.empty()) return Error{shown + " is damaged: " + unlike};
    auto signed_file = check_certificates(*packed);
    if (!signed_file) return signed_file;
    // Set by the packer over the whole file (and kept up to date by signing
    // tools); a 16-bit sum, so the digest below is what proves the content.
    auto checksum = packed->checksum();
    if (!checksum) return Error{checksum.error()};
    if (image.checksum != *checksum) {
        return Error{shown + " is damaged: its PE checksum does not match its contents"};
    }
    auto digest = packed->check_digest();
    if (!digest) return Error{digest.error()};
    VerifyReading reading;
    auto read = packed->read_archive(reading);
    if (!read) {
        return Error{reading.refusal.empty() ? shown + " is damaged: " + read.error() : shown + ": " + reading.refusal};
    }
    const std::string problem = names_problem(reading.names);
    if (!problem.empty()) return Error{shown + ": " + problem};
    auto application = check_application_dll(reading.application);
    if (!application) {
        return Error{shown + ": the first file " + shown_name(reading.names.front()) + " " + application.error()};
    }
    auto identity = describe_identity(packed->launcher_part(), image);
    if (!identity) return Error{shown + " is damaged: " + identity.error()};
    out << "OK: " << reading.names.size() << (reading.names.size() == 1 ? " file, " : " files, ") << reading.bytes
        << " bytes" << (*signed_file ? ", signed" : "") << '\n';
    if (!*digest) {
        out << "note: packed without a SHA-256 digest (by an older tavrik-pack), so the files' content could not "
               "be checked\n";
    }
    for (const auto &line : *identity) out << printable_utf8(line) << '\n';
    return true;
}

Result<bool> extract(const PackOptions &options, std::ostream &out) {
    auto packed = PackedFile::open(options.packed);
    if (!packed) return Error{packed.error()};
    auto written = extract_packed(*packed, options.output, options.force);
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
        // Every part of a message that comes from a name or a path is escaped
        // already; this keeps the line one line whatever slipped through.
        err << "tavrik-pack: error: " << printable_utf8(done.error()) << '\n';
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
