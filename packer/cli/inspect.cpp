// list and verify: what a packed executable holds, and whether it is whole.

#include <cstdio>
#include <ostream>

#include "packer/archive/names.h"
#include "packer/archive/packed_file.h"
#include "packer/base/utf.h"
#include "packer/cli/commands.h"
#include "packer/pe/attach.h"
#include "packer/pe/pe_checksum.h"
#include "packer/pe/pe_image.h"
#include "packer/platform/path_text.h"
#include "packer/program/identity.h"
#include "packer/program/cached_mode.h"
#include "packer/program/image_roles.h"

namespace tavrik {

namespace {

// Prints each file as it is decoded, or (for JSON) keeps it for the end.
class Lister : public ArchiveVisitor {
public:
    Lister(std::ostream &out, bool keep) : out_(out), keep_(keep) {}
    Result<bool> begin_file(const std::u16string &name, uint64_t size) override {
        if (keep_) {
            files.emplace_back(name, size);
        } else {
            out_ << size << ' ' << printable(name) << '\n';
        }
        return true;
    }

    std::vector<std::pair<std::u16string, uint64_t>> files;

private:
    std::ostream &out_;
    bool keep_;
};

// A JSON string: UTF-16 units as UTF-8, except what JSON must escape and
// unpaired surrogates, which are written as \uXXXX.
std::string json_string(const std::u16string &text) {
    std::string out = "\"";
    for (size_t i = 0; i < text.size(); ++i) {
        const char16_t c = text[i];
        const bool high = c >= 0xD800 && c <= 0xDBFF, low = c >= 0xDC00 && c <= 0xDFFF;
        if (high && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            out += *utf16_to_utf8(text.substr(i, 2));
            ++i;
        } else if (c == u'"' || c == u'\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || high || low) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04X", static_cast<unsigned>(c));
            out += escaped;
        } else {
            out += *utf16_to_utf8(std::u16string(1, c));
        }
    }
    return out + "\"";
}

std::string json_string(const std::string &utf8) {
    auto wide = utf8_to_utf16(utf8);
    return json_string(wide ? *wide : utf8_to_utf16(printable_utf8(utf8)).value());
}

// How the program starts: per-run, or cached and where.
struct StartMode {
    bool cached = false;
    std::string spec;     // UTF-8, when cached
    std::string program;  // the program's folder below it
    std::vector<std::pair<std::u16string, uint64_t>> files;  // the list a warm start checks
    std::string line() const { return cached ? "start: cached in " + spec + "\\" + program : "start: per-run"; }
};

Result<StartMode> start_mode(const PackedFile &packed) {
    StartMode mode;
    if (!packed.layout().cached) return mode;
    auto view = read_cached_settings(packed.layout().cached_settings);
    if (!view) return Error{packed.shown() + " is damaged: " + view.error()};
    auto spec = utf16_to_utf8(view->spec);
    auto program = utf16_to_utf8(view->program);
    mode.cached = true;
    mode.spec = spec ? *spec : printable(view->spec);
    mode.program = program ? *program : printable(view->program);
    mode.files = std::move(view->files);
    return mode;
}

// The schema is documented in the README ("list --json").
void write_json(const Lister &lister, const IdentityDescription &identity, const StartMode &mode, std::ostream &out) {
    out << "{\n  \"tavrik_pack_version\": " << json_string(std::string(TAVRIK_VERSION)) << ",\n  \"files\": [";
    for (size_t i = 0; i < lister.files.size(); ++i) {
        out << (i == 0 ? "\n" : ",\n") << "    {\"name\": " << json_string(lister.files[i].first)
            << ", \"size\": " << lister.files[i].second << "}";
    }
    out << "\n  ],\n  \"identity\": {\n    \"subsystem\": " << json_string(identity.subsystem)
        << ",\n    \"execution_level\": " << json_string(identity.execution_level) << ",\n    \"icon\": [";
    for (size_t i = 0; i < identity.icons.size(); ++i) out << (i == 0 ? "" : ", ") << json_string(identity.icons[i]);
    const auto optional = [](const std::string &text) { return text.empty() ? std::string("null") : json_string(text); };
    out << "],\n    \"file_version\": " << optional(identity.file_version)
        << ",\n    \"product_version\": " << optional(identity.product_version) << ",\n    \"strings\": [";
    for (size_t i = 0; i < identity.strings.size(); ++i) {
        out << (i == 0 ? "\n" : ",\n") << "      {\"name\": " << json_string(identity.strings[i].first)
            << ", \"value\": " << json_string(identity.strings[i].second) << "}";
    }
    out << (identity.strings.empty() ? "]" : "\n    ]") << "\n  },\n  \"start\": {\"mode\": "
        << (mode.cached ? "\"cached\"" : "\"per-run\"") << ", \"cache_dir\": "
        << (mode.cached ? json_string(mode.spec) : "null") << ", \"program_folder\": "
        << (mode.cached ? json_string(mode.program) : "null") << "}\n}\n";
}

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
    Result<bool> begin_file(const std::u16string &name, uint64_t size) override {
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
        return true;
    }
    Result<bool> file_bytes(const uint8_t *data, size_t size) override {
        if (names.size() == 1) application.insert(application.end(), data, data + size);
        return true;
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

// Lines appear as the archive is decoded: a damaged archive without a
// digest shows what came before the damage, then fails.
Result<bool> list(const PackOptions &options, std::ostream &out) {
    auto packed = PackedFile::open(options.packed);
    if (!packed) return Error{packed.error()};
    return list_packed(*packed, out, options.json);
}

Result<bool> list_packed(const PackedFile &packed, std::ostream &out, bool json) {
    auto identity = describe_identity(packed.launcher_part(), packed.image());
    if (!identity) return Error{packed.shown() + ": " + identity.error()};
    auto digest = packed.check_digest();
    if (!digest) return Error{digest.error()};
    auto mode = start_mode(packed);
    if (!mode) return Error{mode.error()};
    Lister lister(out, json);
    auto read = packed.read_archive(lister);
    if (!read) return Error{packed.shown() + " is damaged: " + read.error()};
    if (json) {
        auto description = read_identity(packed.launcher_part(), packed.image());
        if (!description) return Error{packed.shown() + ": " + description.error()};
        write_json(lister, *description, *mode, out);
        return true;
    }
    for (const auto &line : *identity) out << printable_utf8(line) << '\n';
    out << printable_utf8(mode->line()) << '\n';
    return true;
}

Result<bool> verify(const PackOptions &options, std::ostream &out) {
    auto packed = PackedFile::open(options.packed);
    if (!packed) return Error{packed.error()};
    return verify_packed(*packed, out);
}

Result<bool> verify_packed(const PackedFile &packed, std::ostream &out) {
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
    if (!signed_file) return signed_file;
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
    return true;
}

}  // namespace tavrik
