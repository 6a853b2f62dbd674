#include "packer/input_files.h"

#include <algorithm>
#include <system_error>
#include <utility>

#include "packer/file_io.h"
#include "packer/path_text.h"
#include "packer/utf.h"

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

Result<bool> add_directory(const path &dir, std::vector<ArchiveEntry> &entries) {
    std::vector<std::pair<std::u16string, path>> found;
    std::error_code ec;
    std::filesystem::recursive_directory_iterator it(dir, ec), end;
    for (; !ec && it != end; it.increment(ec)) {
        const path &file = it->path();
        if (it->is_directory(ec)) continue;
        if (!it->is_regular_file(ec)) {
            return Error{"not a regular file: " + shown_path(file)};
        }
        auto name = name_of(file.lexically_relative(dir));
        if (!name) return Error{name.error()};
        found.emplace_back(std::move(*name), file);
    }
    if (ec) return Error{"cannot list " + shown_path(dir) + ": " + ec.message()};
    std::sort(found.begin(), found.end());
    for (const auto &item : found) {
        auto content = read_whole_file(item.second);
        if (!content) return Error{content.error()};
        entries.push_back(ArchiveEntry{item.first, std::move(*content)});
    }
    return true;
}

}  // namespace

Result<std::vector<ArchiveEntry>> collect_entries(const path &app_dll, const std::vector<path> &inputs) {
    std::vector<ArchiveEntry> entries;
    auto app = file_entry(app_dll, app_dll.filename());
    if (!app) return Error{app.error()};
    entries.push_back(std::move(*app));
    for (const auto &input : inputs) {
        std::error_code ec;
        if (std::filesystem::is_directory(input, ec)) {
            auto added = add_directory(input, entries);
            if (!added) return Error{added.error()};
        } else {
            auto entry = file_entry(input, input.filename());
            if (!entry) return Error{entry.error()};
            entries.push_back(std::move(*entry));
        }
    }
    return entries;
}

}  // namespace tavrik
