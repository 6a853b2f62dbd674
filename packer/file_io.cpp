#include "packer/file_io.h"

#include <fstream>
#include <system_error>

#include "packer/path_text.h"

namespace tavrik {

namespace {

std::string shown(const std::filesystem::path &path) { return shown_path(path); }

}  // namespace

Result<Bytes> read_whole_file(const std::filesystem::path &path) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) {
        return Error{"cannot read " + shown(path) + ": not an existing regular file"};
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) return Error{"cannot open " + shown(path)};
    Bytes content;
    char buffer[1 << 16];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
        content.insert(content.end(), buffer, buffer + in.gcount());
    }
    if (in.bad()) return Error{"error reading " + shown(path)};
    return content;
}

Result<bool> write_file_replacing(const std::filesystem::path &path, const Bytes &content) {
    std::filesystem::path temporary = path;
    temporary += ascii_path(".tmp");
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        if (!out) return Error{"cannot create " + shown(temporary)};
        out.write(reinterpret_cast<const char *>(content.data()),
                  static_cast<std::streamsize>(content.size()));
        out.close();
        if (!out) {
            std::error_code ignored;
            std::filesystem::remove(temporary, ignored);
            return Error{"error writing " + shown(temporary)};
        }
    }
    std::error_code ec;
    std::filesystem::rename(temporary, path, ec);
    if (ec) {
        std::error_code ignored;
        std::filesystem::remove(temporary, ignored);
        return Error{"cannot rename " + shown(temporary) + " to " + shown(path) + ": " + ec.message()};
    }
    return true;
}

}  // namespace tavrik
