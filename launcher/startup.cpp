#include "launcher/startup.h"

#include <errno.h>
#include <psapi.h>
#include <stdio.h>
#include <stdlib.h>

#include "common/environment.h"
#include "common/shell.h"
#include "diagnostics/messages.h"
#include "diagnostics/report.h"
#include "format/launcher_names.h"
#include "launcher/cleanup.h"
#include "launcher/launch_state.h"
#include "launcher/tree_deletion.h"
#include "paths/executable_path.h"
#include "paths/path_spec.h"

LaunchState launch;
bool is_top_level = true;

namespace {

// The creator's ID from the process's basic information, read through ntdll
// (always loaded) so that the launcher imports nothing more.
struct BasicInformation {
    LONG exit_status;
    void *peb;
    ULONG_PTR affinity;
    LONG priority;
    ULONG_PTR process_id;
    ULONG_PTR creator_process_id;
};

DWORD query_creator_process_id() {
    using Query = LONG(WINAPI *)(HANDLE, int, void *, ULONG, ULONG *);
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    if (ntdll == nullptr) return 0;
    Query query = reinterpret_cast<Query>(
        reinterpret_cast<void *>(GetProcAddress(ntdll, "NtQueryInformationProcess")));
    BasicInformation information = {};
    if (query == nullptr || query(GetCurrentProcess(), 0, &information, sizeof information, nullptr) < 0) return 0;
    return static_cast<DWORD>(information.creator_process_id);
}

// Large enough for any Windows path, so that a parent's image path is never
// cut short: a cut path would never match and every child would take itself
// for a top-level instance and start another child, without end.
constexpr DWORD parent_path_capacity = 32768;
wchar_t parent_path[parent_path_capacity];

// Fills parent_path with the image path of `process_id`; false when it
// cannot be read (no such process, or no right to ask).
bool read_parent_path(DWORD process_id) {
    HANDLE parent = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, process_id);
    if (parent != nullptr) {
        DWORD length = parent_queries.read_image_path(parent, nullptr, parent_path, parent_path_capacity);
        CloseHandle(parent);
        if (length != 0) return true;
    }
    // The memory read is refused under a debugger or tracer, by security
    // software and for protected processes; the system's own record of the
    // image needs only limited rights.
    parent = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, process_id);
    if (parent == nullptr) return false;
    // That record outlives the process while anyone holds a handle to it;
    // an ended parent is no parent.
    DWORD size = parent_path_capacity;
    BOOL read = WaitForSingleObject(parent, 0) == WAIT_TIMEOUT &&
                parent_queries.query_image_path(parent, 0, parent_path, &size);
    CloseHandle(parent);
    return read && size != 0;
}

}  // namespace

ParentQueries parent_queries = {K32GetModuleFileNameExW, QueryFullProcessImageNameW, query_creator_process_id};

ParentCheck check_parent() {
    wchar_t *value = get_env(TAVRIK_PARENT_VARIABLE);
    if (value == nullptr) return ParentCheck::none;
    errno = 0;
    wchar_t *end = nullptr;
    unsigned long parsed = wcstoul(value, &end, 10);
    bool whole_number = errno == 0 && end != nullptr && *end == 0;
    free(value);
    if (!whole_number) return ParentCheck::none;
    DWORD process_id = static_cast<DWORD>(parsed);
    // No process is its own parent. A leaked variable can name us all the
    // same: in a fresh Wine session the first process always has one PID.
    if (process_id == GetCurrentProcessId()) return ParentCheck::none;

    if (read_parent_path(process_id)) {
        resolve_final_path(parent_path, parent_path_capacity);
        shorten_path(parent_path, parent_path_capacity);
        if (wcscmp(parent_path, normalised_executable_path()) == 0) return ParentCheck::same_executable;
    }
    // A launcher starts no program but its own executable as a child. So
    // when the named process created us and still we did not recognise it,
    // something keeps us from seeing that it is this executable.
    if (process_id != 0 && process_id == parent_queries.creator_process_id())
        return ParentCheck::unrecognised_creator;
    return ParentCheck::none;
}

bool parent_is_same_executable() { return check_parent() == ParentCheck::same_executable; }

void prepare_top_level_environment() {
    set_env(TAVRIK_START_VARIABLE, nullptr);
    set_env(TAVRIK_TIME_VARIABLE, nullptr);
    set_env(TAVRIK_RANDOM_VARIABLE, nullptr);
    char text[128];
    snprintf(text, sizeof text, "%ld", static_cast<long>(GetCurrentProcessId()));
    WideBuffer<128> pid;
    pid.append_ascii(text);
    set_env(TAVRIK_PARENT_VARIABLE, pid.text);
}

void compute_target_directory() {
    WideBuffer<4096> &target = launch.target_directory;
    // Reported before anything is made of what a failed expansion left
    // (nothing, when {TEMP} fails): that would be a path in the root of the
    // current drive, or none at all, and the process would end unheard.
    if (!expand_path_spec(target.text, target_directory_spec, target.capacity))
        report_spec_failure(target_directory_spec);
    static wchar_t absolute[4096];
    DWORD length = GetFullPathNameW(target.text, 4096, absolute, nullptr);
    if (length == 0 || length >= 4096) abort();
    target.assign(absolute);
    // Only a directory the clean-up can delete is unpacked into: a volume
    // GUID or device path, or one with "." or ".." left in its \\?\ form,
    // would stay behind after every run.
    if (!is_deletable_root(target.text)) report_spec_failure(target_directory_spec);
}

void start_up() {
    launch.argc = *__p___argc();
    launch.argv = *__p___wargv();
    // Takes the current directory out of the DLL search order.
    SetDllDirectoryW(L"");
    ParentCheck parent = check_parent();
    if (parent == ParentCheck::unrecognised_creator) fail_plain(message_parent_unrecognised);
    is_top_level = parent != ParentCheck::same_executable;
    // From here on a reported failure of a top-level instance deletes what
    // it has unpacked so far.
    if (is_top_level) set_failure_hooks(stand_by_if_interrupted, cleanup_after_failure);
    if (is_top_level) prepare_top_level_environment();
    compute_target_directory();
    if (!is_top_level) return;
    // Every DLL the main thread needs is loaded before the handler can run.
    // Wine runs the handlers holding its console lock, and its default
    // handling then needs the loader lock; a DLL loaded meanwhile (shcore
    // pulls in msvcrt, whose start-up registers a handler of its own) holds
    // the loader lock while it waits for the console lock: both wait for
    // ever. A splitter that cannot be loaded fails at the child's start.
    load_command_line_splitter();
    if (!SetConsoleCtrlHandler(console_control_handler, TRUE)) fail_plain(message_signal_handler);
}
