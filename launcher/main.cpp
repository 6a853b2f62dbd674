// The launcher's entry point: the launch sequence in the order it happens.
//
// A top-level instance unpacks the attached archive below a fresh directory
// in the temporary folder, starts this executable again as its child, waits,
// deletes the directory and exits with the child's code. The child, a nested
// instance, finds the same directory and runs the application library there.
// A program packed for cached mode unpacks once and runs from there.

#include <windows.h>

#include "launcher/archive.h"
#include "launcher/attached_data.h"
#include "launcher/cached_start.h"
#include "launcher/child_launch.h"
#include "launcher/cleanup.h"
#include "launcher/launch_state.h"
#include "launcher/library_entry.h"
#include "launcher/stale_directories.h"
#include "launcher/startup.h"

void (*launch_step_observer)(const char *step) = nullptr;

namespace {

void step_done(const char *step) {
    if (launch_step_observer != nullptr) launch_step_observer(step);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
    step_done("entry");
    initialise_cleanup();
    step_done("initialised");
    // A program packed for cached mode runs from its unpacked build when it
    // can, and otherwise goes on as below.
    int cached_exit_code = 0;
    if (start_cached(cached_exit_code)) return cached_exit_code;
    start_up();
    step_done("started_up");
    open_attached_data();
    step_done("opened");
    extract_archive();
    step_done("extracted");
    int result;
    if (!is_top_level) {
        hold_target_directory();
        result = run_application_library();
    } else {
        finish_attached_data();
        HANDLE child = start_child();
        start_stale_directory_sweep();
        DWORD exit_code = wait_for_child(child);
        cleanup_extraction();
        result = static_cast<int>(exit_code_after_cleanup(exit_code));
    }
    step_done("done");
    return result;
}
