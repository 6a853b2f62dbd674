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
//
// An interruption ends the launcher from the handler's thread once the
// clean-up is done, with the child's exit code when the child ended by
// itself, and with STATUS_CONTROL_C_EXIT when the launcher had to terminate
// it or no child ran. The main thread, should it get to the end first,
// returns the same code; until then it starts nothing new: the archive walk,
// the child's start and every failure report stop and wait for the handler
// to end the process.

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
    // Ends the process from the handler's thread (ExitProcess).
    void (*end_process)(UINT exit_code);
};

// How the child came to an end, as far as the launcher knows.
enum class ChildEnd {
    // None started yet, or it still runs.
    not_yet,
    // It ended by itself; `child_exit_code` holds its code.
    by_itself,
    // The clean-up terminated it after the grace period.
    terminated,
};

struct CleanupState {
    CRITICAL_SECTION child_lock;
    CRITICAL_SECTION deletion_lock;
    // The running child, or null; owned by the main thread.
    HANDLE child_process = nullptr;
    // Under child_lock: how the child ended, set once by whoever saw it first.
    ChildEnd child_end = ChildEnd::not_yet;
    DWORD child_exit_code = 0;
    // Set once the stream has been opened: from then on files may exist.
    volatile LONG extraction_started = 0;
    // Set by the console handler when an event ends the launcher.
    volatile LONG interrupted = 0;
    bool deletion_done = false;
    // The file the archive walk is writing, or null; the walk sets it.
    // Closed before a failure's or an interruption's deletion, which an open
    // file would keep from its directory.
    HANDLE file_being_written = nullptr;
    CleanupOperations operations;
};
extern CleanupState cleanup;

// Resets the process-wide clean-up state (and the real operations).
void initialise_cleanup();
void mark_extraction_started();

// Main thread: publishes the child for the handler; false, with nothing
// published, when an interruption came first (the child must not run).
bool set_child_process(HANDLE child);
// Main thread, once the child has ended with `exit_code`: takes the handle
// back for closing.
HANDLE take_child_process(DWORD exit_code);

bool interruption_under_way();
// Main thread, while an interruption is under way: closes what the archive
// walk holds open and waits for the handler to end the process.
[[noreturn]] void wait_for_interruption_to_end();
// Main thread: returns unless an interruption is under way.
void stand_by_if_interrupted();

void cleanup_extraction();
// The launcher's exit code once the clean-up is done: the child's
// `exit_code`, unless an interruption decides otherwise (see above).
DWORD exit_code_after_cleanup(DWORD exit_code);
// A top-level instance's reported failure: closes what the walk held open
// and deletes what it unpacked, as the normal clean-up does.
void cleanup_after_failure();
BOOL WINAPI console_control_handler(DWORD control_type);
