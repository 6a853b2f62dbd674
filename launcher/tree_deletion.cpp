#include "launcher/tree_deletion.h"

#include <string.h>
#include <wchar.h>

namespace {

constexpr size_t path_capacity = longest_path;
// Each level adds at least a separator and one character, so the walk can
// never go deeper than this.
constexpr size_t depth_capacity = path_capacity / 2;
constexpr DWORD clearable_attributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
constexpr DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// FileDispositionInfoEx and its flags (Windows 10 1809), which the headers
// give only to targets that cannot be expressed.
constexpr FILE_INFO_BY_HANDLE_CLASS file_disposition_info_ex = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
constexpr DWORD disposition_delete = 0x1;
constexpr DWORD disposition_ignore_read_only = 0x10;

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
    // How entries below the root's directory are told to be themselves.
    EntryNaming naming;
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

// The parts of an accepted path form (see read_path_form): the \\?\ prefix
// it takes and the rest of the path after its own prefix.
struct PathForm {
    const wchar_t *prefix;
    const wchar_t *rest;
    int below_top;
};

bool split_path_form(const wchar_t *path, PathForm &form) {
    if (path == nullptr) return false;
    bool prefixed = wcsncmp(path, L"\\\\?\\", 4) == 0 || wcsncmp(path, L"\\\\.\\", 4) == 0;
    const wchar_t *after = prefixed ? path + 4 : path;
    int components = 0;
    if (prefixed && wcsncmp(after, L"UNC\\", 4) == 0) {
        form.prefix = L"\\\\?\\UNC\\";
        form.rest = after + 4;
    } else if (is_drive_letter(after[0]) && after[1] == L':' && after[2] == L'\\') {
        // A drive's root has no component below it.
        if (after[3] != 0 && !count_components(after + 3, components)) return false;
        form.prefix = L"\\\\?\\";
        form.rest = after;
        form.below_top = components;
        return true;
    } else if (!prefixed && path[0] == L'\\' && path[1] == L'\\') {
        form.prefix = L"\\\\?\\UNC\\";
        form.rest = path + 2;
    } else {
        return false;
    }
    if (!count_components(form.rest, components) || components < 2) return false;
    form.below_top = components - 2;
    return true;
}

bool copy_path_form(const PathForm &form, wchar_t *extended, size_t capacity, size_t &length) {
    size_t prefix_length = wcslen(form.prefix);
    size_t rest_length = wcslen(form.rest);
    if (prefix_length + rest_length + 1 > capacity) return false;
    wmemcpy(extended, form.prefix, prefix_length);
    wmemcpy(extended + prefix_length, form.rest, rest_length + 1);
    length = prefix_length + rest_length;
    return true;
}

// Builds the \\?\ form of a deletable root in walk.path.
bool set_root(TreeWalk &walk, const wchar_t *root, int &below_top) {
    PathForm form;
    if (!split_path_form(root, form) || form.below_top < 1) return false;
    below_top = form.below_top;
    return copy_path_form(form, walk.path, path_capacity, walk.length);
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
    if (!resolve_directory(walk.path, walk.resolved, path_capacity, walk.naming)) {
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
    HANDLE entry = open_entry_as_itself(walk.path, access, walk.resolved, path_capacity, walk.naming);
    if (entry == INVALID_HANDLE_VALUE) note_failure(walk);
    return entry;
}

// Removes the entry at walk.path (a file, a link or an empty directory)
// through a handle on the entry itself; `listed` are its attributes as its
// directory lists them, which spare the queries when nothing keeps Windows
// from deleting it.
void remove_entry(TreeWalk &walk, DWORD listed) {
    HANDLE entry = open_as_itself(walk, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES);
    if (entry == INVALID_HANDLE_VALUE) return;
    FILE_BASIC_INFO basic = {};
    bool cleared = false;
    if ((listed & clearable_attributes) != 0 &&
        GetFileInformationByHandleEx(entry, FileBasicInfo, &basic, sizeof basic) &&
        (basic.FileAttributes & clearable_attributes) != 0) {
        // Windows 10 and later delete a read-only entry as it is, leaving
        // the attribute to its other names.
        DWORD as_it_is = disposition_delete | disposition_ignore_read_only;
        if (SetFileInformationByHandle(entry, file_disposition_info_ex, &as_it_is, sizeof as_it_is)) {
            CloseHandle(entry);
            return;
        }
        // Elsewhere (Wine, older Windows, other file systems) the attribute
        // is cleared for the deletion, and put back below. Zero times are
        // left unchanged.
        FILE_BASIC_INFO plain = {};
        DWORD kept =
            basic.FileAttributes & ~(clearable_attributes | FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT);
        plain.FileAttributes = kept != 0 ? kept : FILE_ATTRIBUTE_NORMAL;
        cleared = SetFileInformationByHandle(entry, FileBasicInfo, &plain, sizeof plain) != FALSE;
    }
    FILE_DISPOSITION_INFO disposition = {};
    disposition.DeleteFile = TRUE;
    bool deleted = SetFileInformationByHandle(entry, FileDispositionInfo, &disposition, sizeof disposition) != FALSE;
    if (!deleted) note_failure(walk);
    // The attributes belong to the file, not to this name: a file with
    // other names (hard links, say a version-control store's) keeps them
    // there, through this same handle while the deletion is pending; one
    // that resists keeps them too.
    FILE_STANDARD_INFO standard = {};
    if (cleared && (!deleted || (GetFileInformationByHandleEx(entry, FileStandardInfo, &standard, sizeof standard) &&
                                 standard.NumberOfLinks > 1))) {
        FILE_BASIC_INFO restored = {};
        restored.FileAttributes = basic.FileAttributes & ~(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT);
        SetFileInformationByHandle(entry, FileBasicInfo, &restored, sizeof restored);
    }
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
    HANDLE directory =
        open_entry_as_itself(walk.path, FILE_READ_ATTRIBUTES, walk.resolved, path_capacity, walk.naming);
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
        if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && !is_link(attributes, walk.entry.dwReserved0)) {
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
// it, with every link resolved: with VOLUME_NAME_DOS as `volume`
// \\?\C:\... or \\?\UNC\server\share\..., with VOLUME_NAME_NT \Device\....
// `path` (`capacity` units) must be aligned for a pointer. Returns its
// length, or 0 when the name cannot be had or does not fit.
DWORD handle_path(HANDLE handle, wchar_t *path, size_t capacity, DWORD volume) {
    DWORD units = static_cast<DWORD>(capacity);
    auto get_final_path = final_path_queries.get_final_path;
    DWORD length = get_final_path(handle, path, units, FILE_NAME_NORMALIZED | volume);
    // Some file systems (RAM disks, some network redirectors) cannot give a
    // normalised name; the name the entry was opened by still names it.
    if (length == 0 && GetLastError() != ERROR_MORE_DATA)
        length = get_final_path(handle, path, units, FILE_NAME_OPENED | volume);
    if (length != 0 || GetLastError() != ERROR_MORE_DATA || volume != VOLUME_NAME_DOS)
        return length < units ? length : 0;
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

FinalPathQueries final_path_queries = {GetFinalPathNameByHandleW};

bool read_path_form(const wchar_t *path, int &below_top) {
    PathForm form;
    if (!split_path_form(path, form)) return false;
    below_top = form.below_top;
    return true;
}

bool write_extended_form(const wchar_t *path, wchar_t *extended, size_t capacity, int &below_top) {
    PathForm form;
    size_t length = 0;
    if (!split_path_form(path, form) || !copy_path_form(form, extended, capacity, length)) return false;
    below_top = form.below_top;
    return true;
}

bool is_deletable_root(const wchar_t *path) {
    PathForm form;
    return split_path_form(path, form) && form.below_top >= 1 &&
           wcslen(form.prefix) + wcslen(form.rest) < path_capacity;
}

bool is_link(DWORD attributes, DWORD reparse_tag) {
    return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && (reparse_tag == 0 || IsReparseTagNameSurrogate(reparse_tag));
}

bool resolve_directory(const wchar_t *path, wchar_t *resolved, size_t capacity, EntryNaming &naming) {
    HANDLE directory =
        CreateFileW(path, FILE_READ_ATTRIBUTES, share_all, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (directory == INVALID_HANDLE_VALUE) return false;
    naming.base_length = 0;
    DWORD length = handle_path(directory, resolved, capacity, VOLUME_NAME_DOS);
    DWORD error = GetLastError();
    size_t given = wcslen(path);
    if (length == 0 && error != ERROR_MORE_DATA && wcsncmp(path, L"\\\\?\\", 4) == 0 && given < capacity) {
        // No DOS path to be had: the directory is walked by the path it was
        // given, and entries below it are told by their NT paths.
        DWORD nt_length = handle_path(directory, naming.base_nt, longest_path, VOLUME_NAME_NT);
        if (nt_length != 0) {
            if (naming.base_nt[nt_length - 1] == L'\\') naming.base_nt[--nt_length] = 0;
            wmemcpy(resolved, path, given + 1);
            length = static_cast<DWORD>(given);
            naming.base_length = resolved[given - 1] == L'\\' ? given - 1 : given;
        } else {
            error = GetLastError();
        }
    }
    CloseHandle(directory);
    SetLastError(error);
    return length != 0;
}

HANDLE open_entry_as_itself(const wchar_t *path, DWORD access, wchar_t *scratch, size_t capacity,
                            const EntryNaming &naming, DWORD share) {
    HANDLE entry = CreateFileW(path, access, share, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (entry == INVALID_HANDLE_VALUE) return entry;
    // Windows names a link opened this way by its own path; Wine, which
    // opens what a Unix link points to, by the target's.
    bool by_dos_path = naming.base_length == 0;
    DWORD length = handle_path(entry, scratch, capacity, by_dos_path ? VOLUME_NAME_DOS : VOLUME_NAME_NT);
    DWORD error = length == 0 ? GetLastError() : entry_leads_elsewhere;
    bool itself = false;
    if (length != 0 && by_dos_path) {
        itself = wcscmp(scratch, path) == 0;
    } else if (length != 0 && wcslen(path) > naming.base_length) {
        size_t base_nt_length = wcslen(naming.base_nt);
        itself = wcsncmp(scratch, naming.base_nt, base_nt_length) == 0 &&
                 wcscmp(scratch + base_nt_length, path + naming.base_length) == 0;
    }
    if (itself) return entry;
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
            if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && !is_link(attributes, walk.entry.dwReserved0))
                delete_below(walk);
            remove_entry(walk, attributes);
        }
        result = gone ? 0 : walk.first_error;
    }
    ReleaseSRWLockExclusive(&walk_locks[taken]);
    return result;
}
