#pragma once
// Start-up: argument vector, DLL search path, role, target directory.

#include <windows.h>

// Reads the image path of another process (K32GetModuleFileNameExW's
// contract); tests replace it to stand for parents at paths Wine cannot
// start programs from.
using ImagePathReader = DWORD(WINAPI *)(HANDLE process, HMODULE module, LPWSTR path, DWORD capacity);
extern ImagePathReader read_parent_image_path;

// Decides whether the process named by TAVRIK_ONEFILE_PARENT runs this same
// executable. Never reports anything: every failed test means top-level.
bool parent_is_same_executable();

// Top-level preparation: drops inherited cached values and publishes our PID.
void prepare_top_level_environment();

// Expands the target-directory spec and makes it absolute.
void compute_target_directory();

// All start-up steps up to the console handler registration.
void start_up();
