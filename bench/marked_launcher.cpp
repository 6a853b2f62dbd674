// A bench-only build of the launcher for profiling: launcher/main.cpp
// itself, linked with this observer of its steps, which takes
// QueryPerformanceCounter readings between them and around the system calls
// the library lets a caller replace (directory creation, command-line
// splitting, the tree deletion). With TAVRIK_BENCH_MARKS set, each instance
// appends one line to the file it names before returning from its main
// function:
//
//   top|nested[-probe] <pid> <name>=<counter> ...
//
// Never shipped, never part of a test; scripts/bench does not use it either.

#include <windows.h>
#include <stdio.h>
#include <string.h>

#include "common/shell.h"
#include "launcher/archive.h"
#include "launcher/child_launch.h"
#include "launcher/cleanup.h"
#include "launcher/launch_state.h"
#include "launcher/startup.h"
#include "launcher/tree_deletion.h"

namespace {

struct Mark {
    const char *name;
    long long counter;
};
Mark marks[128];
int mark_count = 0;

void mark(const char *name) {
    if (mark_count == 128) return;
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    marks[mark_count++] = {name, now.QuadPart};
}

int directories_made = 0;
BOOL WINAPI marked_create_directory(const wchar_t *path, LPSECURITY_ATTRIBUTES security) {
    bool first = directories_made++ == 0;
    if (first) mark("first_mkdir_call");
    BOOL made = CreateDirectoryW(path, security);
    if (first) mark("first_mkdir_done");
    return made;
}

wchar_t **WINAPI marked_split(const wchar_t *command_line, int *count) {
    mark("split_call");
    wchar_t **arguments = shell_command_line_to_argv(command_line, count);
    mark("split_done");
    return arguments;
}

DWORD marked_delete(const wchar_t *directory) {
    mark("delete_call");
    DWORD result = delete_directory_tree(directory);
    mark("delete_done");
    return result;
}

void write_marks() {
    static wchar_t path[4096];
    DWORD length = GetEnvironmentVariableW(L"TAVRIK_BENCH_MARKS", path, 4096);
    if (length == 0 || length >= 4096) return;
    static char line[8192];
    // Probe runs of the harness (which set TAVRIK_BENCH_REPORT) are marked
    // apart: their polling and reporting take time of their own.
    bool probe = GetEnvironmentVariableW(L"TAVRIK_BENCH_REPORT", nullptr, 0) != 0;
    int used = snprintf(line, sizeof line, "%s%s %lu", is_top_level ? "top" : "nested", probe ? "-probe" : "",
                        GetCurrentProcessId());
    for (int i = 0; i < mark_count && used < static_cast<int>(sizeof line) - 64; ++i)
        used += snprintf(line + used, sizeof line - used, " %s=%lld", marks[i].name, marks[i].counter);
    used += snprintf(line + used, sizeof line - used, "\n");
    HANDLE file = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(file, line, static_cast<DWORD>(used), &written, nullptr);
    CloseHandle(file);
}

// The launch sequence's steps; the system calls are replaced once the
// clean-up state, which holds the deletion, has been initialised.
void observe_step(const char *step) {
    mark(step);
    if (strcmp(step, "initialised") == 0) {
        cleanup.operations.delete_tree = marked_delete;
        directory_cache.create_directory = marked_create_directory;
        split_command_line = marked_split;
    } else if (strcmp(step, "done") == 0) {
        write_marks();
    }
}

// Before the entry point runs.
const bool observing = (launch_step_observer = observe_step, true);

}  // namespace
