// list: the files a packed executable holds and what it says of itself.

#include <cstdio>
#include <ostream>

#include "packer/archive/names.h"
#include "packer/base/utf.h"
#include "packer/cli/commands.h"
#include "packer/packed/packed_file.h"
#include "packer/platform/path_text.h"
#include "packer/program/cached_mode.h"
#include "packer/program/identity.h"

namespace tavrik {

namespace {

// Prints each file as it is decoded, or (for JSON) keeps it for the end.
class Lister : public ArchiveVisitor {
public:
    Lister(std::ostream &out, bool keep) : out_(out), keep_(keep) {}
    Status begin_file(const std::u16string &name, uint64_t size) override {
        if (keep_) {
            files.emplace_back(name, size);
        } else {
            out_ << size << ' ' << printable(name) << '\n';
        }
        return Status::done();
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

}  // namespace

// Lines appear as the archive is decoded: a damaged archive without a
// digest shows what came before the damage, then fails.
Status list(const PackOptions &options, std::ostream &out) {
    auto packed = PackedFile::open(options.packed);
    if (!packed) return Error{packed.error()};
    return list_packed(*packed, out, options.json);
}

Status list_packed(const PackedFile &packed, std::ostream &out, bool json) {
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
        return Status::done();
    }
    for (const auto &line : *identity) out << printable_utf8(line) << '\n';
    out << printable_utf8(mode->line()) << '\n';
    return Status::done();
}

}  // namespace tavrik
