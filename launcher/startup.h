#pragma once
// Start-up: argument vector, DLL search path, role, target directory.

#include <windows.h>

// How the role decision learns about other processes; tests replace these
// to stand for parents at paths Wine cannot start programs from, or whose
// memory cannot be read.
struct ParentQueries {
    // The image path from the process's memory (K32GetModuleFileNameExW's
    // contract); needs PROCESS_VM_READ, which debuggers, security software
    // and protected processes can deny.
    DWORD(WINAPI *read_image_path)(HANDLE process, HMODULE module, LPWSTR path, DWORD capacity);
    // The image path the system keeps for the process
    // (QueryFullProcessImageNameW's contract); needs only limited rights.
    BOOL(WINAPI *query_image_path)(HANDLE process, DWORD flags, LPWSTR path, PDWORD size);
    // The process that created this one, or 0 when unknown.
    DWORD (*creator_process_id)();
};
extern ParentQueries parent_queries;

enum class ParentCheck {
    // No usable TAVRIK_ONEFILE_PARENT, or it names this very process, or the
    // process it names has ended, or it runs another executable: this
    // process is a top-level instance.
    none,
    // It runs this same executable: this process is the nested instance.
    same_executable,
    // It created this process, so it is a launcher that started us as its
    // child, yet we cannot tell that it runs this executable. Going on as a
    // top-level instance would start a child that meets the same fate, and
    // so on without end.
    unrecognised_creator,
};

// Examines the process named by TAVRIK_ONEFILE_PARENT. Never reports.
ParentCheck check_parent();
bool parent_is_same_executable();

// Top-level preparation: drops inherited cached values and publishes our PID.
void prepare_top_level_environment();

// Expands the target-directory spec and makes it absolute.
void compute_target_directory();

// All start-up steps up to the console handler registration. A creator that
// cannot be recognised ends the process with its line and exit code 2.
void start_up();
