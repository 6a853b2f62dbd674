#include "temp_dir.h"

#include <unistd.h>

#include <fstream>
#include <iterator>
#include <stdexcept>

namespace tavrik_test {

TempDir::TempDir() {
    static int counter = 0;
    path_ = std::filesystem::temp_directory_path() /
            ("tavrik-pack-test-" + std::to_string(getpid()) + "-" + std::to_string(counter++));
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::filesystem::path TempDir::write(const std::string &relative, const std::vector<uint8_t> &content) const {
    const auto file = path_ / relative;
    std::filesystem::create_directories(file.parent_path());
    std::ofstream out(file, std::ios::binary);
    out.write(reinterpret_cast<const char *>(content.data()), static_cast<std::streamsize>(content.size()));
    if (!out) throw std::runtime_error("cannot write " + file.string());
    return file;
}

std::filesystem::path TempDir::write(const std::string &relative, const std::string &content) const {
    return write(relative, std::vector<uint8_t>(content.begin(), content.end()));
}

std::vector<uint8_t> read_file(const std::filesystem::path &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path.string());
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace tavrik_test
