#include "packer/program/input_files.h"

#include <algorithm>
#include <system_error>
#include <utility>

#include "packer/base/file_io.h"
#include "packer/base/path_text.h"
#include "packer/base/utf.h"
#include "packer/platform/platform.h"

namespace tavrik {

namespace {

using std::filesystem::path;

Result<std::u16string> name_of(const path &relative) {
    std::string joined;
    for (const auto &part : relative) {
        auto converted = path_to_utf8(part);
        if (!converted) return Error{converted.error() + ": " + shown_path(relative)};
        const std::string &text = *converted;
        // On Linux "\" is an ordinary file name character; packed, it would
        // turn into a directory separator.
        if (text.find('\\') != std::string::npos) {
            return Error{"file name contains \"\\\": " + shown_path(relative)};
        }
        if (!joined.empty()) joined += '\\';
        joined += text;
    }
    return utf8_to_utf16(joined);
}

Result<ArchiveEntry> file_entry(const path &file, const path &relative) {
    auto name = name_of(relative);
    if (!name) return Error{name.error()};
    auto content = read_whole_file(file);
    if (!content) return Error{content.error()};
    return ArchiveEntry{std::move(*name), std::move(*content)};
}

using Found = std::vector<std::pair<std::u16string, path>>;

Result<bool> add_directory(const path &dir, Found &found, std::vector<path> *walked) {
    if (walked) walked->push_back(dir);
    std::error_code ec;
    std::filesystem::recursive_directory_iterator it(dir, ec), end;
    for (; !ec && it != end; it.increment(ec)) {
        const path &file = it->path();
        // Links to directories are not followed (they may form loops); say
        // so rather than leave their files out silently.
        if (it->is_symlink(ec) && it->is_directory(ec)) {
            return Error{"link to a directory is not followed: " + shown_path(file)};
        }
        if (it->is_directory(ec)) {
            if (walked) walked->push_back(file);
            continue;
        }
        if (!it->is_regular_file(ec)) {
            return Error{"not a regular file: " + shown_path(file)};
        }
        auto name = name_of(file.lexically_relative(dir));
        if (!name) return Error{name.error()};
        found.emplace_back(std::move(*name), file);
    }
    if (ec) return Error{"cannot list " + shown_path(dir) + ": " + ec.message()};
    return true;
}

Result<bool> must_exist(const path &input, const char *role) {
    std::error_code ec;
    if (!std::filesystem::exists(input, ec)) return Error{std::string(role) + " " + shown_path(input) + " does not exist"};
    return true;
}

}  // namespace

Result<std::vector<ArchiveEntry>> collect_entries(const path &app_dll, const std::vector<path> &inputs,
                                                  const path &output, std::vector<path> *walked) {
    auto exists = must_exist(app_dll, "application");
    if (!exists) return Error{exists.error()};
    std::error_code ec;
    if (std::filesystem::is_directory(app_dll, ec)) {
        return Error{"application " + shown_path(app_dll) + " is a directory, not a DLL"};
    }
    Found found;
    for (const auto &input : inputs) {
        exists = must_exist(input, "input");
        if (!exists) return Error{exists.error()};
        if (std::filesystem::is_directory(input, ec)) {
            auto added = add_directory(input, found, walked);
            if (!added) return Error{added.error()};
        } else {
            auto name = name_of(input.filename());
            if (!name) return Error{name.error()};
            found.emplace_back(std::move(*name), input);
        }
    }
    // Sorted by name, compared as UTF-16 code units; equal names keep
    // their command-line order (and are refused later as duplicates).
    std::stable_sort(found.begin(), found.end(),
                     [](const auto &a, const auto &b) { return a.first < b.first; });

    if (!output.empty()) {
        auto output_identity = file_identity(output);
        if (!output_identity) return Error{output_identity.error()};
        if (*output_identity) {
            std::vector<path> sources = {app_dll};
            for (const auto &item : found) sources.push_back(item.second);
            for (const auto &source : sources) {
                auto identity = file_identity(source);
                if (!identity) return Error{identity.error()};
                if (*identity == *output_identity) {
                    return Error{"output " + shown_path(output) + " is the input " + shown_path(source) +
                                 "; write the executable elsewhere"};
                }
            }
        }
    }

    std::vector<ArchiveEntry> entries;
    auto app = file_entry(app_dll, app_dll.filename());
    if (!app) return Error{app.error()};
    entries.push_back(std::move(*app));
    if (walked) walked->push_back(app_dll);
    for (const auto &item : found) {
        if (walked) walked->push_back(item.second);
        auto content = read_whole_file(item.second);
        if (!content) return Error{content.error()};
        entries.push_back(ArchiveEntry{item.first, std::move(*content)});
    }
    return entries;
}

}  // namespace tavrik
