#include "packer/program/dependencies.h"

#include <algorithm>
#include <cstring>
#include <set>

#include "packer/archive/names.h"
#include "packer/base/utf.h"
#include "packer/pe/imports.h"
#include "packer/pe/pe_image.h"
#include "packer/program/system_dlls.h"

namespace tavrik {

namespace {

std::string ascii_lower(std::string text) {
    for (char &c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

bool starts_with(const std::string &text, const char *prefix) { return text.rfind(prefix, 0) == 0; }

// Import names are bytes; the loader compares them with file names ignoring
// case, as the archive's own names are compared.
std::u16string as_name(const std::string &dll) {
    auto wide = utf8_to_utf16(dll);
    if (wide) return *wide;
    return std::u16string(dll.begin(), dll.end());
}

// The MinGW toolchain's runtime DLLs: missing because the DLL was linked
// against them dynamically, which a static link avoids.
bool is_mingw_runtime(const std::string &lower) {
    return lower == "libstdc++-6.dll" || lower == "libgcc_s_seh-1.dll" || lower == "libwinpthread-1.dll";
}

// A DLL name for messages: printable ASCII as it is, everything else as
// <U+XXXX> (or <0xNN> for a byte that is not UTF-8), so that a name spelt
// with a look-alike (the Kelvin sign for "K") or ending in a space does not
// pass for another.
std::string shown_dll(const std::string &dll) {
    static const char digits[] = "0123456789ABCDEF";
    std::string shown;
    auto wide = utf8_to_utf16(dll);
    if (!wide) {
        for (unsigned char c : dll) {
            if (c >= 0x20 && c < 0x7F) shown += static_cast<char>(c);
            else shown += std::string("<0x") + digits[c >> 4] + digits[c & 15] + ">";
        }
        return shown;
    }
    for (size_t i = 0; i < wide->size(); ++i) {
        char32_t c = (*wide)[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < wide->size()) c = 0x10000 + ((c - 0xD800) << 10) + ((*wide)[++i] - 0xDC00);
        if (c >= 0x20 && c < 0x7F && !(c == ' ' && i + 1 == wide->size())) {
            shown += static_cast<char>(c);
            continue;
        }
        shown += "<U+";
        const int width = c > 0xFFFF ? 5 : 4;
        for (int shift = 4 * (width - 1); shift >= 0; shift -= 4) shown += digits[(c >> shift) & 15];
        shown += ">";
    }
    return shown;
}

struct Missing {
    std::u16string importer;
    std::string dll;
    bool delayed;
    bool application;
};

}  // namespace

bool is_system_dll(const std::string &name) {
    const std::string lower = ascii_lower(name);
    if (starts_with(lower, "api-ms-win-") || starts_with(lower, "ext-ms-")) return true;
    return std::binary_search(system_dll_names, system_dll_names + system_dll_count, lower,
                              [](const std::string &a, const std::string &b) { return a < b; });
}

Result<bool> check_dependencies(const std::vector<ArchiveEntry> &entries, const std::vector<std::string> &allowed) {
    std::set<std::u16string> packed;
    for (const auto &entry : entries) packed.insert(upcase_name(entry.name));
    std::set<std::string> allowed_lower;
    for (const auto &name : allowed) allowed_lower.insert(ascii_lower(name));

    std::vector<Missing> missing;
    for (size_t i = 0; i < entries.size(); ++i) {
        const ArchiveEntry &entry = entries[i];
        const bool application = i == 0;
        if (!application && (entry.content.size() < 2 || entry.content[0] != 'M' || entry.content[1] != 'Z')) continue;
        auto image = parse_pe_image(entry.content);
        if (!image) {
            if (application) return Error{"application " + shown_name(entry.name) + " cannot be read: " + image.error()};
            continue;  // a 32-bit image or data that starts with "MZ"
        }
        auto imports = imported_dlls(entry.content, *image);
        if (!imports) return Error{(application ? "application " : "packed file ") + shown_name(entry.name) + " has a " +
                                   imports.error()};
        const size_t slash = entry.name.rfind(u'\\');
        const std::u16string folder = slash == std::u16string::npos ? u"" : entry.name.substr(0, slash + 1);
        for (const auto &dll : *imports) {
            if (is_system_dll(dll.name) || allowed_lower.count(ascii_lower(dll.name))) continue;
            const std::u16string name = upcase_name(as_name(dll.name));
            if (packed.count(name) || packed.count(upcase_name(folder) + name)) continue;
            missing.push_back({entry.name, dll.name, dll.delayed, application});
        }
    }
    if (missing.empty()) return true;

    const Missing &first = missing.front();
    const std::string dll = "\"" + shown_dll(first.dll) + "\"";
    std::string message = (first.application ? "application " : "packed file ") + shown_name(first.importer) +
                          (first.delayed ? " delay-loads " : " imports ") + dll + ", which is not packed";
    if (is_mingw_runtime(ascii_lower(first.dll))) {
        message += "; it is the MinGW runtime: link it in statically (-static-libgcc -static-libstdc++, or -static)"
                   " or pack it";
    } else {
        const std::string hint = shown_dll(first.dll);
        message += "; pack it, or give --allow-missing " + (hint == first.dll ? hint : dll) +
                   " if the user's machine provides it";
    }
    if (missing.size() > 1) {
        message += " (" + std::to_string(missing.size() - 1) + " more missing:";
        constexpr size_t shown_at_most = 8;
        for (size_t i = 1; i < missing.size() && i <= shown_at_most; ++i) {
            message += " \"" + shown_dll(missing[i].dll) + "\"";
        }
        if (missing.size() > shown_at_most + 1) message += " ...";
        message += ")";
    }
    return Error{message};
}

}  // namespace tavrik
