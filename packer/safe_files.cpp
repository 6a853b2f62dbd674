#include "packer/safe_files.h"

#include <random>
#include <system_error>
#include <vector>

#include "packer/path_text.h"
#include "packer/utf.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#endif

namespace tavrik {

namespace {

using std::filesystem::path;

#ifdef _WIN32
using NativeText = std::wstring;
#else
using NativeText = std::string;
#endif

// The components of a checked archive name in the platform's own text.
Result<std::vector<NativeText>> native_components(const std::u16string &name) {
    std::vector<NativeText> parts;
    size_t start = 0;
    while (true) {
        const size_t end = name.find(u'\\', start);
        const std::u16string part = name.substr(start, end - start);
#ifdef _WIN32
        parts.emplace_back(part.begin(), part.end());
#else
        auto text = utf16_to_utf8(part);
        if (!text) return Error{text.error()};
        parts.push_back(std::move(*text));
#endif
        if (end == std::u16string::npos) return parts;
        start = end + 1;
    }
}

// A unique name beside `target` for its temporary copy.
path temporary_beside(const path &target) {
    static std::random_device random_source;
    static const char hex[] = "0123456789abcdef";
    std::string suffix = ".tmp-";
    for (int i = 0; i < 4; ++i) {
        const uint32_t r = random_source();
        for (int shift = 0; shift < 32; shift += 4) suffix.push_back(hex[(r >> shift) & 0xF]);
    }
    path temporary = target;
    temporary += ascii_path(suffix.c_str());
    return temporary;
}

constexpr int temporary_attempts = 16;

// Closes the open directories of `chain` that the next file's directories
// (`parts` but its last) do not share; the ones it shares are reused.
// Returns how many are kept.
template <typename Chain>
size_t keep_shared_directories(Chain &chain, const std::vector<NativeText> &parts) {
    const size_t directories = parts.size() - 1;
    size_t keep = 0;
    while (keep < chain.size() && keep < directories && chain[keep].first == parts[keep]) ++keep;
    chain.resize(keep);
    return keep;
}

}  // namespace

#ifdef _WIN32

namespace {

std::string windows_error(DWORD code) {
    wchar_t *text = nullptr;
    const DWORD length =
        FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, code, 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr);
    std::u16string message;
    if (length != 0 && text != nullptr) message.assign(text, text + length);
    LocalFree(text);
    while (!message.empty() && (message.back() == u'\n' || message.back() == u'\r' || message.back() == u'.')) {
        message.pop_back();
    }
    return "[Error " + std::to_string(code) + "] " + printable(message);
}

struct Handle {
    HANDLE h = INVALID_HANDLE_VALUE;
    Handle() = default;
    explicit Handle(HANDLE handle) : h(handle) {}
    Handle(Handle &&other) noexcept : h(other.h) { other.h = INVALID_HANDLE_VALUE; }
    Handle &operator=(Handle &&other) noexcept {
        std::swap(h, other.h);
        return *this;
    }
    ~Handle() {
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
    bool valid() const { return h != INVALID_HANDLE_VALUE; }
};

// "\\?\" paths reach past MAX_PATH without the process opting in to long
// paths; they are taken as they are, so they must be absolute and clean.
Result<std::wstring> long_path(const path &p) {
    const std::wstring given = p.native();
    DWORD needed = GetFullPathNameW(given.c_str(), 0, nullptr, nullptr);
    if (needed == 0) return Error{"cannot resolve " + shown_path(p) + ": " + windows_error(GetLastError())};
    std::wstring full(needed, L'\0');
    const DWORD length = GetFullPathNameW(given.c_str(), needed, &full[0], nullptr);
    if (length == 0 || length >= needed) return Error{"cannot resolve " + shown_path(p)};
    full.resize(length);
    while (full.size() > 3 && full.back() == L'\\') full.pop_back();
    if (full.compare(0, 4, L"\\\\?\\") == 0) return full;
    if (full.compare(0, 2, L"\\\\") == 0) return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

// A directory held open with read sharing only: while the handle lives,
// nobody can rename, delete or replace the directory (that needs delete
// access) or open it for writing. FILE_FLAG_OPEN_REPARSE_POINT opens a link
// or junction itself instead of what it points to.
Handle open_directory_handle(const std::wstring &p) {
    return Handle(CreateFileW(p.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE, FILE_SHARE_READ,
                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                              nullptr));
}

DWORD attributes_of(const Handle &handle) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle.h, &info)) return INVALID_FILE_ATTRIBUTES;
    return info.dwFileAttributes;
}

bool is_reparse_point(DWORD attributes) {
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

bool is_directory(DWORD attributes) {
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::wstring final_path(const Handle &handle) {
    wchar_t buffer[32768];
    const DWORD length = GetFinalPathNameByHandleW(handle.h, buffer, 32768, FILE_NAME_NORMALIZED);
    if (length == 0 || length >= 32768) return std::wstring();
    return std::wstring(buffer, length);
}

}  // namespace

Result<std::optional<FileIdentity>> file_identity(const path &p) {
    Handle file(CreateFileW(p.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!file.valid()) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return std::optional<FileIdentity>();
        return Error{"cannot open " + shown_path(p) + ": " + windows_error(error)};
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(file.h, &info)) {
        return Error{"cannot read the attributes of " + shown_path(p) + ": " + windows_error(GetLastError())};
    }
    FileIdentity identity;
    identity.volume = info.dwVolumeSerialNumber;
    identity.index = (uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
    return std::optional<FileIdentity>(identity);
}

Result<bool> write_file_replacing(const path &target, const Bytes &content) {
    path temporary;
    Handle file;
    for (int attempt = 0; attempt < temporary_attempts && !file.valid(); ++attempt) {
        temporary = temporary_beside(target);
        // CREATE_NEW fails on anything already there, a link included.
        file = Handle(CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        if (!file.valid() && GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS) break;
    }
    if (!file.valid()) return Error{"cannot create " + shown_path(temporary) + ": " + windows_error(GetLastError())};
    size_t done = 0;
    while (done < content.size()) {
        const DWORD piece = static_cast<DWORD>(std::min<size_t>(content.size() - done, 1u << 30));
        DWORD written = 0;
        if (!WriteFile(file.h, content.data() + done, piece, &written, nullptr) || written == 0) break;
        done += written;
    }
    const bool closed = CloseHandle(file.h) != 0;
    file.h = INVALID_HANDLE_VALUE;
    if (done != content.size() || !closed) {
        DeleteFileW(temporary.c_str());
        return Error{"error writing " + shown_path(temporary)};
    }
    if (!MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        const DWORD error = GetLastError();
        DeleteFileW(temporary.c_str());
        return Error{"cannot rename " + shown_path(temporary) + " to " + shown_path(target) + ": " +
                     windows_error(error)};
    }
    return true;
}

struct ExtractDirectory::State {
    path shown_root;                 // as the user gave it, for messages
    std::wstring root;               // the same as a "\\?\" path
    Handle root_handle;
    bool replace = false;
    // The directories of the last file's name, each held open.
    std::vector<std::pair<std::wstring, Handle>> chain;
    Handle file;
    path file_shown;
};

Result<std::unique_ptr<ExtractDirectory>> ExtractDirectory::open(const path &directory, bool force) {
    auto root = long_path(directory);
    if (!root) return Error{root.error()};
    const std::string shown = shown_path(directory);
    Handle handle = open_directory_handle(*root);
    if (!handle.valid() && (GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND)) {
        std::error_code ec;
        if (directory.has_parent_path()) std::filesystem::create_directories(directory.parent_path(), ec);
        if (!CreateDirectoryW(root->c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
            return Error{"cannot create " + shown + ": " + windows_error(GetLastError())};
        }
        handle = open_directory_handle(*root);
    }
    if (!handle.valid()) return Error{"cannot open " + shown + ": " + windows_error(GetLastError())};
    const DWORD attributes = attributes_of(handle);
    if (is_reparse_point(attributes)) {
        return Error{"refusing to extract into " + shown + ": it is a reparse point (a link or junction)"};
    }
    if (!is_directory(attributes)) return Error{shown + " exists and is not a directory"};
    if (!force) {
        WIN32_FIND_DATAW found;
        const std::wstring pattern = *root + L"\\*";
        HANDLE search = FindFirstFileW(pattern.c_str(), &found);
        bool empty = true;
        if (search != INVALID_HANDLE_VALUE) {
            do {
                const std::wstring name = found.cFileName;
                if (name != L"." && name != L"..") empty = false;
            } while (empty && FindNextFileW(search, &found));
            FindClose(search);
        }
        if (!empty) return Error{"directory " + shown + " is not empty (use --force to write into it)"};
    }
    auto state = std::make_unique<State>();
    state->shown_root = directory;
    state->root = *root;
    state->root_handle = std::move(handle);
    state->replace = force;
    return std::unique_ptr<ExtractDirectory>(new ExtractDirectory(std::move(state)));
}

Result<bool> ExtractDirectory::begin_file(const std::u16string &name) {
    State &s = *state_;
    auto parts = native_components(name);
    if (!parts) return Error{parts.error()};
    const size_t directories = parts->size() - 1;
    const size_t keep = keep_shared_directories(s.chain, *parts);
    std::wstring at = s.root;
    path shown = s.shown_root;
    for (size_t i = 0; i < parts->size(); ++i) {
        at += L"\\" + (*parts)[i];
        shown /= path((*parts)[i]);
        if (i < keep) continue;
        if (i == directories) break;
        Handle directory = open_directory_handle(at);
        if (!directory.valid() &&
            (GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND)) {
            if (!CreateDirectoryW(at.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
                return Error{"cannot create " + shown_path(shown) + ": " + windows_error(GetLastError())};
            }
            directory = open_directory_handle(at);
        }
        if (!directory.valid()) return Error{"cannot open " + shown_path(shown) + ": " + windows_error(GetLastError())};
        const DWORD attributes = attributes_of(directory);
        if (is_reparse_point(attributes)) {
            return Error{"refusing to write through the reparse point " + shown_path(shown)};
        }
        if (!is_directory(attributes)) return Error{"cannot create " + shown_path(shown) + ": a file is in the way"};
        s.chain.emplace_back((*parts)[i], std::move(directory));
    }
    s.file_shown = shown;

    auto create = [&]() {
        return Handle(CreateFileW(at.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    };
    Handle file = create();
    if (!file.valid()) {
        const DWORD error = GetLastError();
        Handle existing(CreateFileW(at.c_str(), DELETE | FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        if (!existing.valid()) return Error{"cannot create " + shown_path(shown) + ": " + windows_error(error)};
        const DWORD attributes = attributes_of(existing);
        if (is_reparse_point(attributes)) {
            return Error{"refusing to write through the reparse point " + shown_path(shown)};
        }
        if (is_directory(attributes)) return Error{"cannot write " + shown_path(shown) + ": it is a directory"};
        if (!s.replace) return Error{"cannot write " + shown_path(shown) + ": it already exists"};
        // Deleted through the handle that was checked, so it is this file,
        // not whatever might take its name meanwhile.
        FILE_DISPOSITION_INFO disposition = {TRUE};
        if (!SetFileInformationByHandle(existing.h, FileDispositionInfo, &disposition, sizeof disposition)) {
            return Error{"cannot replace " + shown_path(shown) + ": " + windows_error(GetLastError())};
        }
        existing = Handle();
        file = create();
        if (!file.valid()) return Error{"cannot create " + shown_path(shown) + ": " + windows_error(GetLastError())};
    }
    // The directories above are held open and cannot be renamed; the one
    // thing left is a held, still empty directory turned into a junction
    // meanwhile. The file's real location tells where Windows can say it
    // (Wine cannot for paths past MAX_PATH); the directory's attributes
    // tell otherwise.
    const Handle &parent_handle = s.chain.empty() ? s.root_handle : s.chain.back().second;
    std::wstring parent = final_path(parent_handle);
    const std::wstring created = final_path(file);
    if (!parent.empty() && parent.back() == L'\\') parent.pop_back();  // a drive's root
    const bool inside =
        !parent.empty() && !created.empty()
            ? created.size() > parent.size() + 1 && created.compare(0, parent.size(), parent) == 0 &&
                  created[parent.size()] == L'\\' && created.find(L'\\', parent.size() + 1) == std::wstring::npos
            : is_directory(attributes_of(parent_handle)) && !is_reparse_point(attributes_of(parent_handle));
    if (!inside) {
        FILE_DISPOSITION_INFO disposition = {TRUE};
        SetFileInformationByHandle(file.h, FileDispositionInfo, &disposition, sizeof disposition);
        return Error{"refusing to write " + shown_path(shown) + ": it would land outside " + shown_path(s.shown_root)};
    }
    s.file = std::move(file);
    return true;
}

Result<bool> ExtractDirectory::write(const uint8_t *data, size_t size) {
    State &s = *state_;
    while (size > 0) {
        const DWORD piece = static_cast<DWORD>(std::min<size_t>(size, 1u << 30));
        DWORD written = 0;
        if (!WriteFile(s.file.h, data, piece, &written, nullptr) || written == 0) {
            return Error{"error writing " + shown_path(s.file_shown) + ": " + windows_error(GetLastError())};
        }
        data += written;
        size -= written;
    }
    return true;
}

Result<bool> ExtractDirectory::end_file() {
    State &s = *state_;
    const bool closed = CloseHandle(s.file.h) != 0;
    s.file.h = INVALID_HANDLE_VALUE;
    if (!closed) return Error{"error writing " + shown_path(s.file_shown)};
    return true;
}

#else

namespace {

std::string system_error(int code) { return std::strerror(code); }

struct Descriptor {
    int fd = -1;
    Descriptor() = default;
    explicit Descriptor(int d) : fd(d) {}
    Descriptor(Descriptor &&other) noexcept : fd(other.fd) { other.fd = -1; }
    Descriptor &operator=(Descriptor &&other) noexcept {
        std::swap(fd, other.fd);
        return *this;
    }
    ~Descriptor() {
        if (fd >= 0) ::close(fd);
    }
    bool valid() const { return fd >= 0; }
};

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

// Trailing slashes would make the kernel follow a link in the last
// component, whatever O_NOFOLLOW says.
std::string without_trailing_slashes(std::string text) {
    while (text.size() > 1 && text.back() == '/') text.pop_back();
    return text;
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

Result<bool> write_file_replacing(const path &target, const Bytes &content) {
    path temporary;
    Descriptor file;
    for (int attempt = 0; attempt < temporary_attempts && !file.valid(); ++attempt) {
        temporary = temporary_beside(target);
        // O_EXCL with O_NOFOLLOW fails on anything already there, a link
        // included, instead of writing through it.
        file = Descriptor(::open(temporary.c_str(), new_file_flags, 0666));
        if (!file.valid() && errno != EEXIST) break;
    }
    if (!file.valid()) return Error{"cannot create " + shown_path(temporary) + ": " + system_error(errno)};
    size_t done = 0;
    while (done < content.size()) {
        const ssize_t n = ::write(file.fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    const bool closed = ::close(file.fd) == 0;
    file.fd = -1;
    if (done != content.size() || !closed) {
        ::unlink(temporary.c_str());
        return Error{"error writing " + shown_path(temporary)};
    }
    if (::rename(temporary.c_str(), target.c_str()) != 0) {
        const int error = errno;
        ::unlink(temporary.c_str());
        return Error{"cannot rename " + shown_path(temporary) + " to " + shown_path(target) + ": " +
                     system_error(error)};
    }
    return true;
}

struct ExtractDirectory::State {
    path shown_root;  // as the user gave it, for messages
    Descriptor root;
    bool replace = false;
    // The directories of the last file's name, each opened from the one
    // before it (the first from `root`).
    std::vector<std::pair<std::string, Descriptor>> chain;
    Descriptor file;
    path file_shown;
};

Result<std::unique_ptr<ExtractDirectory>> ExtractDirectory::open(const path &directory, bool force) {
    const std::string text = without_trailing_slashes(directory.native());
    const std::string shown = shown_path(directory);
    Descriptor root(::open(text.c_str(), directory_flags));
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
        root = Descriptor(::open(text.c_str(), directory_flags));
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
        if (::fstat(root.fd, &st) != 0) return Error{"cannot open " + shown + ": " + system_error(errno)};
        if (st.st_uid != ::geteuid()) {
            return Error{"directory " + shown + " belongs to another user (use --force to write into it)"};
        }
        if (!directory_is_empty(root.fd)) {
            return Error{"directory " + shown + " is not empty (use --force to write into it)"};
        }
    }
    auto state = std::make_unique<State>();
    state->shown_root = directory;
    state->root = std::move(root);
    state->replace = force;
    return std::unique_ptr<ExtractDirectory>(new ExtractDirectory(std::move(state)));
}

Result<bool> ExtractDirectory::begin_file(const std::u16string &name) {
    State &s = *state_;
    auto parts = native_components(name);
    if (!parts) return Error{parts.error()};
    const size_t directories = parts->size() - 1;
    const size_t keep = keep_shared_directories(s.chain, *parts);
    path shown = s.shown_root;
    for (size_t i = 0; i < parts->size(); ++i) {
        shown /= path((*parts)[i]);
        if (i < keep) continue;
        if (i == directories) break;
        const int parent = s.chain.empty() ? s.root.fd : s.chain.back().second.fd;
        const char *part = (*parts)[i].c_str();
        Descriptor directory(::openat(parent, part, directory_flags));
        if (!directory.valid() && errno == ENOENT) {
            if (::mkdirat(parent, part, 0777) != 0 && errno != EEXIST) {
                return Error{"cannot create " + shown_path(shown) + ": " + system_error(errno)};
            }
            directory = Descriptor(::openat(parent, part, directory_flags));
        }
        if (!directory.valid()) {
            const int error = errno;
            struct stat st;
            if (::fstatat(parent, part, &st, AT_SYMLINK_NOFOLLOW) == 0) {
                if (S_ISLNK(st.st_mode)) {
                    return Error{"refusing to write through the symbolic link " + shown_path(shown)};
                }
                if (!S_ISDIR(st.st_mode)) return Error{"cannot create " + shown_path(shown) + ": a file is in the way"};
            }
            return Error{"cannot open " + shown_path(shown) + ": " + system_error(error)};
        }
        s.chain.emplace_back((*parts)[i], std::move(directory));
    }
    s.file_shown = shown;

    const int parent = s.chain.empty() ? s.root.fd : s.chain.back().second.fd;
    const char *part = parts->back().c_str();
    Descriptor file(::openat(parent, part, new_file_flags, 0666));
    if (!file.valid() && errno == EEXIST) {
        struct stat st;
        if (::fstatat(parent, part, &st, AT_SYMLINK_NOFOLLOW) == 0) {
            if (S_ISLNK(st.st_mode)) return Error{"refusing to write through the symbolic link " + shown_path(shown)};
            if (S_ISDIR(st.st_mode)) return Error{"cannot write " + shown_path(shown) + ": it is a directory"};
        }
        if (!s.replace) return Error{"cannot write " + shown_path(shown) + ": it already exists"};
        // A new file, not the old one rewritten: another hard link to the
        // old file keeps its content.
        if (::unlinkat(parent, part, 0) != 0 && errno != ENOENT) {
            return Error{"cannot replace " + shown_path(shown) + ": " + system_error(errno)};
        }
        file = Descriptor(::openat(parent, part, new_file_flags, 0666));
    }
    if (!file.valid()) return Error{"cannot create " + shown_path(shown) + ": " + system_error(errno)};
    s.file = std::move(file);
    return true;
}

Result<bool> ExtractDirectory::write(const uint8_t *data, size_t size) {
    State &s = *state_;
    while (size > 0) {
        const ssize_t n = ::write(s.file.fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return Error{"error writing " + shown_path(s.file_shown) + ": " + system_error(errno)};
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

Result<bool> ExtractDirectory::end_file() {
    State &s = *state_;
    const bool closed = ::close(s.file.fd) == 0;
    s.file.fd = -1;
    if (!closed) return Error{"error writing " + shown_path(s.file_shown) + ": " + system_error(errno)};
    return true;
}

#endif

ExtractDirectory::ExtractDirectory(std::unique_ptr<State> state) : state_(std::move(state)) {}

ExtractDirectory::~ExtractDirectory() = default;

}  // namespace tavrik
