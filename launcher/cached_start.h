#pragma once
// Cached mode: a program packed with a cached-mode settings frame
// (format/cached_settings.h) is unpacked once, into
//   <location>\<program folder>\<build>
// where <location> is TAVRIK_CACHE_DIR or the packed spec expanded, and
// <build> the first bytes of the attached data's digest in hexadecimal.
// Every later start of the same build finds it complete (the marker is
// there and every listed file has its listed size) and runs the
// application in this very process: nothing is decoded, nothing written,
// no child started.
//
// A first start unpacks into <build>.staging-<pid> beside it, writes the
// marker last and commits the folder by one rename; a start that loses the
// race to another uses the winner's build and deletes its own staging
// folder. A damaged build is renamed away (it cannot be while in use) and
// unpacked afresh. The location, the program's folder and the build must be
// plain directories: a link there, a location that cannot be made or
// written, a damaged build in use, any doubt, and the start runs from a
// fresh per-run directory as it always did.
//
// Once the application runs, a background thread removes builds of the same
// program that nobody uses, and staging and tombstone folders of launchers
// that have ended.

#include <windows.h>

// What a name in a program's folder is.
enum class CacheEntryKind {
    other,     // nothing of ours: left alone
    build,     // <32 hex digits>
    staging,   // <build>.staging-<pid>
    tombstone  // <build>.deleted-<pid>
};
// Parses a name in a program's folder; `pid` for staging and tombstones.
CacheEntryKind parse_cache_entry_name(const wchar_t *name, DWORD &pid);

// Removes, from the program's folder `folder` (a resolved \\?\ path), the
// builds other than `current` (a build's name) that nobody holds, and the
// staging folders and tombstones of launchers that have ended. Returns how
// many it removed whole.
int sweep_program_folder(const wchar_t *folder, const wchar_t *current);

// Top-level instance of a program packed for cached mode: runs the
// application from its build, unpacking it first when needed, and returns
// true with run_code's result in `exit_code`. False when the program is not
// packed for cached mode, this is a nested instance, or the start must fall
// back to a per-run directory; nothing of the per-run launch has happened
// then.
bool start_cached(int &exit_code);
