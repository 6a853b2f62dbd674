#pragma once
// Interruption and clean-up of the top-level instance: a running child gets
// a grace period, then the target directory is deleted with retries.
//
// Two threads can get here: the main thread after the child has ended, and
// the thread on which Windows calls the console control handler. The child's
// handle belongs to the main thread, which alone closes it; the handler only
// uses it while holding `child_lock`, and the main thread takes the handle
// out under the same lock before closing it. The deletion runs once, under
// `deletion_lock`: whoever comes second waits for it to end and does not
// delete again.

#include <windows.h>

inline constexpr DWORD child_grace_period_ms = 5000;
inline constexpr int deletion_attempts = 21;
inline constexpr DWORD deletion_pause_ms = 100;

// The operations the clean-up performs on the system; tests replace them to
// count calls.
struct CleanupOperations {
    DWORD (*delete_tree)(const wchar_t *directory);
    DWORD (*get_attributes)(const wchar_t *path);
    void (*pause)(DWORD milliseconds);
};

struct CleanupState {
    CRITICAL_SECTION child_lock;
    CRITICAL_SECTION deletion_lock;
    // The running child, or null; owned by the main thread.
    HANDLE child_process = nullptr;
    // Set once the stream has been opened: from then on files may exist.
    volatile LONG extraction_started = 0;
    bool deletion_done = false;
    CleanupOperations operations;
};
extern CleanupState cleanup;

// Resets the process-wide clean-up state (and the real operations).
void initialise_cleanup();
void mark_extraction_started();

// Main thread: publishes the child for the handler / takes it back.
void set_child_process(HANDLE child);
HANDLE take_child_process();

void cleanup_extraction();
// A top-level instance's reported failure: closes what the walk held open
// and deletes what it unpacked, as the normal clean-up does.
void cleanup_after_failure();
BOOL WINAPI console_control_handler(DWORD control_type);
