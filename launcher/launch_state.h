#pragma once
// Process-wide state of one launch, filled once on the main thread.

#include <windows.h>

#include "common/wide_buffer.h"
#include "format/launcher_names.h"

struct LaunchState {
    // Argument count and vector as the CRT parsed them at start-up.
    int argc = 0;
    wchar_t **argv = nullptr;
    // Absolute extraction directory; final once start-up has ended.
    WideBuffer<4096> target_directory;
    // Full path of the first archive file, the application library.
    WideBuffer<4096> application_library_path;
};
extern LaunchState launch;

// Set once by the role decision: true unless our parent is this same
// executable, in which case we are the nested instance. Kept apart from
// LaunchState so that the state's 16 KiB of buffers stay zero-initialised
// and take no room in the executable.
extern bool is_top_level;

// Told the name of each step of the launch sequence (launcher/main.cpp) as
// it ends, and "entry" before the first; null in the launcher. The
// benchmark's profiling build sets it to read a counter between the steps.
extern void (*launch_step_observer)(const char *step);

// The target-directory spec both instances expand to the same directory.
inline constexpr const wchar_t target_directory_spec[] = L"{TEMP}\\" TAVRIK_DIRECTORY_PREFIX "{PID}_{TIME_US}_{RANDOM}";
