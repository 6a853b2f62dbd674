#pragma once
// Everything the packer does differently on Windows and on Linux, declared
// once: windows.cpp and posix.cpp each define all of it, and the build
// compiles the one for its system. Above all the packer's writes, made so
// that a link or a file planted by someone else cannot redirect them: the
// output of `pack` and the files of `extract`.

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "packer/base/byte_io.h"
#include "packer/base/result.h"

namespace tavrik {

// Paths to and from UTF-8 text without std::filesystem's own conversions.
// On Windows those go through std::codecvt, whose instances in the
// toolchain's libstdc++ do not link against the Universal CRT headers; on
// Linux a path already is its bytes.
Result<std::filesystem::path> path_from_utf8(const std::string &text);
Result<std::string> path_to_utf8(const std::filesystem::path &path);

// A path from plain ASCII text (fixed file names and suffixes).
std::filesystem::path ascii_path(const char *text);

// The path's own text, escaped by `printable` (packer/base/utf.h); see
// shown_path.
std::string printable_path_text(const std::filesystem::path &path);

// Reads go through C stdio (_wfopen on Windows): the toolchain's libstdc++
// was built for msvcrt, and its file streams crash under the Universal CRT
// the Windows build links. Null when the file cannot be opened.
std::FILE *open_for_reading(const std::filesystem::path &path);
// To `offset` from the start, past 2 GiB too; false on failure.
bool seek_file(std::FILE *file, uint64_t offset);
// The current offset; negative on failure.
int64_t tell_file(std::FILE *file);

// Whether standard error is a terminal (isatty; _isatty on Windows).
bool stderr_is_terminal();

// The running program's own path where the system tells it without argv[0]
// (/proc/self/exe on Linux); empty elsewhere.
std::filesystem::path running_executable_path();

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
// renames it over `path`. Refuses a `path` that exists and is neither a
// regular file nor a link (a FIFO, a device such as /dev/null, a
// directory), checked again right before the rename. Nothing is left behind
// on failure. On Linux an `executable` file gets mode 0777 less the umask
// (as a linker's output does), any other 0666 less the umask.
Result<bool> write_file_replacing(const std::filesystem::path &path, const Bytes &content, bool executable = false);

// The most bytes of UTF-8 a path component may take on this system:
// NAME_MAX (255) on POSIX; 0 on Windows, whose file systems count UTF-16
// units instead (max_component_units in packer/archive/names.h).
size_t native_component_byte_limit();

// The directory `extract` writes below; it may act nowhere else. Every
// directory below it is opened one component at a time from the one above,
// refusing links (reparse points on Windows), and held open until the next
// file needs another; each file is created new, never opened.
class ExtractDirectory {
public:
    // Opens `directory`, creating it (and its parents) when missing. Refuses
    // a `directory` that is itself a symbolic link (on Windows, any reparse
    // point), also when named with "." after it ("link/."), and on POSIX one
    // named with ".." after another component, which the system resolves
    // from wherever a link there leads. Unless `force`, refuses one that is
    // not empty and, on Linux, one that belongs to another user. With
    // `force`, an existing file is replaced by a new one, so that another
    // name of the same file (a hard link) keeps its content, and a link in
    // its place is replaced, never written through.
    static Result<std::unique_ptr<ExtractDirectory>> open(const std::filesystem::path &directory, bool force);
    ~ExtractDirectory();

    // Starts the file `name` (a checked archive name, "\" between
    // components), creating its directories.
    Result<bool> begin_file(const std::u16string &name);
    Result<bool> write(const uint8_t *data, size_t size);
    Result<bool> end_file();
    // Confirms that every directory written into is still where its name
    // says, below the directory, which is still the one opened: one moved
    // away meanwhile took files outside with it. Each directory is checked
    // when it is let go and the last ones here; an error when any moved.
    Result<bool> finish();

    struct State;

private:
    explicit ExtractDirectory(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

}  // namespace tavrik
