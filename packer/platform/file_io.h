#pragma once
// File reads through C stdio (see open_for_reading in
// packer/platform/platform.h for why).

#include <cstdio>
#include <filesystem>
#include <memory>

#include "packer/base/byte_io.h"
#include "packer/base/result.h"

namespace tavrik {

Result<Bytes> read_whole_file(const std::filesystem::path &path);

// A regular file read in pieces at given offsets, so that a large input is
// never held whole.
class InputFile {
public:
    static Result<InputFile> open(const std::filesystem::path &path);
    // The same reads over bytes already in memory, named `path` in messages
    // (the fuzzers read packed executables so, through the commands' code).
    static InputFile in_memory(Bytes contents, const std::filesystem::path &path);

    uint64_t size() const { return size_; }
    // Exactly `length` bytes at `offset`.
    Status read_at(uint64_t offset, uint8_t *out, size_t length) const;
    Result<Bytes> read_range(uint64_t offset, size_t length) const;

private:
    struct Close {
        void operator()(std::FILE *f) const { std::fclose(f); }
    };
    std::unique_ptr<std::FILE, Close> file_;
    Bytes contents_;              // what in_memory was given; file_ is then null
    std::filesystem::path path_;  // for messages
    uint64_t size_ = 0;
};

}  // namespace tavrik
