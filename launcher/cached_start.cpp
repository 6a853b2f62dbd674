#include "launcher/cached_start.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "common/environment.h"
#include "diagnostics/messages.h"
#include "diagnostics/report.h"
#include "format/cached_settings.h"
#include "format/launcher_names.h"
#include "launcher/archive.h"
#include "launcher/attached_data.h"
#include "launcher/child_launch.h"
#include "launcher/cleanup.h"
#include "launcher/launch_state.h"
#include "launcher/library_entry.h"
#include "launcher/stale_directories.h"
#include "launcher/startup.h"
#include "launcher/tree_deletion.h"
#include "paths/executable_path.h"
#include "paths/path_spec.h"

namespace {

constexpr size_t path_capacity = sweep_path_capacity;
constexpr wchar_t staging_infix[] = L".staging-";
constexpr wchar_t tombstone_infix[] = L".deleted-";
constexpr DWORD hold_sharing = FILE_SHARE_READ | FILE_SHARE_WRITE;

// Where this start's build lives, filled once by the main thread before
// the sweep thread reads it. Paths are resolved \\?\ paths.
struct CachedPaths {
    alignas(8) wchar_t location[path_capacity];
    wchar_t program[path_capacity];
    wchar_t build[path_capacity];
    wchar_t staging[path_capacity];
    // The build's name: build_name_units hexadecimal digits.
    wchar_t build_name[cached_settings::build_name_units + 1];
    // How entries below the location are told to be themselves.
    EntryNaming naming;
    // Scratch for the checks of tree_deletion.h and for joined paths.
    alignas(8) wchar_t scratch[path_capacity];
    wchar_t file[path_capacity];
    // The program's folder, held (see hold_plain_directory).
    HANDLE program_held;
};
CachedPaths paths;

// Paths are joined by join_path (stale_directories.h): false when the
// joined path does not fit, and the start then falls back.

bool join_text(wchar_t *out, const wchar_t *folder, const cached_settings::Text &text) {
    static wchar_t name[cached_settings::max_program_units + 1];
    if (text.units > cached_settings::max_program_units) return false;
    for (size_t i = 0; i < text.units; ++i) name[i] = static_cast<wchar_t>(text.unit(i));
    name[text.units] = 0;
    return join_path(out, folder, name, L"");
}

// `infix` and this process's ID: how its staging folder's or tombstone's
// name ends.
const wchar_t *own_suffix(const wchar_t *infix) {
    static wchar_t suffix[32];
    char digits[16];
    snprintf(digits, sizeof digits, "%lu", static_cast<unsigned long>(GetCurrentProcessId()));
    size_t length = wcslen(infix);
    wmemcpy(suffix, infix, length);
    for (const char *c = digits; *c != 0; ++c) suffix[length++] = static_cast<wchar_t>(*c);
    suffix[length] = 0;
    return suffix;
}

// A name of the list, as walk_list fills it.
wchar_t list_name[archive_records::max_name_units + 1];

// The path the application is given: the \\?\ form without its prefix, as
// a per-run start names its directory.
const wchar_t *without_prefix(const wchar_t *path) {
    static wchar_t plain[path_capacity];
    if (wcsncmp(path, L"\\\\?\\UNC\\", 8) == 0) {
        // Shorter than `path`: it fits.
        plain[0] = L'\\';
        wcscpy(plain + 1, path + 7);
        return plain;
    }
    if (wcsncmp(path, L"\\\\?\\", 4) == 0 && path[4] != 0 && path[5] == L':') return path + 4;
    return path;
}

bool is_absolute(const wchar_t *path) {
    bool drive = path[0] != 0 && path[1] == L':' && path[2] == L'\\';
    return drive || (path[0] == L'\\' && path[1] == L'\\' && path[2] != 0);
}

// This executable's settings frame and digest, when it has them.
bool read_own_settings(cached_settings::Settings &settings, const unsigned char *&digest) {
    const unsigned char *data = nullptr;
    uint64_t span = 0;
    locate_attached_data(data, span);
    if (span == 0) return false;
    const uint64_t length = span + packed_format::magic_size;
    const size_t tail_bytes = length < packed_format::tail_size ? static_cast<size_t>(length) : packed_format::tail_size;
    packed_format::Layout layout;
    if (packed_format::read_layout(data, packed_format::magic_size, data + length - tail_bytes, tail_bytes, length,
                                   layout) != nullptr ||
        !layout.has_digest)
        return false;
    const unsigned char *content = nullptr;
    size_t content_size = 0;
    if (!cached_settings::find_frame(data + packed_format::magic_size, data + layout.frame_end, content,
                                     content_size))
        return false;
    if (cached_settings::read_settings(content, content_size, settings) != nullptr) return false;
    digest = layout.digest;
    return true;
}

// Makes `path` (absolute) and any missing folder above it; true when it is
// a plain directory afterwards.
bool make_location(wchar_t *path) {
    DWORD attributes = GetFileAttributesW(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        // Every level from the top down; those that exist answer so.
        size_t length = wcslen(path);
        for (size_t i = 3; i <= length; ++i) {
            if (path[i] != L'\\' && path[i] != 0) continue;
            wchar_t kept = path[i];
            path[i] = 0;
            CreateDirectoryW(path, nullptr);
            path[i] = kept;
        }
        attributes = GetFileAttributesW(path);
    }
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
           !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// Opens the directory `path` (resolved) as itself, holding it without
// delete sharing: nobody renames or deletes it while this process runs.
// Invalid when it is no plain directory of that name (a link, a junction,
// a file) or cannot be opened.
HANDLE hold_plain_directory(const wchar_t *path) {
    HANDLE directory = open_entry_as_itself(path, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES, paths.scratch,
                                            path_capacity, paths.naming, hold_sharing);
    if (directory == INVALID_HANDLE_VALUE) return directory;
    // Not GetFileInformationByHandle: its volume serial number costs Wine a
    // round trip to its mount manager, a quarter of a millisecond.
    FILE_ATTRIBUTE_TAG_INFO information;
    if (!GetFileInformationByHandleEx(directory, FileAttributeTagInfo, &information, sizeof information) ||
        (information.FileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) !=
            FILE_ATTRIBUTE_DIRECTORY) {
        CloseHandle(directory);
        return INVALID_HANDLE_VALUE;
    }
    return directory;
}

// Expands `spec` into `given` (4096 units). {CACHE_DIR} at its start is
// the user's local application data, which Windows also sets as
// LOCALAPPDATA for every logon: read from there, a warm start need not load
// the shell (some 10 ms under Wine) to learn it.
bool expand_local_application_data(wchar_t *given, const wchar_t *spec) {
    static const wchar_t placeholder[] = L"{CACHE_DIR}";
    const size_t placeholder_length = wcslen(placeholder);
    wchar_t *local = _wcsnicmp(spec, placeholder, placeholder_length) == 0 ? get_env("LOCALAPPDATA") : nullptr;
    if (local == nullptr) return expand_path_spec(given, spec, 4096);
    size_t length = wcslen(local);
    while (length > 3 && local[length - 1] == L'\\') local[--length] = 0;
    bool usable = length < 4096 && is_absolute(local);
    if (usable) wcscpy(given, local);
    free(local);
    if (!usable) return expand_path_spec(given, spec, 4096);
    return expand_path_spec(given + length, spec + placeholder_length, 4096 - length);
}

// Fills the location, the program's folder and the build's paths, making
// the first two as needed, and holds the program's folder.
bool find_build(const cached_settings::Settings &settings, const unsigned char *digest) {
    static wchar_t given[4096], absolute[4096], extended[4096];
    wchar_t *moved = get_env(TAVRIK_CACHE_VARIABLE);
    if (moved != nullptr) {
        bool fits = wcslen(moved) < 4096 && is_absolute(moved);
        if (fits) wcscpy(given, moved);
        free(moved);
        if (!fits) return false;
    } else {
        static wchar_t spec[cached_settings::max_spec_units + 1];
        for (size_t i = 0; i < settings.spec.units; ++i) spec[i] = static_cast<wchar_t>(settings.spec.unit(i));
        spec[settings.spec.units] = 0;
        if (!expand_local_application_data(given, spec)) return false;
    }
    DWORD length = GetFullPathNameW(given, 4096, absolute, nullptr);
    if (length == 0 || length >= 4096 || !is_absolute(absolute)) return false;
    if (!make_location(absolute)) return false;
    // Resolved from its \\?\ form where it has one: a folder without a DOS
    // path is then walked by that form.
    int below_top = 0;
    const wchar_t *location = write_extended_form(absolute, extended, 4096, below_top) ? extended : absolute;
    if (!resolve_directory(location, paths.location, path_capacity, paths.naming)) return false;

    if (!join_text(paths.program, paths.location, settings.program)) return false;
    // Made only by a program's first start; every later one finds it.
    paths.program_held = hold_plain_directory(paths.program);
    if (paths.program_held == INVALID_HANDLE_VALUE) {
        CreateDirectoryW(paths.program, nullptr);
        paths.program_held = hold_plain_directory(paths.program);
        if (paths.program_held == INVALID_HANDLE_VALUE) return false;
    }

    static const char hex[] = "0123456789abcdef";
    for (size_t i = 0; i < cached_settings::build_name_bytes; ++i) {
        paths.build_name[2 * i] = static_cast<wchar_t>(hex[digest[i] >> 4]);
        paths.build_name[2 * i + 1] = static_cast<wchar_t>(hex[digest[i] & 15]);
    }
    paths.build_name[cached_settings::build_name_units] = 0;
    return join_path(paths.build, paths.program, paths.build_name, L"");
}

enum class BuildState { complete, missing, damaged, elsewhere };

// A file of the build, as the list says it must be.
bool file_is_whole(const wchar_t *path, bool has_size, uint64_t size) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path, GetFileExInfoStandard, &data)) return false;
    if (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) return false;
    uint64_t found = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return !has_size || found == size;
}

// Looks at the build without changing anything. When complete, the build
// stays held (see hold_plain_directory) for as long as this process runs.
BuildState examine_build(const cached_settings::Settings &settings) {
    DWORD attributes = GetFileAttributesW(paths.build);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? BuildState::missing
                                                                              : BuildState::elsewhere;
    }
    HANDLE held = hold_plain_directory(paths.build);
    // A link, a file or a build someone holds exclusively: not ours to use
    // or replace.
    if (held == INVALID_HANDLE_VALUE) return BuildState::elsewhere;
    bool whole = join_path(paths.file, paths.build, reinterpret_cast<const wchar_t *>(cached_settings::marker_name), L"") &&
                 file_is_whole(paths.file, false, 0);
    whole = whole && cached_settings::walk_list(settings, list_name, [](const wchar_t *name, size_t, uint64_t size) {
        return join_path(paths.file, paths.build, name, L"") && file_is_whole(paths.file, true, size);
    });
    if (whole) return BuildState::complete;
    CloseHandle(held);
    return BuildState::damaged;
}

// Renames the directory `name` in `folder` to a tombstone of this process
// and deletes it; false when it cannot be renamed (someone uses it). What
// the deletion leaves, a later sweep removes; `whole` tells whether nothing
// was left.
bool remove_directory(const wchar_t *folder, const wchar_t *name, bool &whole) {
    static wchar_t path[path_capacity], tombstone[path_capacity];
    whole = false;
    if (!join_path(path, folder, name, L"") || !join_path(tombstone, folder, name, own_suffix(tombstone_infix)))
        return false;
    if (!rename_to_tombstone(path, tombstone, paths.scratch, paths.naming)) return false;
    whole = delete_directory_tree(tombstone) == 0;
    return true;
}

// Unpacks the archive into this process's staging folder and commits it
// as the build by one rename. False when the staging folder cannot be made
// or another start's build took the place and is not complete; the staging
// folder is gone then. An interruption deletes the staging folder and ends
// the process; a failure to unpack reports, deletes it and exits with 2.
bool unpack_build() {
    if (!join_path(paths.staging, paths.program, paths.build_name, own_suffix(staging_infix))) return false;
    // One with our PID is left by a launcher that ended without cleaning up.
    if (GetFileAttributesW(paths.staging) != INVALID_FILE_ATTRIBUTES) delete_directory_tree(paths.staging);
    launch.target_directory.assign(without_prefix(paths.staging));
    // The clean-up of a per-run start takes care of the staging folder from
    // before it exists: an interruption or a failure deletes it, however
    // soon after its making it comes.
    set_failure_hooks(stand_by_if_interrupted, cleanup_after_failure);
    if (!SetConsoleCtrlHandler(console_control_handler, TRUE)) {
        set_failure_hooks(nullptr, nullptr);
        return false;
    }
    mark_extraction_started();
    if (!CreateDirectoryW(paths.staging, nullptr)) {
        // Nothing to delete. An interruption under way ends the process
        // with its code; otherwise the per-run start takes over.
        EnterCriticalSection(&cleanup.deletion_lock);
        cleanup.deletion_done = true;
        LeaveCriticalSection(&cleanup.deletion_lock);
        SetConsoleCtrlHandler(console_control_handler, FALSE);
        set_failure_hooks(nullptr, nullptr);
        stand_by_if_interrupted();
        return false;
    }
    open_attached_data();
    extract_archive();
    finish_attached_data();
    if (!join_path(paths.file, paths.staging, reinterpret_cast<const wchar_t *>(cached_settings::marker_name), L""))
        abort();
    HANDLE marker = CreateFileW(paths.file, GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    if (marker == INVALID_HANDLE_VALUE) fail_with_path(message_open_for_writing, without_prefix(paths.file));
    CloseHandle(marker);

    // Under the deletion lock, so that an interruption either deletes the
    // staging folder before the rename or finds the build committed and
    // deletes nothing.
    EnterCriticalSection(&cleanup.deletion_lock);
    if (interruption_under_way()) {
        LeaveCriticalSection(&cleanup.deletion_lock);
        wait_for_interruption_to_end();
    }
    bool committed = MoveFileExW(paths.staging, paths.build, 0) != FALSE;
    if (committed) cleanup.deletion_done = true;
    LeaveCriticalSection(&cleanup.deletion_lock);
    // The application runs in this process from now on, with the handling
    // of console events it would have without the launcher.
    SetConsoleCtrlHandler(console_control_handler, FALSE);
    set_failure_hooks(nullptr, nullptr);
    if (!committed) delete_directory_tree(paths.staging);
    return true;
}

// Back to the state a per-run start begins in.
void prepare_fallback() {
    launch.target_directory.clear();
    launch.application_library_path.clear();
    initialise_cleanup();
}

DWORD WINAPI build_sweep_thread(void *) {
    // Below the application in both processor and disk use, on Windows.
    SetThreadPriority(GetCurrentThread(), THREAD_MODE_BACKGROUND_BEGIN);
    Sleep(sweep_delay_ms);
    sweep_program_folder(paths.program, paths.build_name);
    return 0;
}

bool is_hex_digit(wchar_t c) { return (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f'); }

// True when the program's folder, held as `folder`, holds a folder other
// than `build`: something a sweep may have to remove. Read through the
// handle, which costs Wine a fifth of opening the folder by name.
bool has_company(HANDLE folder, const wchar_t *build) {
    alignas(8) static unsigned char listing[4096];
    const size_t build_bytes = wcslen(build) * sizeof(wchar_t);
    FILE_INFO_BY_HANDLE_CLASS part = FileFullDirectoryRestartInfo;
    while (GetFileInformationByHandleEx(folder, part, listing, sizeof listing)) {
        part = FileFullDirectoryInfo;
        for (const unsigned char *at = listing;;) {
            auto entry = reinterpret_cast<const FILE_FULL_DIR_INFO *>(at);
            const wchar_t *name = entry->FileName;
            const size_t bytes = entry->FileNameLength;
            bool dots = (bytes == 2 && name[0] == L'.') || (bytes == 4 && name[0] == L'.' && name[1] == L'.');
            bool ours = bytes == build_bytes && memcmp(name, build, bytes) == 0;
            if ((entry->FileAttributes & FILE_ATTRIBUTE_DIRECTORY) && !dots && !ours) return true;
            if (entry->NextEntryOffset == 0) break;
            at += entry->NextEntryOffset;
        }
    }
    return false;
}

}  // namespace

CacheEntryKind parse_cache_entry_name(const wchar_t *name, DWORD &pid) {
    for (size_t i = 0; i < cached_settings::build_name_units; ++i)
        if (!is_hex_digit(name[i])) return CacheEntryKind::other;
    const wchar_t *rest = name + cached_settings::build_name_units;
    if (*rest == 0) return CacheEntryKind::build;
    CacheEntryKind kind = CacheEntryKind::other;
    size_t infix = 0;
    if (wcsncmp(rest, staging_infix, wcslen(staging_infix)) == 0) {
        kind = CacheEntryKind::staging;
        infix = wcslen(staging_infix);
    } else if (wcsncmp(rest, tombstone_infix, wcslen(tombstone_infix)) == 0) {
        kind = CacheEntryKind::tombstone;
        infix = wcslen(tombstone_infix);
    } else {
        return CacheEntryKind::other;
    }
    unsigned long long value = 0;
    int digits = 0;
    for (const wchar_t *c = rest + infix; *c != 0; ++c) {
        if (*c < L'0' || *c > L'9' || ++digits > 10) return CacheEntryKind::other;
        value = value * 10 + static_cast<unsigned>(*c - L'0');
    }
    if (digits == 0 || value > 0xFFFFFFFFull) return CacheEntryKind::other;
    pid = static_cast<DWORD>(value);
    return kind;
}

int sweep_program_folder(const wchar_t *folder, const wchar_t *current) {
    static wchar_t pattern[path_capacity], candidate[path_capacity];
    if (!join_path(pattern, folder, L"*", L"")) return 0;
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileExW(pattern, FindExInfoBasic, &entry, FindExSearchLimitToDirectories, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE) return 0;
    int attempted = 0, removed = 0;
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    do {
        // Only plain directories are ours; a link is never entered.
        if ((entry.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) !=
            FILE_ATTRIBUTE_DIRECTORY)
            continue;
        DWORD pid = 0;
        CacheEntryKind kind = parse_cache_entry_name(entry.cFileName, pid);
        if (kind == CacheEntryKind::other || !join_path(candidate, folder, entry.cFileName, L"")) continue;
        if (kind == CacheEntryKind::build && wcscmp(entry.cFileName, current) == 0) continue;
        if (kind == CacheEntryKind::staging && !launcher_has_ended(pid, entry.ftCreationTime)) continue;
        if (kind == CacheEntryKind::tombstone) {
            // Claimed by a start that could not finish deleting it. A
            // tombstone keeps the times of what it was, so only a PID that
            // no process has any more tells that its start has ended.
            if (pid == GetCurrentProcessId() || !launcher_has_ended(pid, now)) continue;
            ++attempted;
            if (delete_directory_tree(candidate) == 0) ++removed;
            continue;
        }
        // A build or staging folder in use cannot be renamed: it stays.
        bool whole = false;
        if (!remove_directory(folder, entry.cFileName, whole)) continue;
        ++attempted;
        if (whole) ++removed;
    } while (attempted < sweep_limit && FindNextFileW(search, &entry));
    FindClose(search);
    return removed;
}

bool start_cached(int &exit_code) {
    cached_settings::Settings settings;
    const unsigned char *digest = nullptr;
    if (!read_own_settings(settings, digest)) return false;
    launch.argc = *__p___argc();
    launch.argv = *__p___wargv();
    // Takes the current directory out of the DLL search order.
    SetDllDirectoryW(L"");
    // A child of a per-run fallback, or a creator we cannot recognise: the
    // per-run start deals with both.
    if (check_parent() != ParentCheck::none) return false;
    if (!find_build(settings, digest)) return false;

    BuildState state = examine_build(settings);
    bool whole = false;
    if (state == BuildState::damaged && remove_directory(paths.program, paths.build_name, whole)) state = BuildState::missing;
    if (state == BuildState::missing) {
        if (!unpack_build()) {
            prepare_fallback();
            return false;
        }
        // Ours or, when another start committed first, theirs.
        state = examine_build(settings);
    }
    if (state != BuildState::complete) {
        prepare_fallback();
        return false;
    }

    // The application library is the list's first name.
    bool first_seen = false;
    cached_settings::walk_list(settings, list_name, [&first_seen](const wchar_t *name, size_t, uint64_t) {
        first_seen = join_path(paths.file, paths.build, name, L"");
        return false;
    });
    if (!first_seen) {
        prepare_fallback();
        return false;
    }
    launch.target_directory.assign(without_prefix(paths.build));
    launch.application_library_path.assign(without_prefix(paths.file));
    // What the application sees is what a per-run start's child sees.
    publish_executable_directory();
    set_env(TAVRIK_ARGV0_VARIABLE, launch.argv[0]);
    launch.argv[0] = const_cast<wchar_t *>(executable_path());

    // Most starts find their build alone in the program's folder, and then
    // start no thread at all.
    if (has_company(paths.program_held, paths.build_name)) {
        HANDLE thread = CreateThread(nullptr, 64 * 1024, build_sweep_thread, nullptr,
                                     STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
        if (thread != nullptr) CloseHandle(thread);
    }
    exit_code = run_application_library();
    return true;
}
