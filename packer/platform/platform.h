#pragma once
// Everything the packer does differently on Windows and on Linux, declared
// once: windows.cpp and posix.cpp each define all of it, and the build
// compiles the one for its system. Above all the packer's writes, made so
// that a link or a file planted by someone else cannot redirect them: the
// output of `pack` and the primitives of `extract`.

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

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
Status write_file_replacing(const std::filesystem::path &path, const Bytes &content, bool executable = false);

// The most bytes of UTF-8 a path component may take on this system:
// NAME_MAX (255) on POSIX; 0 on Windows, whose file systems count UTF-16
// units instead (max_component_units in packer/archive/names.h).
size_t native_component_byte_limit();

// Extraction's primitives: `extract` (packer/extraction/) builds its policy
// on them. Each acts below a directory held open and never follows a link;
// failures come back as one line naming the entry as `shown`.

// A descriptor (POSIX) or a handle (Windows) that closes itself; -1 is none.
class Held {
public:
    Held() = default;
    explicit Held(intptr_t value) : value_(value) {}
    Held(Held &&other) noexcept : value_(other.value_) { other.value_ = -1; }
    Held &operator=(Held &&other) noexcept {
        std::swap(value_, other.value_);
        return *this;
    }
    Held(const Held &) = delete;
    Held &operator=(const Held &) = delete;
    ~Held() { close(); }
    bool valid() const { return value_ != -1; }
    intptr_t value() const { return value_; }
    // Closes it now; false when the system reports a failure.
    bool close();

private:
    intptr_t value_ = -1;
};

// A name or path in the system's own text.
using NativeText = std::filesystem::path::string_type;

// A directory held open, with the path it was opened by (Windows opens the
// entries below it by path; POSIX keeps only the root's).
struct HeldDirectory {
    Held handle;
    NativeText text;
};

// A component of a checked archive name in the system's own text.
Result<NativeText> native_name(const std::u16string &component);

// Opens `directory`, creating it (and its parents) when missing. Refuses a
// `directory` that is itself a symbolic link (on Windows, any reparse
// point), also when named with "." after it ("link/."), and on POSIX one
// named with ".." after another component, which the system resolves from
// wherever a link there leads. Unless `force`, refuses one that is not empty
// and, on Linux, one that belongs to another user.
Result<HeldDirectory> open_extract_root(const std::filesystem::path &directory, bool force);

// The directory `name` below `parent`, created when missing; refuses a link
// there and a file in the way.
Result<HeldDirectory> open_directory_below(const HeldDirectory &parent, const NativeText &name,
                                           const std::filesystem::path &shown);

// Whether `held` is still the entry `name` of `parent`: Windows refuses to
// rename a directory held open without FILE_SHARE_DELETE, but a rename from
// the Unix side under Wine goes through, and POSIX refuses nothing.
bool still_named(const HeldDirectory &parent, const NativeText &name, const HeldDirectory &held);
// Whether the root is still the directory its path names (POSIX; Windows
// holds it so that it cannot be renamed).
bool root_still_named(const HeldDirectory &root);

// A file created new below a held directory. On Windows a file that
// replaces another is written under a temporary name and takes its name
// when closed; dropped before that, it is deleted.
struct NewFile {
    Held handle;
    NativeText temporary;   // Windows, while replacing: the name written
    NativeText final_name;  // and the one it takes when closed
    NewFile() = default;
    NewFile(const NewFile &) = delete;
    NewFile &operator=(const NewFile &) = delete;
    ~NewFile();
};

// Creates the file `name` below `parent` into `file`, never opening one
// that exists. With `replace`, an existing file is replaced by a new one, so
// that another name of the same file (a hard link) keeps its content, and a
// link in its place is replaced, never written through. `root` names the
// extraction's directory in messages.
Status create_file_below(const HeldDirectory &parent, const NativeText &name, bool replace,
                               const std::filesystem::path &shown, const std::filesystem::path &root, NewFile &file);
Status write_all(NewFile &file, const uint8_t *data, size_t size, const std::filesystem::path &shown);
// Closes the file and, when it replaces another, gives it its name.
Status close_new_file(NewFile &file, const std::filesystem::path &shown);

}  // namespace tavrik
