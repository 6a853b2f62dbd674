#include "packer/extract.h"

#include <system_error>

#include "packer/file_io.h"
#include "packer/path_text.h"
#include "packer/utf.h"

namespace tavrik {

namespace {

using std::filesystem::path;

Result<path> relative_path(const std::u16string &name) {
    path out;
    size_t start = 0;
    while (true) {
        const size_t end = name.find(u'\\', start);
        auto text = utf16_to_utf8(name.substr(start, end - start));
        if (!text) return Error{text.error()};
        auto part = path_from_utf8(*text);
        if (!part) return Error{part.error()};
        out /= *part;
        if (end == std::u16string::npos) return out;
        start = end + 1;
    }
}

Result<bool> write_entry(const path &directory, const ArchiveEntry &entry) {
    auto relative = relative_path(entry.name);
    if (!relative) return Error{relative.error()};
    path target = directory;
    std::error_code ec;
    for (auto part = relative->begin(); part != relative->end(); ++part) {
        target /= *part;
        const bool last = std::next(part) == relative->end();
        const auto status = std::filesystem::symlink_status(target, ec);
        if (std::filesystem::is_symlink(status)) {
            return Error{"refusing to write through the symbolic link " + shown_path(target)};
        }
        if (last) {
            if (std::filesystem::is_directory(status)) {
                return Error{"cannot write " + shown_path(target) + ": it is a directory"};
            }
        } else if (!std::filesystem::exists(status)) {
            if (!std::filesystem::create_directory(target, ec)) {
                return Error{"cannot create " + shown_path(target) + ": " + ec.message()};
            }
        } else if (!std::filesystem::is_directory(status)) {
            return Error{"cannot create " + shown_path(target) + ": a file is in the way"};
        }
    }
    return write_whole_file(target, entry.content);
}

}  // namespace

Result<size_t> extract_entries(const std::vector<ArchiveEntry> &entries, const path &directory, bool force) {
    auto checked = check_entries(entries);
    if (!checked) return Error{checked.error()};
    std::error_code ec;
    const auto status = std::filesystem::status(directory, ec);
    if (std::filesystem::exists(status)) {
        if (!std::filesystem::is_directory(status)) {
            return Error{shown_path(directory) + " exists and is not a directory"};
        }
        if (!force && !std::filesystem::is_empty(directory, ec)) {
            return Error{"directory " + shown_path(directory) + " is not empty (use --force to write into it)"};
        }
    } else {
        std::filesystem::create_directories(directory, ec);
        if (ec) return Error{"cannot create " + shown_path(directory) + ": " + ec.message()};
    }
    for (const auto &entry : entries) {
        auto written = write_entry(directory, entry);
        if (!written) return Error{written.error()};
    }
    return entries.size();
}

}  // namespace tavrik
