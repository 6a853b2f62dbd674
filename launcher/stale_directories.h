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
//     characters of the random alphabet> (nothing else is looked at), and it
//     is a plain directory, not a link,
//   - no process with that PID exists any more, or the one that has it now
//     started after the directory was made (PIDs are reused; a fresh Wine
//     session always gives its first process the same one), and
//   - it can be renamed: a nested instance holds its target directory open
//     without delete sharing for as long as it runs, and Windows refuses to
//     rename a directory while anything below it is open, so a directory in
//     use is never entered. (Wine renames a directory with files open below
//     it: there only the nested instance's hold protects a directory, not
//     the files of processes its application leaves running.)
// The rename gives it the tombstone name <name>.deleted, which no live
// launcher uses; a tombstone left by a sweep that was itself ended is
// deleted by the next one. The rename and the deletion act only on entries
// that are what their names say (see tree_deletion.h).

#include <windows.h>

#include "launcher/tree_deletion.h"

// The sweep starts this long after the child, so that it never competes
// with the application's own start; a run that ends sooner sweeps nothing.
inline constexpr DWORD sweep_delay_ms = 1000;
// At most this many directories, and as many tombstones, are tried per
// start, which bounds its time.
inline constexpr int sweep_limit = 16;
inline constexpr wchar_t tombstone_suffix[] = L".deleted";

// Top-level instance, once its child runs: sweeps on a background thread
// after the delay. Nothing is reported and nothing waits for it; a sweep cut
// short by the end of the process leaves at most a tombstone.
void start_stale_directory_sweep();

// True when `name` has the shape of a target directory, or of its
// tombstone; `pid` is the number in it.
bool parse_directory_name(const wchar_t *name, DWORD &pid, bool &tombstone);

// True when the launcher with `pid` that made a directory at `made` has
// ended (see above); a process we may not ask counts as still running.
bool launcher_has_ended(DWORD pid, const FILETIME &made);

// Renames the directory `from` to `to` (resolved \\?\ paths in one folder)
// through a handle on the directory itself, never through a link (checked
// with `naming`, filled when their folder was resolved); fails while anyone
// holds it without delete sharing. `scratch` takes sweep_path_capacity units.
inline constexpr size_t sweep_path_capacity = 4096 + 64;
// Writes `folder`\`name``suffix` into `path` (sweep_path_capacity units);
// a drive's or share's root, named with its separator (\\?\C:\), gets no
// second one. False when it does not fit.
bool join_path(wchar_t *path, const wchar_t *folder, const wchar_t *name, const wchar_t *suffix);
bool rename_to_tombstone(const wchar_t *from, const wchar_t *to, wchar_t *scratch, const EntryNaming &naming);

// Tries up to `limit` stale directories, then up to `limit` tombstones,
// directly in `folder` (an absolute path in a form read_path_form accepts);
// returns how many of them it removed whole.
int sweep_stale_directories(const wchar_t *folder, int limit);
