#pragma once
// The archive walk over the records of format/archive_records.h. A
// top-level instance writes every file below the target directory; a nested
// instance only learns the first name.

#include <windows.h>

#include "format/archive_records.h"

inline constexpr size_t archive_name_capacity = 1024;
static_assert(archive_name_capacity == archive_records::max_name_units + 1,
              "the name buffer holds the longest name the packer writes and its terminator");
// File content goes to WriteFile in pieces of up to 1 MiB through one
// static buffer: few enough calls for the whole archive, and a buffer that
// still fits the processor's cache (4 MiB pieces were slower).
inline constexpr size_t file_chunk_size = 1 << 20;
inline constexpr int directory_cache_capacity = 1024;

// Directories known to exist; the cache never shrinks and never holds an
// unreadable entry. The user's home directory becomes entry 0 when a path
// outside the target directory is asked for while nothing is cached: only a
// climb above a target directory that could not be made asks for one, and
// there the home directory must stop it, while a run that makes its target
// directory never needs the home directory looked up.
struct DirectoryCache {
    wchar_t *entries[directory_cache_capacity] = {nullptr};
    int count = 0;
    // The directory-creating call, CreateDirectoryW when null; tests count
    // calls through it. Null at start, so the whole cache is zero-initialised
    // and costs the stub no bytes.
    BOOL(WINAPI *create_directory)(const wchar_t *, LPSECURITY_ATTRIBUTES) = nullptr;
};
extern DirectoryCache directory_cache;

// Makes sure the directory that contains `path` exists, creating missing
// ancestors first. Reports nothing.
void create_parent_directories(const wchar_t *path);
// True when `path` exists as a directory afterwards, as far as we can tell.
bool create_directory_cached(const wchar_t *path);

// Walks the archive. Fills the application library path from the first
// record; a nested instance stops right after that name. An archive without
// any file record ends the process with the decoding failure.
void extract_archive();
