#include "packer/file_io.h"

#include <cstdio>
#include <memory>
#include <system_error>

#include "packer/path_text.h"

namespace tavrik {

namespace {

struct FileClose {
    void operator()(std::FILE *f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileClose>;

File open_file(const std::filesystem::path &path, bool for_writing) {
#ifdef _WIN32
    return File(_wfopen(path.c_str(), for_writing ? L"wb" : L"rb"));
#else
    return File(std::fopen(path.c_str(), for_writing ? "wb" : "rb"));
#endif
}

}  // namespace

Result<Bytes> read_whole_file(const std::filesystem::path &path) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) {
        return Error{"cannot read " + shown_path(path) + ": not an existing regular file"};
    }
    File in = open_file(path, false);
    if (!in) return Error{"cannot open " + shown_path(path)};
    Bytes content;
    const auto expected = std::filesystem::file_size(path, ec);
    if (!ec) content.reserve(expected);
    uint8_t buffer[1 << 16];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, in.get())) > 0) content.insert(content.end(), buffer, buffer + n);
    if (std::ferror(in.get())) return Error{"error reading " + shown_path(path)};
    return content;
}

Result<bool> write_whole_file(const std::filesystem::path &path, const Bytes &content) {
    File out = open_file(path, true);
    if (!out) return Error{"cannot create " + shown_path(path)};
    const bool written = std::fwrite(content.data(), 1, content.size(), out.get()) == content.size();
    const bool closed = std::fclose(out.release()) == 0;
    if (!written || !closed) return Error{"error writing " + shown_path(path)};
    return true;
}

Result<bool> write_file_replacing(const std::filesystem::path &path, const Bytes &content) {
    std::filesystem::path temporary = path;
    temporary += ascii_path(".tmp");
    auto written = write_whole_file(temporary, content);
    if (!written) {
        std::error_code ignored;
        std::filesystem::remove(temporary, ignored);
        return written;
    }
    std::error_code ec;
    std::filesystem::rename(temporary, path, ec);
    if (ec) {
        std::error_code ignored;
        std::filesystem::remove(temporary, ignored);
        return Error{"cannot rename " + shown_path(temporary) + " to " + shown_path(path) + ": " + ec.message()};
    }
    return true;
}

}  // namespace tavrik
