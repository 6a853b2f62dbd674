#include "launcher/stale_directories.h"

#include <wchar.h>

#include "format/launcher_names.h"
#include "launcher/launch_state.h"
#include "launcher/tree_deletion.h"

namespace {

constexpr const wchar_t *name_prefix = launcher_names::directory_prefix;
constexpr size_t name_prefix_length = launcher_names::directory_prefix_length;
// The folder (at most 4095 units), a separator, the longest name.
constexpr size_t sweep_path_capacity = 4096 + 64;

bool is_digit(wchar_t c) { return c >= L'0' && c <= L'9'; }

bool is_random_unit(wchar_t c) {
    return is_digit(c) || (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z') || c == L'-' || c == L'_';
}

// A PID that names no process, or one that has ended, is free. A process we
// may not open still exists.
bool process_has_ended(DWORD pid) {
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, pid);
    if (process == nullptr) return GetLastError() == ERROR_INVALID_PARAMETER;
    bool ended = WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
    CloseHandle(process);
    return ended;
}

bool join_path(wchar_t *path, const wchar_t *folder, const wchar_t *name, const wchar_t *suffix) {
    size_t folder_length = wcslen(folder), name_length = wcslen(name), suffix_length = wcslen(suffix);
    if (folder_length + 1 + name_length + suffix_length + 1 > sweep_path_capacity) return false;
    wmemcpy(path, folder, folder_length);
    path[folder_length] = L'\\';
    wmemcpy(path + folder_length + 1, name, name_length);
    wmemcpy(path + folder_length + 1 + name_length, suffix, suffix_length + 1);
    return true;
}

// The folder the sweep thread works in, filled before it starts.
wchar_t sweep_folder[sweep_path_capacity];

DWORD WINAPI sweep_thread(void *) {
    // Below the application in both processor and disk use, on Windows.
    SetThreadPriority(GetCurrentThread(), THREAD_MODE_BACKGROUND_BEGIN);
    Sleep(sweep_delay_ms);
    sweep_stale_directories(sweep_folder, sweep_limit);
    return 0;
}

}  // namespace

bool parse_directory_name(const wchar_t *name, DWORD &pid, bool &tombstone) {
    if (wcsncmp(name, name_prefix, name_prefix_length) != 0) return false;
    const wchar_t *c = name + name_prefix_length;
    unsigned long long value = 0;
    int digits = 0;
    for (; is_digit(*c); ++c) {
        if (++digits > 10) return false;
        value = value * 10 + static_cast<unsigned>(*c - L'0');
    }
    if (digits == 0 || value > 0xFFFFFFFFull || *c++ != L'_') return false;
    for (int i = 0; i < 6; ++i, ++c)
        if (!is_digit(*c)) return false;
    if (*c++ != L'_') return false;
    for (int i = 0; i < 11; ++i, ++c)
        if (!is_random_unit(*c)) return false;
    tombstone = wcscmp(c, tombstone_suffix) == 0;
    if (*c != 0 && !tombstone) return false;
    pid = static_cast<DWORD>(value);
    return true;
}

int sweep_stale_directories(const wchar_t *folder, int limit) {
    static wchar_t pattern[sweep_path_capacity], candidate[sweep_path_capacity], tombstone[sweep_path_capacity];
    if (!join_path(pattern, folder, L"" TAVRIK_DIRECTORY_PREFIX "*", L"")) return 0;
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileExW(pattern, FindExInfoBasic, &entry, FindExSearchLimitToDirectories, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE) return 0;
    int removed = 0;
    do {
        DWORD pid = 0;
        bool is_tombstone = false;
        if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) continue;
        if (!parse_directory_name(entry.cFileName, pid, is_tombstone)) continue;
        if (!join_path(candidate, folder, entry.cFileName, L"")) continue;
        if (is_tombstone) {
            // Claimed by a sweep that could not finish; nobody uses it. (One
            // this sweep has just made may come up again here, already gone.)
            if (GetFileAttributesW(candidate) == INVALID_FILE_ATTRIBUTES) continue;
            delete_directory_tree(candidate);
            ++removed;
        } else {
            if (pid == GetCurrentProcessId() || !process_has_ended(pid)) continue;
            if (!join_path(tombstone, folder, entry.cFileName, tombstone_suffix)) continue;
            // Fails while the directory is in use (see the header): then it
            // is not ours to touch, now or ever, and is not entered.
            if (!MoveFileExW(candidate, tombstone, 0)) continue;
            delete_directory_tree(tombstone);
            ++removed;
        }
    } while (removed < limit && FindNextFileW(search, &entry));
    FindClose(search);
    return removed;
}

void hold_target_directory() {
    // Read access, so that the handle's sharing counts: without delete
    // sharing, nobody can rename or delete the directory while it is open.
    CreateFileW(launch.target_directory.text, FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

void start_stale_directory_sweep() {
    wcscpy(sweep_folder, launch.target_directory.text);
    wchar_t *separator = wcsrchr(sweep_folder, L'\\');
    if (separator == nullptr) return;
    *separator = 0;
    HANDLE thread = CreateThread(nullptr, 64 * 1024, sweep_thread, nullptr, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (thread != nullptr) CloseHandle(thread);
}
