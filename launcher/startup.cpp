#include "launcher/startup.h"

#include <errno.h>
#include <psapi.h>
#include <stdio.h>
#include <stdlib.h>

#include "common/environment.h"
#include "diagnostics/messages.h"
#include "diagnostics/report.h"
#include "launcher/cleanup.h"
#include "launcher/launch_state.h"
#include "paths/executable_path.h"
#include "paths/path_spec.h"

LaunchState launch;
ImagePathReader read_parent_image_path = K32GetModuleFileNameExW;

namespace {

// Large enough for any Windows path, so that a parent's image path is never
// cut short: a cut path would never match and every child would take itself
// for a top-level instance and start another child, without end.
constexpr DWORD parent_path_capacity = 32768;
wchar_t parent_path[parent_path_capacity];

}  // namespace

bool parent_is_same_executable() {
    wchar_t *value = get_env("TAVRIK_ONEFILE_PARENT");
    if (value == nullptr) return false;
    errno = 0;
    wchar_t *end = nullptr;
    unsigned long parsed = wcstoul(value, &end, 10);
    bool whole_number = errno == 0 && end != nullptr && *end == 0;
    free(value);
    if (!whole_number) return false;

    HANDLE parent = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE,
                                static_cast<DWORD>(parsed));
    if (parent == nullptr) return false;
    DWORD length = read_parent_image_path(parent, nullptr, parent_path, parent_path_capacity);
    if (length != 0) {
        resolve_final_path(parent_path, parent_path_capacity);
        shorten_path(parent_path, parent_path_capacity);
    }
    const wchar_t *own = normalised_executable_path();
    bool same = length != 0 && wcscmp(parent_path, own) == 0;
    CloseHandle(parent);
    return same;
}

void prepare_top_level_environment() {
    set_env("TAVRIK_ONEFILE_START", nullptr);
    set_env("TAVRIK_ONEFILE_TIME_US", nullptr);
    set_env("TAVRIK_ONEFILE_RANDOM", nullptr);
    char text[128];
    snprintf(text, sizeof text, "%ld", static_cast<long>(GetCurrentProcessId()));
    WideBuffer<128> pid;
    pid.append_ascii(text);
    set_env("TAVRIK_ONEFILE_PARENT", pid.text);
}

void compute_target_directory() {
    WideBuffer<4096> &target = launch.target_directory;
    bool expanded = expand_path_spec(target.text, target_directory_spec, target.capacity);
    static wchar_t absolute[4096];
    DWORD length = GetFullPathNameW(target.text, 4096, absolute, nullptr);
    if (length == 0 || length >= 4096) abort();
    target.assign(absolute);
    // Reported only now: an absolute-path step that fails on what a failed
    // expansion left has already ended the process, without the message.
    if (!expanded) report_spec_failure(target_directory_spec);
}

void start_up() {
    launch.argc = *__p___argc();
    launch.argv = *__p___wargv();
    // Takes the current directory out of the DLL search order.
    SetDllDirectoryW(L"");
    launch.is_top_level = !parent_is_same_executable();
    if (launch.is_top_level) prepare_top_level_environment();
    compute_target_directory();
    if (launch.is_top_level && !SetConsoleCtrlHandler(console_control_handler, TRUE))
        fail_plain(message_signal_handler);
}
