#include "launcher/library_entry.h"

#include <windows.h>

#include "diagnostics/messages.h"
#include "diagnostics/report.h"
#include "launcher/launch_state.h"

void hold_target_directory() {
    // Read access, so that the handle's sharing counts: without delete
    // sharing, nobody can rename or delete the directory while it is open.
    CreateFileW(launch.target_directory.text, FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

int run_application_library() {
    // The cookie is never needed: the directory stays for the process's life.
    AddDllDirectory(launch.target_directory.text);
    // Dependencies are searched beside the library, in the target directory
    // and in System32 only: never beside the launcher, in the current
    // directory or on PATH.
    HMODULE library = LoadLibraryExW(launch.application_library_path.text, nullptr,
                                     LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_USER_DIRS |
                                         LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (library == nullptr) fail_with_code(message_load_dll, GetLastError());
    auto run_code = reinterpret_cast<RunCodeFunction>(
        reinterpret_cast<void *>(GetProcAddress(library, "run_code")));
    if (run_code == nullptr) fail_plain(message_no_entry_point);
    return run_code(launch.argc, launch.argv, launch.application_library_path.text);
}
