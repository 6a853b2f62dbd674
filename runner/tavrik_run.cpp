// tavrik-run: runs an application DLL without packing it, for development.
//
//   tavrik-run APP.dll [ARGUMENTS...]
//
// Loads APP.dll and calls its run_code as a packed executable's child does:
// the DLL's own folder and System32 are the only places its dependencies are
// searched; argv[0] is this program's full path and the ARGUMENTS follow it
// unchanged; library_path is the DLL's full path; what run_code returns is
// the exit code. A DLL that cannot be loaded or exports no run_code ends
// with the launcher's own line and exit code 2.

#include <windows.h>

#include <stdio.h>
#include <wchar.h>

#include "common/environment.h"
#include "diagnostics/messages.h"
#include "diagnostics/report.h"
#include "format/launcher_names.h"
#include "launcher/library_entry.h"

namespace {

// The launcher's limit for the library's full path.
constexpr DWORD path_capacity = 4096;
wchar_t library_path[path_capacity];
wchar_t library_directory[path_capacity];
wchar_t own_path[path_capacity];
wchar_t own_directory[path_capacity];

const char usage[] =
    "usage: tavrik-run APP.dll [ARGUMENTS...]\n"
    "Runs APP.dll's run_code as a packed executable would, without packing it:\n"
    "argv[0] is tavrik-run's full path, then the ARGUMENTS; the exit code is\n"
    "what run_code returns. Dependencies are searched beside APP.dll and in\n"
    "System32 only.\n";

// The folder part of `path` (without the last separator) into `directory`.
void directory_of(const wchar_t *path, wchar_t *directory) {
    wcscpy(directory, path);
    wchar_t *last = wcsrchr(directory, L'\\');
    if (last != nullptr) *last = 0;
}

}  // namespace

int wmain(int argc, wchar_t **argv) {
    if (argc < 2 || wcscmp(argv[1], L"--help") == 0 || wcscmp(argv[1], L"-h") == 0) {
        fputs(usage, argc < 2 ? stderr : stdout);
        return argc < 2 ? 2 : 0;
    }
    DWORD length = GetFullPathNameW(argv[1], path_capacity, library_path, nullptr);
    if (length == 0) fail_with_code(message_load_dll, GetLastError());
    if (length >= path_capacity) fail_with_code(message_load_dll, ERROR_FILENAME_EXCED_RANGE);
    length = GetModuleFileNameW(nullptr, own_path, path_capacity);
    if (length == 0) fail_with_code(message_load_dll, GetLastError());
    if (length >= path_capacity) fail_with_code(message_load_dll, ERROR_FILENAME_EXCED_RANGE);
    directory_of(library_path, library_directory);
    directory_of(own_path, own_directory);

    // What a packed executable's child finds in its environment about the
    // executable; the variables that name a running launcher stay unset.
    set_env(TAVRIK_ARGV0_VARIABLE, argv[0]);
    set_env(TAVRIK_DIRECTORY_VARIABLE, own_directory);

    AddDllDirectory(library_directory);
    HMODULE library =
        LoadLibraryExW(library_path, nullptr,
                       LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_USER_DIRS | LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (library == nullptr) fail_with_code(message_load_dll, GetLastError());
    auto run_code = reinterpret_cast<RunCodeFunction>(reinterpret_cast<void *>(GetProcAddress(library, "run_code")));
    if (run_code == nullptr) fail_plain(message_no_entry_point);
    // The application sees this program where the launcher's child sees the
    // launcher: APP.dll's place in the vector becomes argv[0], and the
    // vector keeps its closing null entry.
    argv[1] = own_path;
    return run_code(argc - 1, argv + 1, library_path);
}
