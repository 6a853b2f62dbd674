// The benchmark's application library. run_code returns 0 at once.
//
// With TAVRIK_BENCH_REPORT set (only in the harness's "probe" runs) it first
// records, in this order:
//   - QueryPerformanceCounter at entry, before anything else;
//   - this process's creation time (GetProcessTimes);
//   - the files below the directory that holds this library: count, bytes,
//     the last-write time of this library and the latest last-write time of
//     any file (the end of the extraction);
//   - this process's memory figures (GetProcessMemoryInfo);
//   - a handle to this process, duplicated into the harness (whose PID is in
//     TAVRIK_BENCH_HARNESS_PID), so the harness can read this process's exit
//     time after it has ended;
// and writes them as "key=value" lines to the file the variable names,
// followed by QueryPerformanceCounter taken just before returning.
// TAVRIK_BENCH_RUN is echoed back so the harness never reads a stale report.
//
// With TAVRIK_BENCH_HOLD_MS set (the harness's "held" runs), it first waits
// that many milliseconds, as an application that runs a while would.

#include <windows.h>
#include <psapi.h>
#include <stdio.h>
#include <wchar.h>

namespace {

struct Tree {
    unsigned long long files = 0;
    unsigned long long bytes = 0;
    unsigned long long latest_write = 0;  // FILETIME as 100 ns units
};

unsigned long long ticks(const FILETIME &t) {
    return (static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
}

void walk(wchar_t *path, size_t length, size_t capacity, int depth, Tree &tree) {
    if (depth > 8 || length + 3 >= capacity) return;
    wcscpy(path + length, L"\\*");
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileExW(path, FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        if (wcscmp(found.cFileName, L".") == 0 || wcscmp(found.cFileName, L"..") == 0) continue;
        size_t name_length = wcslen(found.cFileName);
        if (length + 1 + name_length + 1 >= capacity) continue;
        path[length] = L'\\';
        wcscpy(path + length + 1, found.cFileName);
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            walk(path, length + 1 + name_length, capacity, depth + 1, tree);
        } else {
            ++tree.files;
            tree.bytes += (static_cast<unsigned long long>(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
            unsigned long long written = ticks(found.ftLastWriteTime);
            if (written > tree.latest_write) tree.latest_write = written;
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
    path[length] = 0;
}

char report[4096];
size_t used = 0;

void add(const char *key, unsigned long long value) {
    if (used < sizeof report)
        used += static_cast<size_t>(snprintf(report + used, sizeof report - used, "%s=%llu\n", key, value));
}

}  // namespace

extern "C" __declspec(dllexport) int run_code(int, wchar_t **, const wchar_t *library_path) {
    LARGE_INTEGER entry;
    QueryPerformanceCounter(&entry);

    wchar_t hold[16];
    DWORD hold_length = GetEnvironmentVariableW(L"TAVRIK_BENCH_HOLD_MS", hold, 16);
    if (hold_length != 0 && hold_length < 16) Sleep(static_cast<DWORD>(wcstoul(hold, nullptr, 10)));

    static wchar_t report_path[4096];
    DWORD n = GetEnvironmentVariableW(L"TAVRIK_BENCH_REPORT", report_path, 4096);
    if (n == 0 || n >= 4096) return 0;

    wchar_t text[64];
    unsigned long long run = 0, harness_pid = 0;
    if (GetEnvironmentVariableW(L"TAVRIK_BENCH_RUN", text, 64) - 1 < 63) run = wcstoull(text, nullptr, 10);
    if (GetEnvironmentVariableW(L"TAVRIK_BENCH_HARNESS_PID", text, 64) - 1 < 63)
        harness_pid = wcstoull(text, nullptr, 10);

    add("run", run);
    add("pid", GetCurrentProcessId());
    add("entry_qpc", static_cast<unsigned long long>(entry.QuadPart));

    FILETIME created, exited, kernel, user;
    if (GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) add("created_ft", ticks(created));

    static wchar_t path[32768];
    wcsncpy(path, library_path, 32767);
    wchar_t *separator = wcsrchr(path, L'\\');
    WIN32_FILE_ATTRIBUTE_DATA own;
    if (GetFileAttributesExW(library_path, GetFileExInfoStandard, &own))
        add("library_write_ft", ticks(own.ftLastWriteTime));
    if (separator != nullptr) {
        *separator = 0;
        Tree tree;
        walk(path, wcslen(path), 32768, 0, tree);
        add("files", tree.files);
        add("bytes", tree.bytes);
        add("latest_write_ft", tree.latest_write);
    }

    PROCESS_MEMORY_COUNTERS memory = {};
    memory.cb = sizeof memory;
    if (GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory)) {
        add("peak_working_set", memory.PeakWorkingSetSize);
        add("working_set", memory.WorkingSetSize);
        add("peak_private", memory.PeakPagefileUsage);
    }

    HANDLE harness = harness_pid ? OpenProcess(PROCESS_DUP_HANDLE, FALSE, static_cast<DWORD>(harness_pid)) : nullptr;
    if (harness != nullptr) {
        HANDLE in_harness = nullptr;
        if (DuplicateHandle(GetCurrentProcess(), GetCurrentProcess(), harness, &in_harness,
                            PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, 0))
            add("handle_in_harness", reinterpret_cast<unsigned long long>(in_harness));
        CloseHandle(harness);
    }

    // The report goes out in two writes: the second carries the time taken
    // just before returning, so only closing the file follows it.
    HANDLE file = CreateFileW(report_path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 0;
    DWORD written = 0;
    WriteFile(file, report, static_cast<DWORD>(used), &written, nullptr);
    used = 0;
    LARGE_INTEGER done;
    QueryPerformanceCounter(&done);
    add("return_qpc", static_cast<unsigned long long>(done.QuadPart));
    WriteFile(file, report, static_cast<DWORD>(used), &written, nullptr);
    CloseHandle(file);
    return 0;
}
