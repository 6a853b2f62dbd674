#pragma once
// Nested instance: load the application library from the target directory
// and hand it the process's argument vector.

// The application's entry point, exported by name as "run_code".
using RunCodeFunction = int (*)(int argc, wchar_t **argv, const wchar_t *library_path);

// Keeps the target directory open without delete sharing until the process
// ends (the handle is not inherited), so that a later launcher's sweep of
// stale directories never takes it for one.
void hold_target_directory();

// Returns what run_code returns; exits with 2 when the library cannot be
// loaded or lacks the entry point.
int run_application_library();
