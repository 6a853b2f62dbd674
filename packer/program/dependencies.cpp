#include "packer/program/dependencies.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <set>
#include <system_error>

#include "packer/archive/names.h"
#include "packer/base/utf.h"
#include "packer/pe/imports.h"
#include "packer/pe/pe_image.h"
#include "packer/platform/file_io.h"
#include "packer/platform/path_text.h"
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
// against them dynamically, which a static link avoids. Each needs its own
// flag: -static-libgcc and -static-libstdc++ leave winpthreads a DLL.
struct RuntimeAdvice {
    const char *dll;
    const char *flags;
};
const RuntimeAdvice mingw_runtimes[] = {
    {"libstdc++-6.dll", "-static-libstdc++, or -static"},
    {"libgcc_s_seh-1.dll", "-static-libgcc, or -static"},
    {"libwinpthread-1.dll", "-static, or -Wl,-Bstatic -lwinpthread"},
};

const char *mingw_runtime_flags(const std::string &lower) {
    for (const auto &runtime : mingw_runtimes) {
        if (lower == runtime.dll) return runtime.flags;
    }
    return nullptr;
}

// DLLs only a program with windows (or one that draws) imports.
const char *const window_system_dlls[] = {
    "comctl32.dll", "comdlg32.dll", "d2d1.dll",  "d3d11.dll",   "d3d12.dll",  "d3d9.dll",  "dwmapi.dll",
    "dxgi.dll",     "gdi32.dll",    "gdiplus.dll", "opengl32.dll", "user32.dll", "uxtheme.dll",
};

// The folder part of an archive name, with its final "\", or empty.
std::u16string folder_of(const std::u16string &name) {
    const size_t slash = name.rfind(u'\\');
    return slash == std::u16string::npos ? u"" : name.substr(0, slash + 1);
}

// What the packed images can already load: every archive name, upper-cased.
struct Available {
    std::set<std::u16string> packed;
    std::set<std::string> allowed_lower;

    Available(const std::vector<ArchiveEntry> &entries, const std::vector<std::string> &allowed) {
        for (const auto &entry : entries) packed.insert(upcase_name(entry.name));
        for (const auto &name : allowed) allowed_lower.insert(ascii_lower(name));
    }
    // Whether `dll`, imported by the file named `importer`, is found: part of
    // Windows, allowed, at the top of the archive or beside `importer`.
    bool has(const std::string &dll, const std::u16string &importer) const {
        if (is_system_dll(dll) || allowed_lower.count(ascii_lower(dll))) return true;
        const std::u16string name = upcase_name(as_name(dll));
        return packed.count(name) || packed.count(upcase_name(folder_of(importer)) + name);
    }
};

// A file that looks like an image: data that does not is not read.
bool looks_like_image(const Bytes &content) { return content.size() >= 2 && content[0] == 'M' && content[1] == 'Z'; }

// A file --dll-path offers: its name (as the archive will have it) and path.
struct Offered {
    std::u16string name;
    std::filesystem::path file;
};

// Where --dll-path finds each DLL by name: the folders' files (not below)
// and the files given, the first of a name winning, names compared
// ignoring case as the loader compares them.
Result<std::map<std::u16string, Offered>> dll_index(const std::vector<std::filesystem::path> &dll_paths,
                                                    std::vector<std::filesystem::path> &walked) {
    std::map<std::u16string, Offered> index;
    const auto offer = [&index](const std::filesystem::path &file) {
        auto name = path_to_utf8(file.filename());
        auto wide = name ? utf8_to_utf16(*name) : Result<std::u16string>(Error{name.error()});
        // A name that is not Unicode is no name a Windows image imports.
        if (wide) index.emplace(upcase_name(*wide), Offered{*wide, file});
    };
    for (const auto &given : dll_paths) {
        std::error_code ec;
        if (std::filesystem::is_directory(given, ec)) {
            walked.push_back(given);
            std::filesystem::directory_iterator it(given, ec), end;
            std::vector<std::filesystem::path> files;
            for (; !ec && it != end; it.increment(ec)) {
                std::error_code type_ec;
                if (it->is_regular_file(type_ec)) files.push_back(it->path());
            }
            if (ec) return Error{"--dll-path " + shown_path(given) + ": cannot list it: " + ec.message()};
            // Listing order is the file system's; which file wins a name
            // (two differing only in case) must not depend on it.
            std::sort(files.begin(), files.end());
            for (const auto &file : files) offer(file);
        } else if (std::filesystem::is_regular_file(given, ec)) {
            offer(given);
        } else {
            return Error{"--dll-path " + shown_path(given) + " does not exist"};
        }
    }
    return index;
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

Result<std::vector<CollectedDll>> collect_dlls(std::vector<ArchiveEntry> &entries,
                                               const std::vector<std::filesystem::path> &dll_paths,
                                               const std::vector<std::string> &allowed,
                                               std::vector<std::filesystem::path> &walked) {
    std::vector<CollectedDll> collected;
    if (dll_paths.empty() || entries.empty()) return collected;
    auto index = dll_index(dll_paths, walked);
    if (!index) return Error{index.error()};
    Available available(entries, allowed);
    // Every image is read once, those collected after those given; each
    // name is collected once, so DLLs that import each other end, and at
    // most as many as the index holds.
    for (size_t i = 0; i < entries.size(); ++i) {
        if (i > 0 && !looks_like_image(entries[i].content)) continue;
        auto image = parse_pe_image(entries[i].content);
        if (!image) continue;  // check_dependencies says why, for the application
        auto imports = imported_dlls(entries[i].content, *image);
        if (!imports) continue;
        const std::u16string importer = entries[i].name;
        for (const auto &dll : *imports) {
            if (available.has(dll.name, importer)) continue;
            const auto found = index->find(upcase_name(as_name(dll.name)));
            if (found == index->end()) continue;
            const Offered &offered = found->second;
            auto content = read_whole_file(offered.file);
            if (!content) return Error{content.error()};
            auto found_image = parse_pe_image(*content);
            if (!found_image) {
                return Error{"--dll-path file " + shown_path(offered.file) + ", imported by " + shown_name(importer) +
                             ", is not a 64-bit Windows DLL: " + found_image.error()};
            }
            walked.push_back(offered.file);
            available.packed.insert(upcase_name(offered.name));
            collected.push_back({offered.name, offered.file, importer});
            entries.push_back(ArchiveEntry{offered.name, std::move(*content)});
        }
    }
    // The archive keeps all but the application sorted by name.
    std::stable_sort(entries.begin() + 1, entries.end(),
                     [](const ArchiveEntry &a, const ArchiveEntry &b) { return a.name < b.name; });
    return collected;
}

bool imports_window_system(const std::vector<ArchiveEntry> &entries) {
    for (size_t i = 0; i < entries.size(); ++i) {
        if (i > 0 && !looks_like_image(entries[i].content)) continue;
        auto image = parse_pe_image(entries[i].content);
        if (!image) continue;
        auto imports = imported_dlls(entries[i].content, *image);
        if (!imports) continue;
        for (const auto &dll : *imports) {
            const std::string lower = ascii_lower(dll.name);
            for (const char *window_dll : window_system_dlls) {
                if (lower == window_dll) return true;
            }
        }
    }
    return false;
}

Status check_dependencies(const std::vector<ArchiveEntry> &entries, const std::vector<std::string> &allowed,
                                bool searched) {
    const Available available(entries, allowed);
    std::vector<Missing> missing;
    for (size_t i = 0; i < entries.size(); ++i) {
        const ArchiveEntry &entry = entries[i];
        const bool application = i == 0;
        if (!application && !looks_like_image(entry.content)) continue;
        auto image = parse_pe_image(entry.content);
        if (!image) {
            if (application) return Error{"application " + shown_name(entry.name) + " cannot be read: " + image.error()};
            continue;  // a 32-bit image or data that starts with "MZ"
        }
        auto imports = imported_dlls(entry.content, *image);
        if (!imports) return Error{(application ? "application " : "packed file ") + shown_name(entry.name) + " has a " +
                                   imports.error()};
        for (const auto &dll : *imports) {
            if (available.has(dll.name, entry.name)) continue;
            missing.push_back({entry.name, dll.name, dll.delayed, application});
        }
    }
    if (missing.empty()) return Status::done();

    const Missing &first = missing.front();
    const std::string dll = "\"" + shown_dll(first.dll) + "\"";
    std::string message = (first.application ? "application " : "packed file ") + shown_name(first.importer) +
                          (first.delayed ? " delay-loads " : " imports ") + dll + ", which is not packed" +
                          (searched ? " nor in a --dll-path folder" : "");
    if (const char *flags = mingw_runtime_flags(ascii_lower(first.dll))) {
        message += std::string("; it is the MinGW runtime: link it in statically (") + flags + ") or pack it";
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
