#pragma once
// Directories left behind by launchers that were killed, and their removal
// by a later start.
//
// A launcher ended hard (TerminateProcess, a kill from outside) runs no
// clean-up, so its target directory stays in the temporary folder. A
// top-level instance removes such directories, of any packed application,
// from the folder its own target directory is in, while its application
// runs. A directory is stale only when
//   - its whole name has the shape onefile_<decimal pid>_<6 digits>_<11
//     characters of the random alphabet> (nothing else is looked at),
//   - no process with that PID exists any more, and
//   - it can be renamed: a nested instance holds its target directory open
//     without delete sharing for as long as it runs, and Windows refuses to
//     rename a directory while anything below it is open, so a directory in
//     use is never entered.
// The rename gives it the tombstone name <name>.deleted, which no live
// launcher uses; a tombstone left by a sweep that was itself ended is
// deleted by the next one.

#include <windows.h>

// The sweep starts this long after the child, so that it never competes
// with the application's own start; a run that ends sooner sweeps nothing.
inline constexpr DWORD sweep_delay_ms = 1000;
// At most this many directories go per start, which bounds its time.
inline constexpr int sweep_limit = 16;
inline constexpr wchar_t tombstone_suffix[] = L".deleted";

// Top-level instance, once its child runs: sweeps on a background thread
// after the delay. Nothing is reported and nothing waits for it; a sweep cut
// short by the end of the process leaves at most a tombstone.
void start_stale_directory_sweep();

// True when `name` has the shape of a target directory, or of its
// tombstone; `pid` is the number in it.
bool parse_directory_name(const wchar_t *name, DWORD &pid, bool &tombstone);

// Removes up to `limit` stale directories and tombstones directly in
// `folder` (an absolute path); returns how many it removed.
int sweep_stale_directories(const wchar_t *folder, int limit);
