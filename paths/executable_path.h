#pragma once
// The launcher's own path, and the two normalisations by which a nested
// instance recognises that its parent runs the same executable file.

#include <windows.h>

#include "common/wide_buffer.h"

// Replaces the path in `path` (capacity in units) by the final path of the
// file it names, with \\?\C:\ and \\?\UNC\ prefixes reduced to plain forms.
// A path that cannot be opened as a file is left as it is.
void resolve_final_path(wchar_t *path, DWORD capacity);
// The prefix rules that resolve_final_path applies to a final path:
// \\?\C:\x becomes C:\x, \\?\UNC\srv\share becomes \\srv\share.
void reduce_final_path_prefix(wchar_t *path);
// Replaces the directory part of `path` by its short (8.3) form, keeping the
// last component as spelled. Without a short form the path stays.
void shorten_path(wchar_t *path, size_t capacity);

// The own path in its three forms, each read on first use.
struct OwnPaths {
    // As GetModuleFileNameW gives it: the child's program and argument 0.
    WideBuffer<4096> executable;
    // As GetModuleFileNameW gives it: the published executable directory.
    WideBuffer<4097> directory_source;
    // Resolved and shortened: compared with the parent's image path.
    WideBuffer<4097> normalised;
};
extern OwnPaths own_paths;

// Reads the own path with GetModuleFileNameW into `path` (`capacity`
// units); false, with `path` empty, when the call fails or the path does
// not fit (the call then fills the buffer with as much as fits).
bool read_own_path(wchar_t *path, DWORD capacity);

// Each ends the process with abort() when the own path cannot be read
// whole, except that the second and third stay empty instead.
const wchar_t *executable_path();
const wchar_t *directory_source();
const wchar_t *normalised_executable_path();
