#pragma once
// The two shell32 functions the launcher uses, with their DLL loaded from
// the system directory on first use. Only a top-level instance calls them,
// so the nested instance, which runs the application, never pays for
// loading them. When the DLL cannot be loaded, each call fails the way the
// function itself reports failure.
//
// CommandLineToArgvW is taken from shcore.dll, which exports it too (since
// Windows 8.1; Wine's shell32 only forwards its export there), and from
// shell32 only where shcore lacks it: shcore needs neither user32 nor gdi32,
// so a top-level run that splits its command line does not pay for loading
// shell32 and the window-system DLLs it pulls in (about 10 ms under Wine).

#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>

// Loads the DLL shell_command_line_to_argv takes its function from; false
// when none has it.
bool load_command_line_splitter();
wchar_t **WINAPI shell_command_line_to_argv(const wchar_t *command_line, int *count);
HRESULT shell_get_folder_path(int folder, wchar_t *path);
