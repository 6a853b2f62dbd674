#include "launcher/tree_deletion.h"

#include <string.h>
#include <wchar.h>

namespace {

// The longest path Windows handles, prefix included.
constexpr size_t path_capacity = 32768;
// Each level adds at least a separator and one character, so the walk can
// never go deeper than this.
constexpr size_t depth_capacity = path_capacity / 2;
constexpr DWORD clearable_attributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
constexpr DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// The walk keeps its open searches on an explicit stack, not in recursive
// calls, so any depth fits in a fixed amount of memory.
struct TreeWalk {
    // Resolved \\?\ path of the directory or entry being worked on: the
    // root's directory as the system names it, then the names found below.
    wchar_t path[path_capacity];
    size_t length;
    // The name a handle turned out to have, to compare with `path`.
    alignas(8) wchar_t resolved[path_capacity];
    // Open searches, one per directory level entered below the root.
    HANDLE searches[depth_capacity];
    // Attributes of the directory at each level, to remove it on the way up.
    DWORD attributes[depth_capacity];
    WIN32_FIND_DATAW entry;
    DWORD first_error;
};
// Two walks, so that the clean-up never waits for the sweep of stale
// directories (or the other way round); each call takes a free one.
TreeWalk walks[2];
SRWLOCK walk_locks[2] = {SRWLOCK_INIT, SRWLOCK_INIT};

bool is_drive_letter(wchar_t c) { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'); }

// Counts the components after `from`; false when one is empty, "." or "..",
// or the text holds a forward slash, which a \\?\ path would take literally,
// or a character no name may hold (the wildcards among them would let the
// root's look-up match another entry).
bool count_components(const wchar_t *from, int &count) {
    count = 0;
    const wchar_t *start = from;
    for (const wchar_t *c = from;; ++c) {
        if (*c != 0 && wcschr(L"/:*?\"<>|", *c) != nullptr) return false;
        if (*c != L'\\' && *c != 0) continue;
        size_t length = static_cast<size_t>(c - start);
        if (length == 0) return false;
        if (start[0] == L'.' && (length == 1 || (length == 2 && start[1] == L'.'))) return false;
        ++count;
        if (*c == 0) return true;
        start = c + 1;
    }
}

// Builds the \\?\ form of an acceptable root: C:\dir... with at least one
// directory below the drive, or \\server\share\dir... with at least one
// below the share, either of them possibly in its \\?\ form already. A
// whole drive or share is never a root. `below_top` is how many components
// the root has below its drive or share.
bool set_root(TreeWalk &walk, const wchar_t *root, int &below_top) {
    int components = 0;
    const wchar_t *prefix = nullptr;
    const wchar_t *rest = nullptr;
    if (wcsncmp(root, L"\\\\?\\UNC\\", 8) == 0) {
        if (!count_components(root + 8, components) || components < 3) return false;
        below_top = components - 2;
        prefix = L"";
        rest = root;
    } else if (wcsncmp(root, L"\\\\?\\", 4) == 0) {
        const wchar_t *drive = root + 4;
        if (!is_drive_letter(drive[0]) || drive[1] != L':' || drive[2] != L'\\') return false;
        if (!count_components(drive + 3, components) || components < 1) return false;
        below_top = components;
        prefix = L"";
        rest = root;
    } else if (is_drive_letter(root[0]) && root[1] == L':' && root[2] == L'\\') {
        if (!count_components(root + 3, components) || components < 1) return false;
        below_top = components;
        prefix = L"\\\\?\\";
        rest = root;
    } else if (root[0] == L'\\' && root[1] == L'\\' && root[2] != L'?' && root[2] != L'.') {
        if (!count_components(root + 2, components) || components < 3) return false;
        below_top = components - 2;
        prefix = L"\\\\?\\UNC\\";
        rest = root + 2;
    } else {
        return false;
    }
    size_t prefix_length = wcslen(prefix);
    size_t rest_length = wcslen(rest);
    if (prefix_length + rest_length + 1 > path_capacity) return false;
    wmemcpy(walk.path, prefix, prefix_length);
    wmemcpy(walk.path + prefix_length, rest, rest_length + 1);
    walk.length = prefix_length + rest_length;
    return true;
}

void note_error(TreeWalk &walk, DWORD error) {
    if (walk.first_error == 0) walk.first_error = error != 0 ? error : ERROR_GEN_FAILURE;
}

void note_failure(TreeWalk &walk) { note_error(walk, GetLastError()); }

bool enter(TreeWalk &walk, const wchar_t *name) {
    size_t length = wcslen(name);
    if (walk.length + 1 + length + 1 > path_capacity) return false;
    walk.path[walk.length] = L'\\';
    wmemcpy(walk.path + walk.length + 1, name, length + 1);
    walk.length += 1 + length;
    return true;
}

void leave(TreeWalk &walk) {
    while (walk.length > 0 && walk.path[walk.length - 1] != L'\\') --walk.length;
    if (walk.length > 0) --walk.length;
    walk.path[walk.length] = 0;
}

// Replaces walk.path, a \\?\ path accepted as a root, with the resolved
// path of its directory and the entry's name as the directory lists it
// (long, in its own case). False when the root does not exist (`gone` set)
// or cannot be resolved.
bool resolve_root(TreeWalk &walk, int below_top, bool &gone) {
    gone = false;
    HANDLE search = FindFirstFileExW(walk.path, FindExInfoBasic, &walk.entry, FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        gone = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
        if (!gone) note_error(walk, error);
        return false;
    }
    FindClose(search);
    // The directory above, with its separator when it is a drive or share
    // itself: "\\?\C:" alone would name the drive's current directory.
    wchar_t *separator = wcsrchr(walk.path, L'\\');
    separator[below_top == 1 ? 1 : 0] = 0;
    if (!resolve_directory(walk.path, walk.resolved, path_capacity)) {
        note_failure(walk);
        return false;
    }
    size_t length = wcslen(walk.resolved);
    if (length > 0 && walk.resolved[length - 1] == L'\\') --length;
    wmemcpy(walk.path, walk.resolved, length);
    walk.path[length] = 0;
    walk.length = length;
    if (!enter(walk, walk.entry.cFileName)) {
        note_error(walk, ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    return true;
}

HANDLE open_as_itself(TreeWalk &walk, DWORD access) {
    HANDLE entry = open_entry_as_itself(walk.path, access, walk.resolved, path_capacity);
    if (entry == INVALID_HANDLE_VALUE) note_failure(walk);
    return entry;
}

// Removes the entry at walk.path (a file, a link or an empty directory)
// through a handle on the entry itself, after clearing what would keep
// Windows from deleting it; `listed` are its attributes as its directory
// lists them, which spare the queries when there is nothing to clear.
void remove_entry(TreeWalk &walk, DWORD listed) {
    HANDLE entry = open_as_itself(walk, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES);
    if (entry == INVALID_HANDLE_VALUE) return;
    FILE_BASIC_INFO basic = {};
    FILE_STANDARD_INFO standard = {};
    if ((listed & clearable_attributes) != 0 &&
        GetFileInformationByHandleEx(entry, FileBasicInfo, &basic, sizeof basic) &&
        (basic.FileAttributes & clearable_attributes) != 0 &&
        GetFileInformationByHandleEx(entry, FileStandardInfo, &standard, sizeof standard) &&
        (standard.Directory || standard.NumberOfLinks <= 1)) {
        // A file with other names keeps its attributes: they are the other
        // names' too. Its deletion may then fail, and it stays.
        DWORD kept =
            basic.FileAttributes & ~(clearable_attributes | FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT);
        basic.FileAttributes = kept != 0 ? kept : FILE_ATTRIBUTE_NORMAL;
        basic.CreationTime.QuadPart = basic.LastAccessTime.QuadPart = 0;
        basic.LastWriteTime.QuadPart = basic.ChangeTime.QuadPart = 0;
        SetFileInformationByHandle(entry, FileBasicInfo, &basic, sizeof basic);
    }
    FILE_DISPOSITION_INFO disposition = {};
    disposition.DeleteFile = TRUE;
    if (!SetFileInformationByHandle(entry, FileDispositionInfo, &disposition, sizeof disposition)) note_failure(walk);
    CloseHandle(entry);
}

bool is_dot_entry(const wchar_t *name) {
    return name[0] == L'.' && (name[1] == 0 || (name[1] == L'.' && name[2] == 0));
}

// Opens a search in the directory at walk.path, once it is known to be that
// directory and not a way elsewhere; its first entry lands in walk.entry.
// False with `empty` set when there is nothing to search.
bool open_search(TreeWalk &walk, HANDLE &search, bool &empty) {
    empty = false;
    HANDLE directory = open_entry_as_itself(walk.path, FILE_READ_ATTRIBUTES, walk.resolved, path_capacity);
    if (directory == INVALID_HANDLE_VALUE) return false;
    CloseHandle(directory);
    if (!enter(walk, L"*")) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    search = FindFirstFileExW(walk.path, FindExInfoBasic, &walk.entry, FindExSearchNameMatch, nullptr,
                              FIND_FIRST_EX_LARGE_FETCH);
    DWORD error = GetLastError();
    leave(walk);
    if (search != INVALID_HANDLE_VALUE) return true;
    empty = error == ERROR_FILE_NOT_FOUND || error == ERROR_NO_MORE_FILES;
    SetLastError(error);
    return false;
}

// Empties the directory at walk.path; the directory itself stays.
void delete_below(TreeWalk &walk) {
    size_t depth = 0;
    bool empty = false;
    if (!open_search(walk, walk.searches[0], empty)) {
        if (!empty) note_failure(walk);
        return;
    }
    bool have_entry = true;
    for (;;) {
        if (!have_entry && !FindNextFileW(walk.searches[depth], &walk.entry)) {
            // This directory is as empty as we can make it: close its search
            // and go back up; the top one is removed by the caller.
            FindClose(walk.searches[depth]);
            if (depth == 0) return;
            remove_entry(walk, walk.attributes[depth]);
            --depth;
            leave(walk);
            continue;
        }
        have_entry = false;
        const wchar_t *name = walk.entry.cFileName;
        if (is_dot_entry(name)) continue;
        DWORD attributes = walk.entry.dwFileAttributes;
        if (!enter(walk, name)) {
            note_error(walk, ERROR_FILENAME_EXCED_RANGE);
            continue;
        }
        // A link is removed as itself and never entered.
        if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
            HANDLE below = INVALID_HANDLE_VALUE;
            if (depth + 1 == depth_capacity) {
                note_error(walk, ERROR_FILENAME_EXCED_RANGE);
                leave(walk);
                continue;
            }
            if (open_search(walk, below, empty)) {
                walk.searches[++depth] = below;
                walk.attributes[depth] = attributes;
                have_entry = true;
                continue;
            }
            if (!empty) {
                note_failure(walk);
                leave(walk);
                continue;
            }
        }
        remove_entry(walk, attributes);
        leave(walk);
    }
}

// A native object name as NtQueryObject gives it.
struct NativeName {
    USHORT length;  // in bytes, without a terminator
    USHORT capacity;
    wchar_t *text;
};

// The path of the object behind `handle` as GetFinalPathNameByHandleW gives
// it: \\?\C:\... or \\?\UNC\server\share\..., with every link resolved.
// `path` (`capacity` units) must be aligned for a pointer. Returns its
// length, or 0 when the name cannot be had or does not fit.
DWORD handle_path(HANDLE handle, wchar_t *path, size_t capacity) {
    DWORD units = static_cast<DWORD>(capacity);
    DWORD length = GetFinalPathNameByHandleW(handle, path, units, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    // Some file systems (RAM disks, some network redirectors) cannot give a
    // normalised name; the name the entry was opened by still names it.
    if (length == 0 && GetLastError() != ERROR_MORE_DATA)
        length = GetFinalPathNameByHandleW(handle, path, units, FILE_NAME_OPENED | VOLUME_NAME_DOS);
    if (length != 0 || GetLastError() != ERROR_MORE_DATA) return length < units ? length : 0;
    // Wine asks for the name in a buffer of MAX_PATH and fails with this
    // error on a longer path (Windows reports the size it needs instead).
    // Its native name is the same path with \??\ in place of \\?\.
    using Query = LONG(WINAPI *)(HANDLE, int, void *, ULONG, ULONG *);
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    Query query = ntdll == nullptr
                      ? nullptr
                      : reinterpret_cast<Query>(reinterpret_cast<void *>(GetProcAddress(ntdll, "NtQueryObject")));
    const int object_name_information = 1;
    ULONG bytes = static_cast<ULONG>(capacity * sizeof(wchar_t));
    if (query == nullptr || query(handle, object_name_information, path, bytes, nullptr) < 0) {
        SetLastError(ERROR_MORE_DATA);
        return 0;
    }
    NativeName name;
    memcpy(&name, path, sizeof name);
    size_t name_units = name.length / sizeof(wchar_t);
    if (name_units < 4 || name_units >= capacity || wcsncmp(name.text, L"\\??\\", 4) != 0) {
        SetLastError(ERROR_MORE_DATA);
        return 0;
    }
    wmemmove(path, name.text, name_units);
    path[name_units] = 0;
    path[1] = L'\\';
    return static_cast<DWORD>(name_units);
}

}  // namespace

bool resolve_directory(const wchar_t *path, wchar_t *resolved, size_t capacity) {
    HANDLE directory =
        CreateFileW(path, FILE_READ_ATTRIBUTES, share_all, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (directory == INVALID_HANDLE_VALUE) return false;
    DWORD length = handle_path(directory, resolved, capacity);
    DWORD error = GetLastError();
    CloseHandle(directory);
    SetLastError(error);
    return length != 0;
}

HANDLE open_entry_as_itself(const wchar_t *path, DWORD access, wchar_t *scratch, size_t capacity, DWORD share) {
    HANDLE entry = CreateFileW(path, access, share, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (entry == INVALID_HANDLE_VALUE) return entry;
    // Windows names a link opened this way by its own path; Wine, which
    // opens what a Unix link points to, by the target's.
    DWORD length = handle_path(entry, scratch, capacity);
    DWORD error = length == 0 ? GetLastError() : entry_leads_elsewhere;
    if (length != 0 && wcscmp(scratch, path) == 0) return entry;
    CloseHandle(entry);
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
}

DWORD delete_directory_tree(const wchar_t *root) {
    int taken = TryAcquireSRWLockExclusive(&walk_locks[0]) ? 0 : 1;
    if (taken == 1 && !TryAcquireSRWLockExclusive(&walk_locks[1])) {
        AcquireSRWLockExclusive(&walk_locks[0]);
        taken = 0;
    }
    TreeWalk &walk = walks[taken];
    walk.first_error = 0;
    DWORD result = ERROR_BAD_PATHNAME;
    int below_top = 0;
    bool gone = false;
    if (root != nullptr && set_root(walk, root, below_top)) {
        if (resolve_root(walk, below_top, gone)) {
            DWORD attributes = walk.entry.dwFileAttributes;
            if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
                delete_below(walk);
            remove_entry(walk, attributes);
        }
        result = gone ? 0 : walk.first_error;
    }
    ReleaseSRWLockExclusive(&walk_locks[taken]);
    return result;
}
