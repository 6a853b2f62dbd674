#include "launcher/tree_deletion.h"

#include <wchar.h>

namespace {

// The longest path Windows handles, prefix included.
constexpr size_t path_capacity = 32768;
// Each level adds at least a separator and one character, so the walk can
// never go deeper than this.
constexpr size_t depth_capacity = path_capacity / 2;
constexpr DWORD clearable_attributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

// The walk keeps its open searches on an explicit stack, not in recursive
// calls, so any depth fits in a fixed amount of memory.
struct TreeWalk {
    // \\?\ form of the directory or entry being worked on.
    wchar_t path[path_capacity];
    size_t length;
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

// Counts the components after `from`; false when one is empty, "." or ".."
// or the text holds a forward slash, which a \\?\ path would take literally.
bool count_components(const wchar_t *from, int &count) {
    count = 0;
    const wchar_t *start = from;
    for (const wchar_t *c = from;; ++c) {
        if (*c == L'/') return false;
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
// below the share. A whole drive or share is never a root.
bool set_root(TreeWalk &walk, const wchar_t *root) {
    int components = 0;
    const wchar_t *prefix = nullptr;
    const wchar_t *rest = nullptr;
    if (is_drive_letter(root[0]) && root[1] == L':' && root[2] == L'\\') {
        if (!count_components(root + 3, components) || components < 1) return false;
        prefix = L"\\\\?\\";
        rest = root;
    } else if (root[0] == L'\\' && root[1] == L'\\' && root[2] != L'?' && root[2] != L'.') {
        if (!count_components(root + 2, components) || components < 3) return false;
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

void note_failure(TreeWalk &walk) {
    DWORD error = GetLastError();
    if (walk.first_error == 0) walk.first_error = error != 0 ? error : ERROR_GEN_FAILURE;
}

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

// A link of any kind is opened as itself, never as what it points to, and
// deleted through that handle.
void remove_link(TreeWalk &walk) {
    HANDLE link = CreateFileW(walk.path, DELETE | FILE_WRITE_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (link == INVALID_HANDLE_VALUE) {
        note_failure(walk);
        return;
    }
    FILE_BASIC_INFO basic = {};
    if (GetFileInformationByHandleEx(link, FileBasicInfo, &basic, sizeof basic) &&
        (basic.FileAttributes & clearable_attributes) != 0) {
        DWORD kept = basic.FileAttributes & ~(clearable_attributes | FILE_ATTRIBUTE_REPARSE_POINT);
        basic.FileAttributes = kept != 0 ? kept : FILE_ATTRIBUTE_NORMAL;
        basic.CreationTime.QuadPart = basic.LastAccessTime.QuadPart = 0;
        basic.LastWriteTime.QuadPart = basic.ChangeTime.QuadPart = 0;
        SetFileInformationByHandle(link, FileBasicInfo, &basic, sizeof basic);
    }
    FILE_DISPOSITION_INFO disposition = {};
    disposition.DeleteFile = TRUE;
    if (!SetFileInformationByHandle(link, FileDispositionInfo, &disposition, sizeof disposition)) note_failure(walk);
    CloseHandle(link);
}

void clear_attributes(TreeWalk &walk, DWORD attributes) {
    if ((attributes & clearable_attributes) == 0) return;
    DWORD kept = attributes & ~clearable_attributes & ~FILE_ATTRIBUTE_DIRECTORY;
    SetFileAttributesW(walk.path, kept != 0 ? kept : FILE_ATTRIBUTE_NORMAL);
}

void remove_file(TreeWalk &walk, DWORD attributes) {
    clear_attributes(walk, attributes);
    if (!DeleteFileW(walk.path)) note_failure(walk);
}

void remove_empty_directory(TreeWalk &walk, DWORD attributes) {
    clear_attributes(walk, attributes);
    if (!RemoveDirectoryW(walk.path)) note_failure(walk);
}

bool is_dot_entry(const wchar_t *name) {
    return name[0] == L'.' && (name[1] == 0 || (name[1] == L'.' && name[2] == 0));
}

// Opens a search in the directory at walk.path; its first entry lands in
// walk.entry. False with `empty` set when there is nothing to search.
bool open_search(TreeWalk &walk, HANDLE &search, bool &empty) {
    empty = false;
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

void delete_below_root(TreeWalk &walk) {
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
            // and go back up; the root itself is removed by the caller.
            FindClose(walk.searches[depth]);
            if (depth == 0) return;
            remove_empty_directory(walk, walk.attributes[depth]);
            --depth;
            leave(walk);
            continue;
        }
        have_entry = false;
        const wchar_t *name = walk.entry.cFileName;
        if (is_dot_entry(name)) continue;
        DWORD attributes = walk.entry.dwFileAttributes;
        if (!enter(walk, name)) {
            SetLastError(ERROR_FILENAME_EXCED_RANGE);
            note_failure(walk);
            continue;
        }
        if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
            remove_link(walk);
            leave(walk);
        } else if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
            HANDLE below = INVALID_HANDLE_VALUE;
            if (depth + 1 == depth_capacity) {
                SetLastError(ERROR_FILENAME_EXCED_RANGE);
                note_failure(walk);
            } else if (open_search(walk, below, empty)) {
                walk.searches[++depth] = below;
                walk.attributes[depth] = attributes;
                have_entry = true;
                continue;
            } else if (!empty) {
                note_failure(walk);
            }
            remove_empty_directory(walk, attributes);
            leave(walk);
        } else {
            remove_file(walk, attributes);
            leave(walk);
        }
    }
}

}  // namespace

DWORD delete_directory_tree(const wchar_t *root) {
    int taken = TryAcquireSRWLockExclusive(&walk_locks[0]) ? 0 : 1;
    if (taken == 1 && !TryAcquireSRWLockExclusive(&walk_locks[1])) {
        AcquireSRWLockExclusive(&walk_locks[0]);
        taken = 0;
    }
    TreeWalk &walk = walks[taken];
    walk.first_error = 0;
    DWORD result = ERROR_BAD_PATHNAME;
    if (root != nullptr && set_root(walk, root)) {
        DWORD attributes = GetFileAttributesW(walk.path);
        if (attributes == INVALID_FILE_ATTRIBUTES) {
            DWORD error = GetLastError();
            result = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? 0 : error;
        } else {
            if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
                remove_link(walk);
            } else if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
                delete_below_root(walk);
                remove_empty_directory(walk, attributes);
            } else {
                remove_file(walk, attributes);
            }
            result = walk.first_error;
        }
    }
    ReleaseSRWLockExclusive(&walk_locks[taken]);
    return result;
}
