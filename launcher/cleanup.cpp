#include "launcher/cleanup.h"

#include "launcher/launch_state.h"
#include "launcher/tree_deletion.h"

CleanupState cleanup;

namespace {

void end_process(UINT exit_code) { ExitProcess(exit_code); }

constexpr CleanupOperations system_operations = {
    delete_directory_tree,
    GetFileAttributesW,
    Sleep,
    end_process,
};

// Under child_lock: the first account of the child's end is the one kept.
void record_child_end(ChildEnd end, DWORD exit_code) {
    if (cleanup.child_end != ChildEnd::not_yet) return;
    cleanup.child_end = end;
    cleanup.child_exit_code = exit_code;
}

// Gives a running child its grace period and terminates it after that. The
// handle stays open: the main thread closes it.
void stop_child() {
    EnterCriticalSection(&cleanup.child_lock);
    HANDLE child = cleanup.child_process;
    if (child != nullptr) {
        bool ended = WaitForSingleObject(child, child_grace_period_ms) == WAIT_OBJECT_0;
        // A termination fails when the child has just ended by itself.
        if (!ended && TerminateProcess(child, 0)) {
            record_child_end(ChildEnd::terminated, 0);
        } else {
            DWORD exit_code = 0;
            if (!GetExitCodeProcess(child, &exit_code)) exit_code = 1;
            record_child_end(ChildEnd::by_itself, exit_code);
        }
    }
    LeaveCriticalSection(&cleanup.child_lock);
}

void delete_target_directory() {
    const wchar_t *directory = launch.target_directory.text;
    // Start-up unpacks into no other kind of directory; a root refused here
    // would only cost the retries.
    if (!is_deletable_root(directory)) return;
    const CleanupOperations &op = cleanup.operations;
    op.delete_tree(directory);
    for (int attempt = 1; attempt < deletion_attempts; ++attempt) {
        DWORD attributes = op.get_attributes(directory);
        if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) return;
        op.pause(deletion_pause_ms);
        op.delete_tree(directory);
    }
}

void close_file_being_written() {
    if (cleanup.file_being_written == nullptr) return;
    CloseHandle(cleanup.file_being_written);
    cleanup.file_being_written = nullptr;
}

DWORD interruption_exit_code() {
    EnterCriticalSection(&cleanup.child_lock);
    DWORD exit_code = cleanup.child_end == ChildEnd::by_itself ? cleanup.child_exit_code : STATUS_CONTROL_C_EXIT;
    LeaveCriticalSection(&cleanup.child_lock);
    return exit_code;
}

}  // namespace

void initialise_cleanup() {
    static bool locks_made = false;
    if (!locks_made) {
        InitializeCriticalSection(&cleanup.child_lock);
        InitializeCriticalSection(&cleanup.deletion_lock);
        locks_made = true;
    }
    cleanup.child_process = nullptr;
    cleanup.child_end = ChildEnd::not_yet;
    cleanup.child_exit_code = 0;
    cleanup.extraction_started = 0;
    cleanup.interrupted = 0;
    cleanup.deletion_done = false;
    cleanup.file_being_written = nullptr;
    cleanup.operations = system_operations;
}

void mark_extraction_started() { InterlockedExchange(&cleanup.extraction_started, 1); }

bool set_child_process(HANDLE child) {
    EnterCriticalSection(&cleanup.child_lock);
    // Read under the lock: a handler that set the flag before we got here
    // finds no child, and one that sets it after finds this one.
    bool published = !interruption_under_way();
    if (published) cleanup.child_process = child;
    LeaveCriticalSection(&cleanup.child_lock);
    return published;
}

HANDLE take_child_process(DWORD exit_code) {
    EnterCriticalSection(&cleanup.child_lock);
    HANDLE child = cleanup.child_process;
    cleanup.child_process = nullptr;
    if (child != nullptr) record_child_end(ChildEnd::by_itself, exit_code);
    LeaveCriticalSection(&cleanup.child_lock);
    return child;
}

bool interruption_under_way() { return InterlockedCompareExchange(&cleanup.interrupted, 1, 1) != 0; }

void wait_for_interruption_to_end() {
    // A file still open would keep the handler's deletion from its directory.
    close_file_being_written();
    for (;;) Sleep(INFINITE);
}

void stand_by_if_interrupted() {
    if (interruption_under_way()) wait_for_interruption_to_end();
}

void cleanup_extraction() {
    stop_child();
    if (InterlockedCompareExchange(&cleanup.extraction_started, 1, 1) == 0) return;
    EnterCriticalSection(&cleanup.deletion_lock);
    if (!cleanup.deletion_done) {
        delete_target_directory();
        cleanup.deletion_done = true;
    }
    LeaveCriticalSection(&cleanup.deletion_lock);
}

DWORD exit_code_after_cleanup(DWORD exit_code) {
    return interruption_under_way() ? interruption_exit_code() : exit_code;
}

void cleanup_after_failure() {
    close_file_being_written();
    cleanup_extraction();
    // The failure may be the interruption's doing (its deletion took the
    // directory from under the walk): the handler ends the process.
    stand_by_if_interrupted();
}

BOOL WINAPI console_control_handler(DWORD control_type) {
    switch (control_type) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            break;
        default:
            // FALSE passes the event on to the next handler.
            return FALSE;
    }
    InterlockedExchange(&cleanup.interrupted, 1);
    cleanup_extraction();
    // Ended here rather than by the system's default handling, which would
    // pick the code itself (Wine's gives 0, as if the run had succeeded).
    cleanup.operations.end_process(exit_code_after_cleanup(0));
    return TRUE;
}
