// The platform's calls on Windows: wide paths, C stdio through the
// Universal CRT, and the packer's writes through handles that are never
// opened through a link (FILE_FLAG_OPEN_REPARSE_POINT).

#include "packer/platform/platform.h"

#include <windows.h>
#include <io.h>

#include <cstdio>
#include <system_error>
#include <vector>

#include "packer/base/upcase.h"
#include "packer/base/utf.h"
#include "packer/platform/path_text.h"
#include "packer/platform/write_steps.h"

namespace tavrik {

using std::filesystem::path;
using write_steps::temporary_attempts;
using write_steps::temporary_beside;

Result<NativeText> native_name(const std::u16string &component) {
    return NativeText(component.begin(), component.end());
}

size_t native_component_byte_limit() { return 0; }

Result<path> path_from_utf8(const std::string &text) {
    auto wide = utf8_to_utf16(text);
    if (!wide) return Error{wide.error()};
    return path(std::wstring(wide->begin(), wide->end()));
}

Result<std::string> path_to_utf8(const path &p) {
    const std::wstring &native = p.native();
    return utf16_to_utf8(std::u16string(native.begin(), native.end()));
}

path ascii_path(const char *text) {
    std::wstring wide;
    for (; *text; ++text) wide.push_back(static_cast<wchar_t>(static_cast<unsigned char>(*text)));
    return path(wide);
}

std::string printable_path_text(const path &p) {
    const std::wstring &native = p.native();
    return printable(std::u16string(native.begin(), native.end()));
}

std::FILE *open_for_reading(const path &p) { return _wfopen(p.c_str(), L"rb"); }

bool seek_file(std::FILE *file, uint64_t offset) {
    return _fseeki64(file, static_cast<__int64>(offset), SEEK_SET) == 0;
}

int64_t tell_file(std::FILE *file) { return _ftelli64(file); }

bool stderr_is_terminal() { return _isatty(_fileno(stderr)) != 0; }

path running_executable_path() { return path(); }

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

// The path's own attributes, not those of what a link there leads to:
// under Wine a handle opened on a Unix symbolic link, even with
// FILE_FLAG_OPEN_REPARSE_POINT, is the target's, with the target's
// attributes, while GetFileAttributesW shows a link to a directory as a
// reparse point.
bool path_is_reparse_point(const std::wstring &p) { return is_reparse_point(GetFileAttributesW(p.c_str())); }

// Whether `directory`, held open, is where `parent` (held open) and
// `component` say: its final path is the parent's and the component
// (compared as Windows compares names). A link that Windows or Wine did
// not show as one resolves elsewhere. True when either final path is not
// available (Wine gives none past MAX_PATH).
bool where_expected(const Handle &directory, const Handle &parent, const std::wstring &component) {
    std::wstring above = final_path(parent);
    const std::wstring here = final_path(directory);
    if (above.empty() || here.empty()) return true;
    if (above.back() == L'\\') above.pop_back();  // a drive's root
    const std::wstring expected = above + L"\\" + component;
    return upcase_name(std::u16string(here.begin(), here.end())) ==
           upcase_name(std::u16string(expected.begin(), expected.end()));
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

Status write_file_replacing(const path &target, const Bytes &content, bool) {
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
    return Status::done();
}

bool Held::close() {
    if (value_ == -1) return true;
    const bool closed = CloseHandle(reinterpret_cast<HANDLE>(value_)) != 0;
    value_ = -1;
    return closed;
}

NewFile::~NewFile() {
    if (temporary.empty()) return;
    handle.close();
    DeleteFileW(temporary.c_str());
}

namespace {

HANDLE handle_of(const Held &held) { return reinterpret_cast<HANDLE>(held.value()); }

Held held(Handle &&handle) {
    Held taken(reinterpret_cast<intptr_t>(handle.h));
    handle.h = INVALID_HANDLE_VALUE;
    return taken;
}

// A view of a held handle for the helpers above; never closes it.
struct Borrowed {
    Handle handle;
    explicit Borrowed(const Held &h) : handle(handle_of(h)) {}
    ~Borrowed() { handle.h = INVALID_HANDLE_VALUE; }
};

}  // namespace

Result<HeldDirectory> open_extract_root(const path &directory, bool force) {
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
    if (is_reparse_point(attributes) || path_is_reparse_point(*root)) {
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
    HeldDirectory opened;
    opened.handle = held(std::move(handle));
    opened.text = *root;
    return opened;
}

bool still_named(const HeldDirectory &parent, const NativeText &name, const HeldDirectory &directory) {
    const Borrowed above(parent.handle), here(directory.handle);
    return where_expected(here.handle, above.handle, name);
}

bool root_still_named(const HeldDirectory &) { return true; }

Result<HeldDirectory> open_directory_below(const HeldDirectory &parent, const NativeText &name, const path &shown) {
    const std::wstring at = parent.text + L"\\" + name;
    Handle directory = open_directory_handle(at);
    if (!directory.valid() && (GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND)) {
        if (!CreateDirectoryW(at.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
            return Error{"cannot create " + shown_path(shown) + ": " + windows_error(GetLastError())};
        }
        directory = open_directory_handle(at);
    }
    if (!directory.valid()) return Error{"cannot open " + shown_path(shown) + ": " + windows_error(GetLastError())};
    const DWORD attributes = attributes_of(directory);
    const Borrowed above(parent.handle);
    if (is_reparse_point(attributes) || path_is_reparse_point(at) || !where_expected(directory, above.handle, name)) {
        return Error{"refusing to write through the reparse point " + shown_path(shown)};
    }
    if (!is_directory(attributes)) return Error{"cannot create " + shown_path(shown) + ": a file is in the way"};
    HeldDirectory opened;
    opened.handle = held(std::move(directory));
    opened.text = at;
    return opened;
}

Status create_file_below(const HeldDirectory &parent, const NativeText &name, bool replace, const path &shown,
                               const path &root, NewFile &out) {
    const std::wstring at = parent.text + L"\\" + name;
    auto create = [](const std::wstring &p) {
        return Handle(CreateFileW(p.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    };
    Handle file = create(at);
    std::wstring temporary;
    if (!file.valid()) {
        const DWORD error = GetLastError();
        Handle existing(CreateFileW(at.c_str(), FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        if (!existing.valid()) return Error{"cannot create " + shown_path(shown) + ": " + windows_error(error)};
        const DWORD attributes = attributes_of(existing);
        if (is_reparse_point(attributes) || path_is_reparse_point(at)) {
            return Error{"refusing to write through the reparse point " + shown_path(shown)};
        }
        if (is_directory(attributes)) return Error{"cannot write " + shown_path(shown) + ": it is a directory"};
        if (!replace) return Error{"cannot write " + shown_path(shown) + ": it already exists"};
        existing = Handle();
        // A new file under a temporary name, renamed over the old one once
        // written (close_new_file): the rename replaces the name itself, so
        // that another name of the old file (a hard link) keeps its content,
        // and a Unix link that Wine shows as a plain file is replaced, not
        // written through. (Deleting it first would not do: under Wine a
        // deletion follows the link and removes its target.)
        for (int attempt = 0; attempt < temporary_attempts && !file.valid(); ++attempt) {
            temporary = temporary_beside(path(at)).native();
            file = create(temporary);
            if (!file.valid() && GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS) break;
        }
        if (!file.valid()) return Error{"cannot create " + shown_path(shown) + ": " + windows_error(GetLastError())};
    }
    // From here the file is the caller's: dropped, it is deleted when it
    // has a temporary name.
    out.handle = held(std::move(file));
    out.temporary = temporary;
    out.final_name = temporary.empty() ? std::wstring() : at;
    // The directories above are held open and cannot be renamed; the one
    // thing left is a held, still empty directory turned into a junction
    // meanwhile. The file's real location tells where Windows can say it
    // (Wine cannot for paths past MAX_PATH); the directory's attributes
    // tell otherwise.
    const Borrowed parent_handle(parent.handle), created_handle(out.handle);
    std::wstring above = final_path(parent_handle.handle);
    const std::wstring created = final_path(created_handle.handle);
    if (!above.empty() && above.back() == L'\\') above.pop_back();  // a drive's root
    const bool inside =
        !above.empty() && !created.empty()
            ? created.size() > above.size() + 1 && created.compare(0, above.size(), above) == 0 &&
                  created[above.size()] == L'\\' && created.find(L'\\', above.size() + 1) == std::wstring::npos
            : is_directory(attributes_of(parent_handle.handle)) && !is_reparse_point(attributes_of(parent_handle.handle));
    if (!inside) {
        FILE_DISPOSITION_INFO disposition = {TRUE};
        SetFileInformationByHandle(handle_of(out.handle), FileDispositionInfo, &disposition, sizeof disposition);
        out.handle.close();
        return Error{"refusing to write " + shown_path(shown) + ": it would land outside " + shown_path(root)};
    }
    return Status::done();
}

Status write_all(NewFile &file, const uint8_t *data, size_t size, const path &shown) {
    while (size > 0) {
        const DWORD piece = static_cast<DWORD>(std::min<size_t>(size, 1u << 30));
        DWORD written = 0;
        if (!WriteFile(handle_of(file.handle), data, piece, &written, nullptr) || written == 0) {
            return Error{"error writing " + shown_path(shown) + ": " + windows_error(GetLastError())};
        }
        data += written;
        size -= written;
    }
    return Status::done();
}

Status close_new_file(NewFile &file, const path &shown) {
    if (!file.handle.close()) return Error{"error writing " + shown_path(shown)};
    if (file.temporary.empty()) return Status::done();
    const std::wstring temporary = std::move(file.temporary);
    file.temporary.clear();
    if (!MoveFileExW(temporary.c_str(), file.final_name.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        const DWORD error = GetLastError();
        DeleteFileW(temporary.c_str());
        return Error{"cannot replace " + shown_path(shown) + ": " + windows_error(error)};
    }
    return Status::done();
}

}  // namespace tavrik
