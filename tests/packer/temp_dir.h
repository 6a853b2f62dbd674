#pragma once
// A fresh directory per test, removed with everything in it afterwards.

#include <filesystem>
#include <string>
#include <vector>

namespace tavrik_test {

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::filesystem::path &path() const { return path_; }
    std::filesystem::path write(const std::string &relative, const std::vector<uint8_t> &content) const;
    std::filesystem::path write(const std::string &relative, const std::string &content) const;

private:
    std::filesystem::path path_;
};

std::vector<uint8_t> read_file(const std::filesystem::path &path);

}  // namespace tavrik_test
