#include "launcher/cleanup.h"

#include "launcher/archive.h"
#include "launcher/launch_state.h"
#include "launcher/tree_deletion.h"

CleanupState cleanup;

namespace {

constexpr CleanupOperations system_operations = {
    delete_directory_tree,
    GetFileAttributesW,
    Sleep,
};

// Gives a running child its grace period and terminates it after that. The
// handle stays open: the main thread closes it.
void stop_child() {
    EnterCriticalSection(&cleanup.child_lock);
    if (cleanup.child_process != nullptr &&
        WaitForSingleObject(cleanup.child_process, child_grace_period_ms) != WAIT_OBJECT_0)
        TerminateProcess(cleanup.child_process, 0);
    LeaveCriticalSection(&cleanup.child_lock);
}

// A relative or empty path would be resolved against the current
// directory: only an absolute path is ever handed to the deletion.
bool is_absolute_path(const wchar_t *path) {
    bool drive = path[0] != 0 && path[1] == L':' && path[2] == L'\\';
    bool unc = path[0] == L'\\' && path[1] == L'\\' && path[2] != 0;
    return drive || unc;
}

void delete_target_directory() {
    const wchar_t *directory = launch.target_directory.text;
    if (!is_absolute_path(directory)) return;
    const CleanupOperations &op = cleanup.operations;
    op.delete_tree(directory);
    for (int attempt = 1; attempt < deletion_attempts; ++attempt) {
        DWORD attributes = op.get_attributes(directory);
        if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) return;
        op.pause(deletion_pause_ms);
        op.delete_tree(directory);
    }
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
    cleanup.extraction_started = 0;
    cleanup.deletion_done = false;
    cleanup.operations = system_operations;
}

void mark_extraction_started() { InterlockedExchange(&cleanup.extraction_started, 1); }

void set_child_process(HANDLE child) {
    EnterCriticalSection(&cleanup.child_lock);
    cleanup.child_process = child;
    LeaveCriticalSection(&cleanup.child_lock);
}

HANDLE take_child_process() {
    EnterCriticalSection(&cleanup.child_lock);
    HANDLE child = cleanup.child_process;
    cleanup.child_process = nullptr;
    LeaveCriticalSection(&cleanup.child_lock);
    return child;
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

void cleanup_after_failure() {
    close_file_being_written();
    cleanup_extraction();
}

BOOL WINAPI console_control_handler(DWORD control_type) {
    switch (control_type) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            cleanup_extraction();
            break;
        default:
            break;
    }
    // FALSE passes the event on; with no other handler Windows' default
    // handling then ends the launcher, so the handler never picks the code.
    return FALSE;
}
