#pragma once
// Deleting a directory tree with kernel32 alone.
//
// The shell's own deletion is not used: on a tree holding a path longer than
// MAX_PATH it fails on Windows, and under Wine it goes on to delete files in
// the process's current directory.

#include <windows.h>

// Deletes the directory `root` and everything below it, and nothing outside
// it. `root` must be an absolute drive or UNC path without "." or ".."
// components; anything else is refused (returns ERROR_BAD_PATHNAME) before
// a single call is made. The walk works on \\?\ paths, so depth and length
// are limited only by what Windows allows. Files lose their read-only,
// hidden and system attributes first; a reparse point (symbolic link,
// junction, mount point) is removed as a link and never entered, so whatever
// the application left below `root` cannot redirect the walk elsewhere.
// Returns 0 when `root` is gone, or the first error met otherwise; what
// could be deleted is deleted either way.
DWORD delete_directory_tree(const wchar_t *root);
