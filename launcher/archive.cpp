#include "launcher/archive.h"

#include <stdio.h>
#include <stdlib.h>

#include "common/wide_buffer.h"
#include "diagnostics/messages.h"
#include "diagnostics/report.h"
#include "format/packed_format.h"
#include "launcher/attached_data.h"
#include "launcher/cleanup.h"
#include "launcher/launch_state.h"
#include "paths/path_spec.h"

DirectoryCache directory_cache;

namespace {

wchar_t name[archive_name_capacity];
WideBuffer<4096> file_path;
static_assert(decltype(file_path)::capacity == packed_format::max_path_units + 1,
              "the path buffer holds the longest path the packer allows and its terminator");
unsigned char chunk[file_chunk_size];

using archive_records::Event;
using archive_records::RecordParser;

// The next event of the walk. The parser is fed exactly the bytes it wants
// (a unit, a size, at most a chunk of content), so that a nested instance
// stops right after the first name and nothing past the end record is
// decoded. A damaged archive ends the process with the decoding failure.
Event next_event(RecordParser &records) {
    for (;;) {
        const Event event = records.next();
        if (event == Event::failed) fail_plain(message_decode_failed);
        if (event != Event::need_input) return event;
        const uint64_t wanted = records.wanted();
        const size_t n = wanted < file_chunk_size ? static_cast<size_t>(wanted) : file_chunk_size;
        read_payload(chunk, n);
        records.feed(chunk, n);
    }
}

// The parser tells events in one order: anything else is no archive.
void expect(RecordParser &records, Event expected) {
    if (next_event(records) != expected) fail_plain(message_decode_failed);
}

// Reads one name into `name`; false at the end record. A name longer than
// the buffer holds cannot come from our packer: the parser refuses it.
bool read_name(RecordParser &records) {
    for (size_t length = 0;;) {
        switch (next_event(records)) {
        case Event::name_unit: name[length++] = static_cast<wchar_t>(records.unit()); break;
        case Event::name_end: name[length] = 0; return true;
        case Event::archive_end: return false;
        default: fail_plain(message_decode_failed);
        }
    }
}

// Every file is new: the target directory is fresh, so a file that already
// exists can only be one planted there or a name the archive repeats, and
// either is refused as an open failure rather than overwritten. Creating
// instead of truncating also spares the file system the write-back that a
// truncation forces on close.
void write_file(RecordParser &records, const wchar_t *path) {
    HANDLE file = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, CREATE_NEW, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) fail_with_path(message_open_for_writing, path);
    // Known to the clean-up, which closes it before deleting the directory.
    cleanup.file_being_written = file;
    while (next_event(records) == Event::content) {
        const DWORD n = static_cast<DWORD>(records.content_length());
        DWORD written = 0;
        if (!WriteFile(file, records.content(), n, &written, nullptr))
            fail_with_code(message_unpack_failed, GetLastError());
    }
    cleanup.file_being_written = nullptr;
    CloseHandle(file);
}

// True for the target directory and every path below it. Looking up the
// home directory for these would be wasted: the target's name is fresh, so
// nothing that existed before the run lies there.
bool within_target_directory(const wchar_t *path) {
    const wchar_t *target = launch.target_directory.text;
    size_t length = wcslen(target);
    return length != 0 && wcsncmp(path, target, length) == 0 && (path[length] == 0 || path[length] == L'\\');
}

void seed_directory_cache() {
    static wchar_t home[4096];
    if (!expand_path_spec(home, L"{HOME}", 4096)) report_spec_failure(L"{HOME}");
    wchar_t *copy = _wcsdup(home);
    if (copy != nullptr) directory_cache.entries[directory_cache.count++] = copy;
}

}  // namespace

bool create_directory_cached(const wchar_t *path) {
    if (directory_cache.count == 0 && !within_target_directory(path)) seed_directory_cache();
    for (int i = 0; i < directory_cache.count; ++i)
        if (wcscmp(path, directory_cache.entries[i]) == 0) return true;
    if (wcslen(path) == 2 && path[1] == L':') return true;  // a drive exists
    auto create_directory = directory_cache.create_directory ? directory_cache.create_directory : CreateDirectoryW;
    if (!create_directory(path, nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
        return false;
    if (directory_cache.count < directory_cache_capacity) {
        // A copy that cannot be made is simply not remembered.
        wchar_t *copy = _wcsdup(path);
        if (copy != nullptr) directory_cache.entries[directory_cache.count++] = copy;
    }
    return true;
}

void create_parent_directories(const wchar_t *path) {
    if (path == nullptr) abort();
    // One buffer for every level, cut at separators in place: climbing
    // writes a NUL over the separator of each level tried, and climbing
    // back down puts them back one at a time. No recursion, so a tree of
    // any depth needs no more stack than a flat one.
    WideBuffer<4096> parent;
    parent.assign(path);
    wchar_t *text = parent.text;
    size_t cut = parent.length();
    // Levels tried and not made, each still cut at its separator.
    int missing = 0;
    bool above_top = false;
    while (cut > 0) {
        // The first unit is never examined: a leading backslash is no parent.
        --cut;
        while (cut > 0 && text[cut] != L'\\') --cut;
        if (cut == 0) {
            above_top = true;
            break;
        }
        text[cut] = 0;
        if (create_directory_cached(text)) break;
        ++missing;
    }
    if (missing == 0) return;
    // Missing ancestors are made from the top down. When the climb stopped
    // at a level that exists, the first missing one is the level below it.
    if (!above_top) text[wcslen(text)] = L'\\';
    for (; missing > 0; --missing) {
        create_directory_cached(text);
        if (missing > 1) text[wcslen(text)] = L'\\';
    }
}

void extract_archive() {
    RecordParser records;
    while (read_name(records)) {
        file_path.clear();
        file_path.append(launch.target_directory.text);
        file_path.append(L"\\");
        file_path.append(name);
        if (launch.application_library_path.empty()) {
            launch.application_library_path.assign(file_path.text);
            if (!is_top_level) return;
        }
        expect(records, Event::size);
        // Nothing new is written once an interruption's clean-up has begun.
        stand_by_if_interrupted();
        create_parent_directories(file_path.text);
        write_file(records, file_path.text);
    }
    // An archive must start with the application library. Without it a
    // nested instance would go on to start a child of its own, endlessly,
    // and a top-level one would start a child that cannot run.
    if (launch.application_library_path.empty()) fail_plain(message_decode_failed);
}
