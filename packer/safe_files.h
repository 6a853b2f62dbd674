#pragma once
// The packer's writes, made so that a link or a file planted by someone else
// cannot redirect them: the output of `pack` and the files of `extract`.
// The Linux and the Windows way sit side by side in safe_files.cpp.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "packer/byte_io.h"
#include "packer/result.h"

namespace tavrik {

// Which file a path leads to, following links: device and inode on Linux,
// volume serial number and file index on Windows.
struct FileIdentity {
    uint64_t volume = 0;
    uint64_t index = 0;
    bool operator==(const FileIdentity &other) const { return volume == other.volume && index == other.index; }
};

// Empty when nothing exists at `path`.
Result<std::optional<FileIdentity>> file_identity(const std::filesystem::path &path);

// Writes `content` to a new file beside `path` under a unique name, created
// exclusively (never through something already there, link or file), then
// renames it over `path`. Nothing is left behind on failure.
Result<bool> write_file_replacing(const std::filesystem::path &path, const Bytes &content);

// The directory `extract` writes below; it may act nowhere else. Every
// directory below it is opened one component at a time from the one above,
// refusing links (reparse points on Windows), and held open until the next
// file needs another; each file is created new, never opened.
class ExtractDirectory {
public:
    // Opens `directory`, creating it (and its parents) when missing. Refuses
    // a `directory` that is itself a symbolic link (on Windows, any reparse
    // point); unless `force`, refuses one that is not empty and, on Linux,
    // one that belongs to another user. With `force`, an existing file is
    // replaced: deleted, then created anew, so that another name of the same
    // file (a hard link) keeps its content.
    static Result<std::unique_ptr<ExtractDirectory>> open(const std::filesystem::path &directory, bool force);
    ~ExtractDirectory();

    // Starts the file `name` (a checked archive name, "\" between
    // components), creating its directories.
    Result<bool> begin_file(const std::u16string &name);
    Result<bool> write(const uint8_t *data, size_t size);
    Result<bool> end_file();

    struct State;

private:
    explicit ExtractDirectory(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

}  // namespace tavrik
