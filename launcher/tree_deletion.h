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

// Deletes the directory `root` and everything below it, and nothing outside
// it. `root` must be an absolute path below a drive or share, given as
// C:\dir..., \\server\share\dir... or in their \\?\C:\dir... and
// \\?\UNC\server\share\dir... forms, without "." or ".." components and
// with no character a name cannot hold; anything else is refused
// (returns ERROR_BAD_PATHNAME) before a single call is made. The walk works
// on \\?\ paths, so depth and length are limited only by what Windows
// allows. Files lose their read-only, hidden and system attributes first
// (unless they have other names too: the attributes belong to all of them);
// a reparse point (symbolic link, junction, mount point) is removed as a
// link and never entered; an entry that turns out to be something else than
// the walk found (see above) is left in place. Returns 0 when `root` is
// gone, or the first error met otherwise; what could be deleted is deleted
// either way.
DWORD delete_directory_tree(const wchar_t *root);

// Fills `resolved` (`capacity` units, aligned for a pointer) with the \\?\ form of the directory
// `path` as the system names it, with every link on the way resolved. False
// when it cannot be opened or named, or the name does not fit.
bool resolve_directory(const wchar_t *path, wchar_t *resolved, size_t capacity);

// Opens the entry at `path`, a resolved \\?\ path, as itself with `access`
// (sharing read, write and delete unless `share` says otherwise), but only when the handle names that
// very path; `scratch` (`capacity` units, more than `path` holds, aligned
// for a pointer) takes the name the handle has. INVALID_HANDLE_VALUE otherwise, with
// `entry_leads_elsewhere` as the last error when the entry leads elsewhere.
inline constexpr DWORD entry_leads_elsewhere = 4395;  // ERROR_REPARSE_POINT_ENCOUNTERED
HANDLE open_entry_as_itself(const wchar_t *path, DWORD access, wchar_t *scratch, size_t capacity,
                            DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
