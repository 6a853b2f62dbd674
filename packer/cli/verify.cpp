// verify: whether a packed executable is whole, from end to end.

#include <cstdio>
#include <ostream>

#include "packer/archive/names.h"
#include "packer/base/utf.h"
#include "packer/cli/commands.h"
#include "packer/packed/packed_file.h"
#include "packer/pe/attach.h"
#include "packer/pe/pe_checksum.h"
#include "packer/pe/pe_image.h"
#include "packer/platform/path_text.h"
#include "packer/program/identity.h"
#include "packer/program/cached_mode.h"
#include "packer/program/image_roles.h"

namespace tavrik {

namespace {

// The application DLL is checked in memory; verify refuses a larger one
// rather than hold it.
constexpr uint64_t max_checked_application = uint64_t{256} << 20;
// A certificate table is a few kilobytes; a larger one is read no further.
constexpr uint64_t max_certificate_table = uint64_t{16} << 20;

// What verify takes from one reading of the archive: the names, checked
// as they arrive and held once, the total size, and the first file (the
// application) whole.
class VerifyReading : public ArchiveVisitor {
public:
    explicit VerifyReading(const NameLimits &limits) : names(limits) {}
    Status begin_file(const std::u16string &name, uint64_t size) override {
        const std::string problem = names.add(name);
        if (!problem.empty()) {
            refusal = problem;
            return Error{refusal};
        }
        bytes += size;
        files.emplace_back(name, size);
        if (names.size() == 1) {
            first_name = name;
            if (size > max_checked_application) {
                refusal = "the first file " + shown_name(name) + " is " + std::to_string(size) +
                          " bytes; verify checks application DLLs of up to " +
                          std::to_string(max_checked_application >> 20) + " MiB";
                return Error{refusal};
            }
            application.reserve(static_cast<size_t>(size));
        }
        return Status::done();
    }
    Status file_bytes(const uint8_t *data, size_t size) override {
        if (names.size() == 1) application.insert(application.end(), data, data + size);
        return Status::done();
    }

    NameSet names;
    std::vector<std::pair<std::u16string, uint64_t>> files;
    std::u16string first_name;
    uint64_t bytes = 0;
    Bytes application;
    std::string refusal;  // set when the failure is a name's or verify's own limit
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

}  // namespace

Status verify(const PackOptions &options, std::ostream &out) {
    auto packed = PackedFile::open(options.packed);
    if (!packed) return Error{packed.error()};
    return verify_packed(*packed, out);
}

Status verify_packed(const PackedFile &packed, std::ostream &out) {
    const std::string &shown = packed.shown();
    const PeImage &image = packed.image();
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
    auto signed_file = check_certificates(packed);
    if (!signed_file) return Error{signed_file.error()};
    // Set by the packer over the whole file (and kept up to date by signing
    // tools); a 16-bit sum, so the digest below is what proves the content.
    auto checksum = packed.checksum();
    if (!checksum) return Error{checksum.error()};
    if (image.checksum != *checksum) {
        return Error{shown + " is damaged: its PE checksum does not match its contents"};
    }
    auto digest = packed.check_digest();
    if (!digest) return Error{digest.error()};
    auto mode = start_mode(packed);
    if (!mode) return Error{mode.error()};
    VerifyReading reading(name_limits_for(packed.size()));
    auto read = packed.read_archive(reading);
    if (!read) {
        return Error{reading.refusal.empty() ? shown + " is damaged: " + read.error() : shown + ": " + reading.refusal};
    }
    const std::string problem = reading.names.finish();
    if (!problem.empty()) return Error{shown + ": " + problem};
    auto application = check_application_dll(reading.application);
    if (!application) {
        return Error{shown + ": the first file " + shown_name(reading.first_name) + " " + application.error()};
    }
    // A warm start trusts this list to say what a complete build holds.
    if (mode->cached && mode->files != reading.files) {
        return Error{shown + " is damaged: its cached-mode list of files does not match the archive"};
    }
    auto identity = describe_identity(packed.launcher_part(), image);
    if (!identity) return Error{shown + " is damaged: " + identity.error()};
    out << "OK: " << reading.names.size() << (reading.names.size() == 1 ? " file, " : " files, ") << reading.bytes
        << " bytes" << (*signed_file ? ", signed" : "") << '\n';
    if (!*digest) {
        out << "note: packed without a SHA-256 digest (by an older tavrik-pack), so the files' content could not "
               "be checked\n";
    }
    for (const auto &line : *identity) out << printable_utf8(line) << '\n';
    out << printable_utf8(mode->line()) << '\n';
    return Status::done();
}

}  // namespace tavrik
