#pragma once
// Deleting a directory tree with kernel32 alone, and nothing outside it.
//
// The shell's own deletion is not used: on a tree holding a path longer than
// MAX_PATH it fails on Windows, and under Wine it goes on to delete files in
// the process's current directory.
//
// Nothing is changed or deleted by path. Every entry is opened as itself
// and acted on through that handle, and only once the handle is known to
// name the very entry the walk found: under Wine a Unix symbolic link is
// followed even when opened with FILE_FLAG_OPEN_REPARSE_POINT, so deleting
// it by path, or clearing its read-only attribute, would act on whatever it
// points to, anywhere. Such an entry is left alone, and so is every
// directory above it: a leftover, never a deletion outside.

#include <windows.h>

// The forms of absolute path the launcher unpacks into and deletes from:
// C:\dir..., \\server\share\dir..., and the same in their \\?\ forms
// (\\?\C:\dir..., \\?\UNC\server\share\dir...) or \\.\ forms (\\.\C:\ is
// \\?\C:\), without "." or ".." components, empty ones (doubled or trailing
// separators) and characters no name may hold. Everything else is refused:
// relative and drive-relative paths, volume GUID paths (\\?\Volume{...}),
// \\?\GLOBALROOT and other device paths, whose tops cannot be told.
// `below_top` is how many components follow the drive or share.
bool read_path_form(const wchar_t *path, int &below_top);
// Writes the \\?\ form of an accepted `path` into `extended` (`capacity`
// units); false when the form is refused or the result does not fit.
bool write_extended_form(const wchar_t *path, wchar_t *extended, size_t capacity, int &below_top);
// An accepted form with at least one directory below the drive or share:
// what delete_directory_tree takes, and so the only kind of directory the
// launcher unpacks into.
bool is_deletable_root(const wchar_t *path);

// Deletes the directory `root` and everything below it, and nothing outside
// it. `root` must be a deletable root (above); anything else is refused
// (returns ERROR_BAD_PATHNAME) before a single call is made. The walk works
// on \\?\ paths, so depth and length are limited only by what Windows
// allows. A read-only file is deleted without its attribute changing for
// its other names (hard links), if it has any; hidden and system files go
// like any other. A link (symbolic link, junction, mount point: a reparse
// point that is a name surrogate) is removed as a link and never entered;
// any other reparse point (a cloud file's placeholder) is removed like the
// entry it stands for. An entry that turns out to be something else than
// the walk found (see above) is left in place. Returns 0 when `root` is
// gone, or the first error met otherwise; what could be deleted is deleted
// either way.
DWORD delete_directory_tree(const wchar_t *root);

// The longest path Windows handles, prefix included.
inline constexpr size_t longest_path = 32768;

// How a handle is checked to name the entry at a path below a resolved
// directory (the base).
struct EntryNaming {
    // 0 while the system gives DOS paths for the base's volume, as it
    // usually does: a handle's final path must then be the entry's path.
    // Otherwise (a RAM disk or a file system mounted without the mount
    // manager, a letter made with DefineDosDevice, a caller in an
    // AppContainer) the length of the base's path, as the caller gave it,
    // and a handle's NT path must be `base_nt` followed by what the entry's
    // path has after its base.
    size_t base_length;
    // The base's NT path (\Device\...), without a trailing separator.
    wchar_t base_nt[longest_path];
};

// Fills `resolved` (`capacity` units, aligned for a pointer) with the
// \\?\ form of the directory `path` as the system names it, with every link on
// the way resolved, and `naming` for the entries below it. Where the system
// has no DOS path for it, `resolved` is `path` itself, which must then be a
// \\?\ path. False when it cannot be opened or named, or the name does not
// fit.
bool resolve_directory(const wchar_t *path, wchar_t *resolved, size_t capacity, EntryNaming &naming);

// Opens the entry at `path`, a path below a directory resolved into
// `naming`, as itself with `access` (sharing read, write and delete unless
// `share` says otherwise), but
// only when the handle names that very entry; `scratch` (`capacity` units,
// more than `path` holds, aligned for a pointer) takes the name the handle
// has. INVALID_HANDLE_VALUE otherwise, with `entry_leads_elsewhere` as the
// last error when the entry leads elsewhere.
inline constexpr DWORD entry_leads_elsewhere = 4395;  // ERROR_REPARSE_POINT_ENCOUNTERED
HANDLE open_entry_as_itself(const wchar_t *path, DWORD access, wchar_t *scratch, size_t capacity,
                            const EntryNaming &naming,
                            DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);

// True for the attributes and reparse tag (as a directory listing gives
// them) of a link: a reparse point that is a name surrogate. Wine lists a
// Unix link to a directory as a reparse point with tag 0: a link too.
bool is_link(DWORD attributes, DWORD reparse_tag);

// How the deletion asks for an entry's final path; tests replace it.
struct FinalPathQueries {
    DWORD(WINAPI *get_final_path)(HANDLE handle, wchar_t *path, DWORD capacity, DWORD flags);
};
extern FinalPathQueries final_path_queries;
