#include "launcher/stale_directories.h"

#include <wchar.h>

#include "format/launcher_names.h"
#include "launcher/launch_state.h"
#include "launcher/tree_deletion.h"

namespace {

constexpr const wchar_t *name_prefix = launcher_names::directory_prefix;
constexpr size_t name_prefix_length = launcher_names::directory_prefix_length;

bool is_digit(wchar_t c) { return c >= L'0' && c <= L'9'; }

bool is_random_unit(wchar_t c) {
    return is_digit(c) || (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z') || c == L'-' || c == L'_';
}

// File systems stamp times more coarsely than process starts are stamped:
// Linux's file times lag its clock by up to a tick, FAT's write times (which
// Wine reports as a directory's creation) come in 2-second steps.
constexpr ULONGLONG time_stamp_slack = 2 * 10000000ull;  // 100-ns units

ULONGLONG ticks(const FILETIME &time) {
    return (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

// How entries below the swept folder are told to be themselves.
EntryNaming sweep_naming;

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

bool join_path(wchar_t *path, const wchar_t *folder, const wchar_t *name, const wchar_t *suffix) {
    size_t folder_length = wcslen(folder), name_length = wcslen(name), suffix_length = wcslen(suffix);
    if (folder_length > 0 && folder[folder_length - 1] == L'\\') --folder_length;
    if (folder_length + 1 + name_length + suffix_length + 1 > sweep_path_capacity) return false;
    wmemcpy(path, folder, folder_length);
    path[folder_length] = L'\\';
    wmemcpy(path + folder_length + 1, name, name_length);
    wmemcpy(path + folder_length + 1 + name_length, suffix, suffix_length + 1);
    return true;
}

// The launcher whose PID a directory's name carries has ended when no
// process has that PID any more, or when the process that has it now
// started after the directory was made: PIDs are reused, and in a fresh
// Wine session the first process always gets the same one. A process we
// may not open, or whose start we cannot read, still counts as the owner.
bool launcher_has_ended(DWORD pid, const FILETIME &made) {
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, pid);
    if (process == nullptr) return GetLastError() == ERROR_INVALID_PARAMETER;
    bool ended = WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
    FILETIME created, exited, kernel, user;
    if (!ended && GetProcessTimes(process, &created, &exited, &kernel, &user))
        ended = ticks(created) > ticks(made) + time_stamp_slack;
    CloseHandle(process);
    return ended;
}

// Renames the directory at `from` to `to` (both resolved \\?\ paths in
// one folder) through a handle on the directory itself: under Wine a
// rename by path moves whatever a Unix link there points to. Opening for
// deletion fails while a nested instance holds the directory (it shares no
// deletion), and on Windows the rename fails while anything below is open.
bool rename_to_tombstone(const wchar_t *from, const wchar_t *to, wchar_t *scratch, const EntryNaming &naming) {
    // The new name as a native path: \\?\C:\... is \??\C:\... there.
    static union {
        FILE_RENAME_INFO info;
        unsigned char bytes[sizeof(FILE_RENAME_INFO) + sweep_path_capacity * sizeof(wchar_t)];
    } rename;
    size_t length = wcslen(to);
    if (wcsncmp(to, L"\\\\?\\", 4) != 0 || length >= sweep_path_capacity) return false;
    rename.info = FILE_RENAME_INFO{};
    wmemcpy(rename.info.FileName, L"\\??\\", 4);
    wmemcpy(rename.info.FileName + 4, to + 4, length - 4 + 1);
    rename.info.FileNameLength = static_cast<DWORD>(length * sizeof(wchar_t));
    HANDLE directory = open_entry_as_itself(from, DELETE | SYNCHRONIZE, scratch, sweep_path_capacity, naming);
    if (directory == INVALID_HANDLE_VALUE) return false;
    BOOL renamed = SetFileInformationByHandle(directory, FileRenameInfo, &rename.info,
                                              static_cast<DWORD>(sizeof rename.info + length * sizeof(wchar_t)));
    CloseHandle(directory);
    return renamed != FALSE;
}

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

namespace {

struct SweepCount {
    int attempted = 0;
    int removed = 0;
};

// One pass over the folder's listing (`pattern`), through ordinary stale
// directories or through tombstones, trying up to `limit` of them.
SweepCount sweep_pass(const wchar_t *pattern, const wchar_t *resolved, bool tombstones, int limit) {
    alignas(8) static wchar_t scratch[sweep_path_capacity];
    static wchar_t candidate[sweep_path_capacity], tombstone[sweep_path_capacity];
    SweepCount count;
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileExW(pattern, FindExInfoBasic, &entry, FindExSearchLimitToDirectories, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE) return count;
    do {
        DWORD pid = 0;
        bool is_tombstone = false;
        // A launcher makes plain directories: a link is no launcher's.
        if ((entry.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) !=
            FILE_ATTRIBUTE_DIRECTORY)
            continue;
        if (!parse_directory_name(entry.cFileName, pid, is_tombstone) || is_tombstone != tombstones) continue;
        if (!join_path(candidate, resolved, entry.cFileName, L"")) continue;
        if (is_tombstone) {
            // Claimed by a sweep that could not finish; nobody uses it.
            if (GetFileAttributesW(candidate) == INVALID_FILE_ATTRIBUTES) continue;
            ++count.attempted;
            if (delete_directory_tree(candidate) == 0) ++count.removed;
        } else {
            if (!launcher_has_ended(pid, entry.ftCreationTime)) continue;
            if (!join_path(tombstone, resolved, entry.cFileName, tombstone_suffix)) continue;
            // Fails while the directory is in use (see the header): then it
            // is not ours to touch, now or ever, and is not entered.
            if (!rename_to_tombstone(candidate, tombstone, scratch, sweep_naming)) continue;
            ++count.attempted;
            if (delete_directory_tree(tombstone) == 0) ++count.removed;
        }
    } while (count.attempted < limit && FindNextFileW(search, &entry));
    FindClose(search);
    return count;
}

}  // namespace

int sweep_stale_directories(const wchar_t *folder, int limit) {
    alignas(8) static wchar_t extended[sweep_path_capacity], resolved[sweep_path_capacity];
    static wchar_t pattern[sweep_path_capacity];
    // Names are joined to the folder as the system names it, so that an
    // entry can be checked to be what its name says (see tree_deletion.h).
    int below_top = 0;
    if (!write_extended_form(folder, extended, sweep_path_capacity, below_top)) return 0;
    if (!resolve_directory(extended, resolved, sweep_path_capacity, sweep_naming)) return 0;
    if (!join_path(pattern, resolved, L"" TAVRIK_DIRECTORY_PREFIX "*", L"")) return 0;
    // Ordinary directories first, each pass with its own budget: a tombstone
    // that cannot be deleted (a file of a process still running, a link
    // Wine cannot remove) stays, and is tried again by every sweep.
    SweepCount ordinary = sweep_pass(pattern, resolved, false, limit);
    SweepCount tombstones = sweep_pass(pattern, resolved, true, limit);
    return ordinary.removed + tombstones.removed;
}

void start_stale_directory_sweep() {
    wcscpy(sweep_folder, launch.target_directory.text);
    wchar_t *separator = wcsrchr(sweep_folder, L'\\');
    if (separator == nullptr) return;
    // A drive's root keeps its separator: C: alone would name the drive's
    // current directory.
    separator[separator > sweep_folder && separator[-1] == L':' ? 1 : 0] = 0;
    HANDLE thread = CreateThread(nullptr, 64 * 1024, sweep_thread, nullptr, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (thread != nullptr) CloseHandle(thread);
}
