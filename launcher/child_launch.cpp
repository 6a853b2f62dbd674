#include "launcher/child_launch.h"

#include <windows.h>
#include <stdlib.h>

#include "common/shell.h"

#include "common/environment.h"
#include "diagnostics/messages.h"
#include "diagnostics/report.h"
#include "format/launcher_names.h"
#include "launcher/attached_data.h"
#include "launcher/cleanup.h"
#include "launcher/launch_state.h"
#include "paths/executable_path.h"

WideBuffer<32768> child_command_line;
CommandLineSplitter split_command_line = shell_command_line_to_argv;
ChildStarter child_starter = {CreateProcessW, ResumeThread, WaitForSingleObject};

namespace {

void append_character(wchar_t *command_line, size_t capacity, size_t &length, wchar_t c) {
    if (length + 2 > capacity) abort();
    command_line[length++] = c;
    command_line[length] = 0;
}

// An empty argument is quoted too: written as nothing it would vanish
// between its separators when the child splits its command line.
bool needs_quotes(const wchar_t *argument) {
    if (*argument == 0) return true;
    for (const wchar_t *c = argument; *c != 0; ++c)
        if (*c == L' ' || *c == L'\t' || *c == L'\n' || *c == L'\v' || *c == L'"') return true;
    return false;
}

// The child ends with this process, however it ends: it joins a job that
// kills its processes when its last handle closes, and the only handle is
// ours, left for the system to close when we end (after a normal run the
// child has long ended by then). Processes the application starts break
// away from the job silently, so they behave as they would without the
// launcher. The launcher may itself run in a job that refuses all this; the
// child then simply runs as before.
void tie_child_to_launcher(HANDLE child) {
    HANDLE job = CreateJobObjectW(nullptr, nullptr);
    if (job == nullptr) return;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK;
    if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits) ||
        !AssignProcessToJobObject(job, child))
        CloseHandle(job);
}

}  // namespace

void publish_executable_directory() {
    static wchar_t directory[4097];
    copy_wide(directory, 4097, directory_source());
    wchar_t *separator = wcsrchr(directory, L'\\');
    if (separator != nullptr) *separator = 0;  // a drive root gives "C:"
    set_env(TAVRIK_DIRECTORY_VARIABLE, directory);
}

void append_quoted_argument(wchar_t *command_line, size_t capacity, const wchar_t *argument) {
    size_t length = wcsnlen(command_line, capacity);
    if (!needs_quotes(argument)) {
        append_wide(command_line, capacity, argument);
        return;
    }
    append_character(command_line, capacity, length, L'"');
    const wchar_t *c = argument;
    for (;;) {
        size_t backslashes = 0;
        while (*c == L'\\') {
            ++backslashes;
            ++c;
        }
        if (*c == 0) {
            // Doubled so that the closing quote is not taken as escaped.
            for (size_t i = 0; i < 2 * backslashes; ++i) append_character(command_line, capacity, length, L'\\');
            append_character(command_line, capacity, length, L'"');
            return;
        }
        if (*c == L'"') {
            for (size_t i = 0; i < 2 * backslashes + 1; ++i) append_character(command_line, capacity, length, L'\\');
        } else {
            for (size_t i = 0; i < backslashes; ++i) append_character(command_line, capacity, length, L'\\');
        }
        append_character(command_line, capacity, length, *c);
        ++c;
    }
}

void build_child_command_line(int count, wchar_t **arguments, const wchar_t *program) {
    child_command_line.clear();
    for (int i = 0; i < count; ++i) {
        if (i > 0) append_wide(child_command_line.text, child_command_line.capacity, L" ");
        append_quoted_argument(i == 0 ? program : arguments[i]);
    }
}

HANDLE start_child() {
    // Only a top-level instance starts a child: a nested one doing so would
    // start a chain of children without end.
    if (!is_top_level) fail_plain(message_nested_launch);
    publish_executable_directory();
    set_env(TAVRIK_ARGV0_VARIABLE, launch.argv[0]);
    const wchar_t *program = executable_path();

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);

    // The child's arguments come from the command line as Windows splits it,
    // not from the CRT's vector, and are re-quoted so the child splits them
    // back unchanged.
    int count = 0;
    wchar_t **arguments = split_command_line(GetCommandLineW(), &count);
    if (arguments == nullptr) fail_with_code(message_launch_failed, GetLastError());
    build_child_command_line(count, arguments, program);

    // Suspended until it is in the launcher's job: a launcher killed in
    // between would otherwise leave an application running outside it.
    PROCESS_INFORMATION child = {};
    for (int attempt = 1;; ++attempt) {
        stand_by_if_interrupted();
        DWORD error = 0;
        if (child_starter.create_process(program, child_command_line.text, nullptr, nullptr, TRUE,
                                         NORMAL_PRIORITY_CLASS | CREATE_SUSPENDED, nullptr, nullptr, &startup,
                                         &child)) {
            // Ended before it was ever resumed, it never ran: its exit code
            // would pass for the application's.
            if (WaitForSingleObject(child.hProcess, 0) != WAIT_OBJECT_0) break;
            CloseHandle(child.hThread);
            CloseHandle(child.hProcess);
            error = ERROR_PROCESS_ABORTED;
        } else {
            error = GetLastError();
            // Wine's process creation fails now and then under load with
            // this error, and succeeds when asked again.
            if (error != ERROR_INTERNAL_ERROR) fail_with_code(message_launch_failed, error);
        }
        if (attempt == child_start_attempts) fail_with_code(message_launch_failed, error);
        Sleep(child_start_retry_pause_ms);
    }
    tie_child_to_launcher(child.hProcess);
    if (!set_child_process(child.hProcess)) {
        // An interruption came first: the child never runs.
        TerminateProcess(child.hProcess, 0);
        wait_for_interruption_to_end();
    }
    // A child left suspended would be waited for without end.
    if (child_starter.resume_thread(child.hThread) == static_cast<DWORD>(-1)) {
        DWORD error = GetLastError();
        TerminateProcess(child.hProcess, 0);
        fail_with_code(message_launch_failed, error);
    }
    CloseHandle(child.hThread);
    return child.hProcess;
}

DWORD wait_for_child(HANDLE child) {
    DWORD waited = child_starter.wait(child, INFINITE);
    if (waited != WAIT_OBJECT_0) fail_with_code(message_wait_failed, waited == WAIT_FAILED ? GetLastError() : waited);
    DWORD exit_code = 0;
    if (!GetExitCodeProcess(child, &exit_code)) exit_code = 1;
    // Taken back under the lock first, so that the console handler never
    // uses the handle after it is closed.
    CloseHandle(take_child_process(exit_code));
    return exit_code;
}
