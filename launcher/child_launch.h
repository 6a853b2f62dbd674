#pragma once
// Top-level instance: start this executable again as the child that runs
// the application and wait for it.

#include <windows.h>
#include <stddef.h>
#include <wchar.h>

#include "common/wide_buffer.h"

// The child's command line; CreateProcessW may write into it.
extern WideBuffer<32768> child_command_line;

// Appends `argument` to `command_line` so that the standard Windows splitting
// gives it back unchanged (an empty argument gives ""). Aborts when the
// buffer would overflow; never truncates.
void append_quoted_argument(wchar_t *command_line, size_t capacity, const wchar_t *argument);
inline void append_quoted_argument(const wchar_t *argument) {
    append_quoted_argument(child_command_line.text, child_command_line.capacity, argument);
}

// Builds the child's command line from `arguments`, element 0 replaced by
// `program`, one space between arguments.
void build_child_command_line(int count, wchar_t **arguments, const wchar_t *program);

// Splits a command line the standard Windows way (CommandLineToArgvW's
// contract); tests replace it to make it fail.
using CommandLineSplitter = wchar_t **(WINAPI *)(const wchar_t *command_line, int *count);
extern CommandLineSplitter split_command_line;

// How the child is created, resumed and waited for (the contracts of
// CreateProcessW, ResumeThread and WaitForSingleObject); tests replace them
// to make them fail.
struct ChildStarter {
    BOOL(WINAPI *create_process)(const wchar_t *application, wchar_t *command_line, SECURITY_ATTRIBUTES *process,
                                 SECURITY_ATTRIBUTES *thread, BOOL inherit_handles, DWORD flags, void *environment,
                                 const wchar_t *directory, STARTUPINFOW *startup, PROCESS_INFORMATION *information);
    DWORD(WINAPI *resume_thread)(HANDLE thread);
    DWORD(WINAPI *wait)(HANDLE object, DWORD milliseconds);
};
extern ChildStarter child_starter;
// A creation that fails with ERROR_INTERNAL_ERROR, or gives a child that has
// ended before it was resumed, is tried again, up to this many times.
inline constexpr int child_start_attempts = 5;
inline constexpr DWORD child_start_retry_pause_ms = 50;

// Publishes TAVRIK_ONEFILE_DIRECTORY and TAVRIK_ORIGINAL_ARGV0, starts this
// executable again with the same arguments and standard handles, tied to
// the launcher's job, and returns its process handle. A child that cannot
// be started (or resumed: it is then terminated) ends the process with its
// line and exit code 2.
HANDLE start_child();

// Publishes TAVRIK_ONEFILE_DIRECTORY, the folder this executable is in, as
// the application finds it when started by the launcher.
void publish_executable_directory();
// Waits for the child without a time limit and returns its exit code (1
// when it cannot be read); closes the handle. A wait that fails ends the
// process with its line and exit code 2, after the clean-up (which gives
// the child its grace period).
DWORD wait_for_child(HANDLE child);
