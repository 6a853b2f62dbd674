#pragma once
// The two shell32 functions the launcher uses, with shell32 loaded from
// the system directory on first use. Only a top-level instance calls them,
// so the nested instance, which runs the application, never pays for
// loading shell32. When shell32 cannot be loaded, each call fails the way
// the function itself reports failure.

#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>

wchar_t **WINAPI shell_command_line_to_argv(const wchar_t *command_line, int *count);
HRESULT shell_get_folder_path(int folder, wchar_t *path);
