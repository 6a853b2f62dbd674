// The platform's calls on Linux (and other POSIX systems): paths are their
// bytes, and the packer's writes go through descriptors opened with
// O_NOFOLLOW, each directory from the one above (openat).

#include "packer/platform/platform.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <system_error>
#include <vector>

#include "packer/base/utf.h"
#include "packer/platform/path_text.h"
#include "packer/platform/write_steps.h"

namespace tavrik {

using std::filesystem::path;
using write_steps::temporary_attempts;
using write_steps::temporary_beside;

Result<NativeText> native_name(const std::u16string &component) {
    auto text = utf16_to_utf8(component);
    if (!text) return Error{text.error()};
    return std::move(*text);
}

size_t native_component_byte_limit() { return NAME_MAX; }

Result<path> path_from_utf8(const std::string &text) { return path(text); }

Result<std::string> path_to_utf8(const path &p) { return p.native(); }

path ascii_path(const char *text) { return path(std::string(text)); }

std::string printable_path_text(const path &p) { return printable_utf8(p.native()); }

std::FILE *open_for_reading(const path &p) { return std::fopen(p.c_str(), "rb"); }

bool seek_file(std::FILE *file, uint64_t offset) { return fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0; }

int64_t tell_file(std::FILE *file) { return ftello(file); }

bool stderr_is_terminal() { return isatty(STDERR_FILENO) != 0; }

path running_executable_path() {
#ifdef __linux__
    std::error_code ec;
    auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (!ec) return self;
#endif
    return path();
}

namespace {

std::string system_error(int code) { return std::strerror(code); }

int fd_of(const Held &held) { return static_cast<int>(held.value()); }

constexpr int directory_flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
constexpr int new_file_flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;

bool directory_is_empty(int fd) {
    const int copy = ::dup(fd);
    if (copy < 0) return false;
    DIR *listing = ::fdopendir(copy);
    if (listing == nullptr) {
        ::close(copy);
        return false;
    }
    bool empty = true;
    while (const dirent *entry = ::readdir(listing)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
            empty = false;
            break;
        }
    }
    ::closedir(listing);
    return empty;
}

// The directory's path with its "." components and extra slashes dropped,
// so that its last component is the directory itself: O_NOFOLLOW looks at
// the last component only, and "link/." or "link/" would follow the link.
// A ".." after another component is refused, not dropped: the system
// resolves it from wherever a link before it leads.
Result<std::string> directory_text(const std::string &given, const std::string &shown) {
    std::string text = given.size() > 0 && given[0] == '/' ? "/" : "";
    bool named = false;
    size_t start = 0;
    while (start <= given.size()) {
        size_t end = given.find('/', start);
        if (end == std::string::npos) end = given.size();
        const std::string part = given.substr(start, end - start);
        start = end + 1;
        if (part.empty() || part == ".") continue;
        if (part == ".." && named) {
            return Error{"refusing to extract into " + shown + ": name the directory without \"..\" after another "
                         "component"};
        }
        named = named || part != "..";
        if (!text.empty() && text.back() != '/') text += '/';
        text += part;
    }
    return text.empty() ? std::string(".") : text;
}

}  // namespace

Result<std::optional<FileIdentity>> file_identity(const path &p) {
    struct stat st;
    if (::stat(p.c_str(), &st) != 0) {
        if (errno == ENOENT || errno == ENOTDIR) return std::optional<FileIdentity>();
        return Error{"cannot read the attributes of " + shown_path(p) + ": " + system_error(errno)};
    }
    FileIdentity identity;
    identity.volume = static_cast<uint64_t>(st.st_dev);
    identity.index = static_cast<uint64_t>(st.st_ino);
    return std::optional<FileIdentity>(identity);
}

namespace {

// A FIFO, a device or a directory at `target` is refused: renaming over it
// would put a regular file in place of /dev/null or a pipe someone reads.
Status replaceable(const path &target) {
    struct stat st;
    if (::lstat(target.c_str(), &st) != 0) {
        if (errno == ENOENT) return Status::done();
        return Error{"cannot read the attributes of " + shown_path(target) + ": " + system_error(errno)};
    }
    if (S_ISREG(st.st_mode) || S_ISLNK(st.st_mode)) return Status::done();
    return Error{"refusing to replace " + shown_path(target) + ": it is not a regular file or a symbolic link"};
}

}  // namespace

Status write_file_replacing(const path &target, const Bytes &content, bool executable) {
    auto checked = replaceable(target);
    if (!checked) return checked;
    path temporary;
    Held file;
    for (int attempt = 0; attempt < temporary_attempts && !file.valid(); ++attempt) {
        temporary = temporary_beside(target);
        // O_EXCL with O_NOFOLLOW fails on anything already there, a link
        // included, instead of writing through it.
        file = Held(::open(temporary.c_str(), new_file_flags, executable ? 0777 : 0666));
        if (!file.valid() && errno != EEXIST) break;
    }
    if (!file.valid()) return Error{"cannot create " + shown_path(temporary) + ": " + system_error(errno)};
    size_t done = 0;
    while (done < content.size()) {
        const ssize_t n = ::write(fd_of(file), content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    const bool closed = file.close();
    if (done != content.size() || !closed) {
        ::unlink(temporary.c_str());
        return Error{"error writing " + shown_path(temporary)};
    }
    checked = replaceable(target);
    if (!checked) {
        ::unlink(temporary.c_str());
        return checked;
    }
    if (::rename(temporary.c_str(), target.c_str()) != 0) {
        const int error = errno;
        ::unlink(temporary.c_str());
        return Error{"cannot rename " + shown_path(temporary) + " to " + shown_path(target) + ": " +
                     system_error(error)};
    }
    return Status::done();
}

bool Held::close() {
    if (value_ == -1) return true;
    const bool closed = ::close(static_cast<int>(value_)) == 0;
    value_ = -1;
    return closed;
}

NewFile::~NewFile() = default;

Result<HeldDirectory> open_extract_root(const path &directory, bool force) {
    const std::string shown = shown_path(directory);
    auto cleaned = directory_text(directory.native(), shown);
    if (!cleaned) return Error{cleaned.error()};
    const std::string &text = *cleaned;
    Held root(::open(text.c_str(), directory_flags));
    if (!root.valid() && errno == ENOENT) {
        // The parents are the user's to name: only the last component is
        // created here, then opened without following a link.
        const path parent = path(text).parent_path();
        std::error_code ec;
        if (!parent.empty()) std::filesystem::create_directories(parent, ec);
        if (ec) return Error{"cannot create " + shown + ": " + ec.message()};
        if (::mkdir(text.c_str(), 0777) != 0 && errno != EEXIST) {
            return Error{"cannot create " + shown + ": " + system_error(errno)};
        }
        root = Held(::open(text.c_str(), directory_flags));
    }
    if (!root.valid()) {
        const int error = errno;
        struct stat st;
        if (::lstat(text.c_str(), &st) == 0) {
            if (S_ISLNK(st.st_mode)) return Error{"refusing to extract into " + shown + ": it is a symbolic link"};
            if (!S_ISDIR(st.st_mode)) return Error{shown + " exists and is not a directory"};
        }
        return Error{"cannot open " + shown + ": " + system_error(error)};
    }
    if (!force) {
        struct stat st;
        if (::fstat(fd_of(root), &st) != 0) return Error{"cannot open " + shown + ": " + system_error(errno)};
        if (st.st_uid != ::geteuid()) {
            return Error{"directory " + shown + " belongs to another user (use --force to write into it)"};
        }
        if (!directory_is_empty(fd_of(root))) {
            return Error{"directory " + shown + " is not empty (use --force to write into it)"};
        }
    }
    HeldDirectory held;
    held.handle = std::move(root);
    held.text = text;
    return held;
}

namespace {

bool same_file(const struct stat &a, const struct stat &b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

}  // namespace

bool still_named(const HeldDirectory &parent, const NativeText &name, const HeldDirectory &held) {
    struct stat named, opened;
    return ::fstatat(fd_of(parent.handle), name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
           ::fstat(fd_of(held.handle), &opened) == 0 && same_file(named, opened);
}

bool root_still_named(const HeldDirectory &root) {
    struct stat named, opened;
    return ::lstat(root.text.c_str(), &named) == 0 && ::fstat(fd_of(root.handle), &opened) == 0 &&
           same_file(named, opened);
}

Result<HeldDirectory> open_directory_below(const HeldDirectory &above, const NativeText &name, const path &shown) {
    const int parent = fd_of(above.handle);
    const char *part = name.c_str();
    Held directory(::openat(parent, part, directory_flags));
    if (!directory.valid() && errno == ENOENT) {
        if (::mkdirat(parent, part, 0777) != 0 && errno != EEXIST) {
            return Error{"cannot create " + shown_path(shown) + ": " + system_error(errno)};
        }
        directory = Held(::openat(parent, part, directory_flags));
    }
    if (!directory.valid()) {
        const int error = errno;
        struct stat st;
        if (::fstatat(parent, part, &st, AT_SYMLINK_NOFOLLOW) == 0) {
            if (S_ISLNK(st.st_mode)) return Error{"refusing to write through the symbolic link " + shown_path(shown)};
            if (!S_ISDIR(st.st_mode)) return Error{"cannot create " + shown_path(shown) + ": a file is in the way"};
        }
        return Error{"cannot open " + shown_path(shown) + ": " + system_error(error)};
    }
    HeldDirectory held;
    held.handle = std::move(directory);
    return held;
}

Status create_file_below(const HeldDirectory &above, const NativeText &name, bool replace, const path &shown,
                               const path &, NewFile &out) {
    const int parent = fd_of(above.handle);
    const char *part = name.c_str();
    Held file(::openat(parent, part, new_file_flags, 0666));
    if (!file.valid() && errno == EEXIST) {
        struct stat st;
        if (::fstatat(parent, part, &st, AT_SYMLINK_NOFOLLOW) == 0) {
            if (S_ISLNK(st.st_mode)) return Error{"refusing to write through the symbolic link " + shown_path(shown)};
            if (S_ISDIR(st.st_mode)) return Error{"cannot write " + shown_path(shown) + ": it is a directory"};
        }
        if (!replace) return Error{"cannot write " + shown_path(shown) + ": it already exists"};
        // A new file, not the old one rewritten: another hard link to the
        // old file keeps its content.
        if (::unlinkat(parent, part, 0) != 0 && errno != ENOENT) {
            return Error{"cannot replace " + shown_path(shown) + ": " + system_error(errno)};
        }
        file = Held(::openat(parent, part, new_file_flags, 0666));
    }
    if (!file.valid()) return Error{"cannot create " + shown_path(shown) + ": " + system_error(errno)};
    out.handle = std::move(file);
    return Status::done();
}

Status write_all(NewFile &file, const uint8_t *data, size_t size, const path &shown) {
    while (size > 0) {
        const ssize_t n = ::write(fd_of(file.handle), data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return Error{"error writing " + shown_path(shown) + ": " + system_error(errno)};
        data += n;
        size -= static_cast<size_t>(n);
    }
    return Status::done();
}

Status close_new_file(NewFile &file, const path &shown) {
    if (!file.handle.close()) return Error{"error writing " + shown_path(shown) + ": " + system_error(errno)};
    return Status::done();
}

}  // namespace tavrik
