#include "packer/platform/file_io.h"

#include <algorithm>
#include <system_error>

#include "packer/platform/path_text.h"
#include "packer/platform/platform.h"

namespace tavrik {

Result<InputFile> InputFile::open(const std::filesystem::path &path) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) {
        return Error{"cannot read " + shown_path(path) + ": not an existing regular file"};
    }
    InputFile input;
    input.file_.reset(open_for_reading(path));
    if (!input.file_) return Error{"cannot open " + shown_path(path)};
    input.path_ = path;
    // The size of what was opened, not of whatever the path names by now.
    if (!seek_file(input.file_.get(), 0) || std::fseek(input.file_.get(), 0, SEEK_END) != 0) {
        return Error{"cannot read " + shown_path(path)};
    }
    const int64_t end = tell_file(input.file_.get());
    if (end < 0) return Error{"cannot read " + shown_path(path)};
    input.size_ = static_cast<uint64_t>(end);
    return input;
}

InputFile InputFile::in_memory(Bytes contents, const std::filesystem::path &path) {
    InputFile input;
    input.size_ = contents.size();
    input.contents_ = std::move(contents);
    input.path_ = path;
    return input;
}

Status InputFile::read_at(uint64_t offset, uint8_t *out, size_t length) const {
    if (!range_fits(size_, offset, length)) return Error{"unexpected end of " + shown_path(path_)};
    if (length == 0) return Status::done();
    if (!file_) {
        std::copy(contents_.begin() + static_cast<ptrdiff_t>(offset),
                  contents_.begin() + static_cast<ptrdiff_t>(offset + length), out);
        return Status::done();
    }
    if (!seek_file(file_.get(), offset) || std::fread(out, 1, length, file_.get()) != length) {
        return Error{"error reading " + shown_path(path_)};
    }
    return Status::done();
}

Result<Bytes> InputFile::read_range(uint64_t offset, size_t length) const {
    if (!range_fits(size_, offset, length)) return Error{"unexpected end of " + shown_path(path_)};
    Bytes out(length);
    auto read = read_at(offset, out.data(), length);
    if (!read) return Error{read.error()};
    return out;
}

Result<Bytes> read_whole_file(const std::filesystem::path &path) {
    auto input = InputFile::open(path);
    if (!input) return Error{input.error()};
    if (input->size() > SIZE_MAX) return Error{shown_path(path) + " is too large to read"};
    return input->read_range(0, static_cast<size_t>(input->size()));
}

}  // namespace tavrik
