// The floors of the benchmark: what any launcher of this design cannot
// avoid doing in one run, and nothing else, and the same job as the
// launcher's done the plainest fast way.
//
//   tavrik-bench-floor.exe PACKED.exe ARCHIVE_BYTES
//       maps PACKED.exe read-only (as the loader maps the launcher's image),
//       decodes the zstd frame of its ".tavrik" section from memory on one
//       thread into one buffer of ARCHIVE_BYTES, then starts itself with
//       --child, waits for it and returns its exit code. Exit code 3 when
//       the frame does not decode to exactly ARCHIVE_BYTES.
//   tavrik-bench-floor.exe --same-job PACKED.exe ARCHIVE_BYTES [REPORT]
//       the same mapping and decoding, then writes every file of the archive
//       below a fresh directory in %TEMP% the best plain way (CreateFileW
//       with CREATE_NEW, WriteFile of up to 1 MiB straight from the decoded
//       buffer), starts itself with --child, waits, and deletes the tree
//       with a FindFirstFileW / DeleteFileW / RemoveDirectoryW walk.
//       With REPORT, writes the counter at each step's end, the child's
//       system times and this process's memory figures there, after the
//       deletion. Exit code 3 as above, 5 when writing or deleting fails.
//   tavrik-bench-floor.exe --parts PACKED.exe ARCHIVE_BYTES REPORT
//       the job's parts, each timed alone with QueryPerformanceCounter and
//       written to REPORT: mapping PACKED.exe and finding the frame; a cold
//       decode of the frame (a fresh decoder streaming it through a 1 MiB
//       buffer, as a launcher that writes as it decodes must); then, after
//       an untimed decode of the whole archive into one buffer, writing its
//       files from that buffer the best plain way (as --same-job); starting
//       --child and waiting for it; deleting the tree. Their sum is the
//       job's sequential limit: what the job costs when nothing is paid
//       twice. Exit codes as --same-job. Also timed alone, and not part of
//       the sum: XXH64 over the decoded archive, the content checksum the
//       cold decode already checks.
//   tavrik-bench-floor.exe --child
//       returns 0 at once.
//   tavrik-bench-floor.exe --decode-only PACKED.exe ARCHIVE_BYTES REPORT
//       the same mapping and decoding, timed inside the process with
//       QueryPerformanceCounter and written to REPORT; no child. For
//       reading the figures only: what the decoding alone costs here.
//   tavrik-bench-floor.exe --memory REPORT
//       writes this (otherwise idle) process's memory figures to REPORT:
//       what an empty process costs under this Windows or Wine.
//
// Built like the launcher stub: GUI subsystem, Universal CRT, the same
// zstd decoder library and compiler options.

#include <windows.h>
#include <psapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include <zstd.h>
// zstd's own XXH64, the content checksum its decoder checks.
#include <common/xxhash.h>

#include "format/archive_records.h"
#include "format/packed_format.h"

namespace {

// Text to `path`, in one write.
int write_text(const wchar_t *path, const char *text, size_t length) {
    HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 4;
    DWORD written = 0;
    WriteFile(file, text, static_cast<DWORD>(length), &written, nullptr);
    CloseHandle(file);
    return 0;
}

// Appends this process's memory figures to `text`; the new length.
size_t add_memory_figures(char *text, size_t capacity, size_t used) {
    PROCESS_MEMORY_COUNTERS memory = {};
    memory.cb = sizeof memory;
    if (!GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory)) return used;
    int n = snprintf(text + used, capacity - used, "peak_working_set=%llu\nworking_set=%llu\npeak_private=%llu\n",
                     static_cast<unsigned long long>(memory.PeakWorkingSetSize),
                     static_cast<unsigned long long>(memory.WorkingSetSize),
                     static_cast<unsigned long long>(memory.PeakPagefileUsage));
    return n > 0 && used + static_cast<size_t>(n) < capacity ? used + static_cast<size_t>(n) : used;
}

int write_memory_report(const wchar_t *path) {
    char text[256];
    size_t length = add_memory_figures(text, sizeof text, 0);
    if (length == 0) return 4;
    return write_text(path, text, length);
}

// The ".tavrik" section's bytes in the mapped file, or null.
const unsigned char *find_section(const unsigned char *file, unsigned long long file_size, size_t &size) {
    if (file_size < sizeof(IMAGE_DOS_HEADER)) return nullptr;
    auto *dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(file);
    if (dos->e_magic != IMAGE_DOS_SIGNATURE || dos->e_lfanew <= 0 ||
        static_cast<unsigned long long>(dos->e_lfanew) + sizeof(IMAGE_NT_HEADERS64) > file_size)
        return nullptr;
    auto *headers = reinterpret_cast<const IMAGE_NT_HEADERS64 *>(file + dos->e_lfanew);
    const IMAGE_SECTION_HEADER *section = IMAGE_FIRST_SECTION(headers);
    for (WORD i = 0; i < headers->FileHeader.NumberOfSections; ++i, ++section) {
        if (reinterpret_cast<const unsigned char *>(section + 1) > file + file_size) return nullptr;
        if (memcmp(section->Name, packed_format::section_name, sizeof section->Name) != 0) continue;
        unsigned long long start = section->PointerToRawData;
        unsigned long long length = section->SizeOfRawData;
        if (section->Misc.VirtualSize < length) length = section->Misc.VirtualSize;
        if (start + length > file_size) return nullptr;
        size = static_cast<size_t>(length);
        return file + start;
    }
    return nullptr;
}

long long qpc() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

struct Decoded {
    const unsigned char *view = nullptr;  // the mapped packed file
    HANDLE file = INVALID_HANDLE_VALUE, mapping = nullptr;
    unsigned char *archive = nullptr;  // the decoded archive, ARCHIVE_BYTES long
    long long start = 0, mapped = 0, decoded = 0;  // counter readings
};

// Maps PACKED and finds its frame (`frame`, `frame_size`); 0 or an exit code.
int map_frame(const wchar_t *packed, Decoded &out, const unsigned char *&frame, size_t &frame_size) {
    out.file = CreateFileW(packed, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (out.file == INVALID_HANDLE_VALUE) return 2;
    LARGE_INTEGER file_size;
    if (!GetFileSizeEx(out.file, &file_size)) return 2;
    out.mapping = CreateFileMappingW(out.file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    if (out.mapping == nullptr) return 2;
    out.view = static_cast<const unsigned char *>(MapViewOfFile(out.mapping, FILE_MAP_READ, 0, 0, 0));
    if (out.view == nullptr) return 2;
    size_t size = 0;
    const unsigned char *data = find_section(out.view, static_cast<unsigned long long>(file_size.QuadPart), size);
    if (data == nullptr) return 2;
    const size_t tail = size < packed_format::tail_size ? size : packed_format::tail_size;
    packed_format::Layout layout;
    if (packed_format::read_layout(data, size, data + size - tail, tail, size, layout) != nullptr) return 2;
    frame = data + packed_format::magic_size;
    frame_size = static_cast<size_t>(layout.frame_end) - packed_format::magic_size;
    return 0;
}

// Decodes the frame into a new buffer `out` of ARCHIVE_BYTES; 0 or an exit code.
int decode_whole(const unsigned char *frame, size_t frame_size, unsigned long long archive_bytes,
                 unsigned char *&out) {
    out = static_cast<unsigned char *>(malloc(static_cast<size_t>(archive_bytes)));
    ZSTD_DCtx *context = ZSTD_createDCtx();
    if (out == nullptr || context == nullptr) return 2;
    size_t decoded = ZSTD_decompressDCtx(context, out, static_cast<size_t>(archive_bytes), frame, frame_size);
    ZSTD_freeDCtx(context);
    return ZSTD_isError(decoded) || decoded != archive_bytes ? 3 : 0;
}

// Maps PACKED and decodes its frame into `out`; 0 or an exit code.
int map_and_decode(const wchar_t *packed, unsigned long long archive_bytes, Decoded &out) {
    out.start = qpc();
    const unsigned char *frame = nullptr;
    size_t frame_size = 0;
    int result = map_frame(packed, out, frame, frame_size);
    if (result != 0) return result;
    out.mapped = qpc();
    result = decode_whole(frame, frame_size, archive_bytes, out.archive);
    out.decoded = qpc();
    return result;
}

void release(Decoded &decoded) {
    free(decoded.archive);
    UnmapViewOfFile(decoded.view);
    CloseHandle(decoded.mapping);
    CloseHandle(decoded.file);
}

double microseconds(long long ticks) {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(ticks) * 1e6 / static_cast<double>(frequency.QuadPart);
}

int decode_only(const wchar_t *packed, unsigned long long archive_bytes, const wchar_t *report) {
    Decoded decoded;
    int result = map_and_decode(packed, archive_bytes, decoded);
    if (result != 0) return result;
    release(decoded);
    char text[256];
    int length = snprintf(text, sizeof text, "map_us=%.1f\ndecode_us=%.1f\n",
                          microseconds(decoded.mapped - decoded.start),
                          microseconds(decoded.decoded - decoded.mapped));
    return write_text(report, text, static_cast<size_t>(length));
}

// Starts this program with --child and waits for it; its exit code, or 2.
// `child_times` gets the child's creation and exit times.
int run_trivial_child(FILETIME child_times[2]) {
    static wchar_t self[32768];
    DWORD length = GetModuleFileNameW(nullptr, self, 32768);
    if (length == 0 || length >= 32768 - 16) return 2;
    static wchar_t command_line[32800];
    swprintf(command_line, 32800, L"\"%ls\" --child", self);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION child = {};
    // Wine now and then fails a start with ERROR_INTERNAL_ERROR and starts
    // the process when asked again, as the launcher does.
    for (int attempt = 0;; ++attempt) {
        if (CreateProcessW(self, command_line, nullptr, nullptr, TRUE, NORMAL_PRIORITY_CLASS, nullptr, nullptr,
                           &startup, &child))
            break;
        if (GetLastError() != ERROR_INTERNAL_ERROR || attempt == 3) return 2;
        Sleep(100);
    }
    CloseHandle(child.hThread);
    WaitForSingleObject(child.hProcess, INFINITE);
    DWORD exit_code = 2;
    GetExitCodeProcess(child.hProcess, &exit_code);
    if (child_times != nullptr) {
        FILETIME kernel, user;
        GetProcessTimes(child.hProcess, &child_times[0], &child_times[1], &kernel, &user);
    }
    CloseHandle(child.hProcess);
    return static_cast<int>(exit_code);
}

int decode_and_start_child(const wchar_t *packed, unsigned long long archive_bytes) {
    Decoded decoded;
    int result = map_and_decode(packed, archive_bytes, decoded);
    if (result != 0) return result;
    release(decoded);
    return run_trivial_child(nullptr);
}

// ---------------------------------------------------------------- same job

constexpr size_t path_capacity = 4096;
constexpr DWORD write_size = 1 << 20;

// Directories below the root made so far (a handful in any real archive);
// past the capacity every parent is simply created again.
struct MadeDirectories {
    wchar_t *paths[256];
    int count = 0;
};

// Creates each missing parent of `path` below `root_length`. False when one
// cannot be made.
bool make_parents(wchar_t *path, size_t root_length, MadeDirectories &made) {
    for (wchar_t *c = path + root_length + 1; *c != 0; ++c) {
        if (*c != L'\\') continue;
        *c = 0;
        bool known = false;
        for (int i = 0; i < made.count && !known; ++i) known = wcscmp(made.paths[i], path) == 0;
        bool ok = known || CreateDirectoryW(path, nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
        if (ok && !known && made.count < 256) made.paths[made.count++] = _wcsdup(path);
        *c = L'\\';
        if (!ok) return false;
    }
    return true;
}

// Writes every record of the archive (format/archive_records.h) below
// `root`, each file straight from the decoded buffer. False on any failure.
bool write_archive(const unsigned char *archive, size_t archive_size, const wchar_t *root, unsigned &files) {
    using archive_records::Event;
    static wchar_t path[path_capacity];
    size_t root_length = wcslen(root);
    wmemcpy(path, root, root_length);
    path[root_length] = L'\\';
    MadeDirectories made;
    archive_records::RecordParser records;
    records.feed(archive, archive_size);
    size_t length = root_length + 1;
    HANDLE file = INVALID_HANDLE_VALUE;
    for (;;) {
        switch (records.next()) {
        case Event::name_unit:
            if (length + 1 >= path_capacity) return false;
            path[length++] = static_cast<wchar_t>(records.unit());
            break;
        case Event::name_end:
            path[length] = 0;
            if (!make_parents(path, root_length, made)) return false;
            // CREATE_NEW: the directory is fresh. CREATE_ALWAYS truncates,
            // which under Wine on ext4 makes the kernel write the file back
            // on close.
            file = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, CREATE_NEW, 0, nullptr);
            if (file == INVALID_HANDLE_VALUE) return false;
            break;
        case Event::size: break;
        case Event::content:
            for (size_t at = 0; at < records.content_length();) {
                size_t left = records.content_length() - at;
                DWORD n = left < write_size ? static_cast<DWORD>(left) : write_size;
                DWORD written = 0;
                if (!WriteFile(file, records.content() + at, n, &written, nullptr) || written != n) {
                    CloseHandle(file);
                    return false;
                }
                at += n;
            }
            break;
        case Event::record_end:
            CloseHandle(file);
            file = INVALID_HANDLE_VALUE;
            length = root_length + 1;
            ++files;
            break;
        case Event::archive_end:
            for (int i = 0; i < made.count; ++i) free(made.paths[i]);
            return true;
        case Event::need_input:
        case Event::failed:
            if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
            return false;
        }
    }
}

// Deletes everything below `path` (length `length`, in a buffer of
// path_capacity), then `path` itself. Links are removed, never followed.
bool delete_tree(wchar_t *path, size_t length) {
    if (length + 2 >= path_capacity) return false;
    wcscpy(path + length, L"\\*");
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(path, &found);
    path[length] = 0;
    bool ok = true;
    if (search != INVALID_HANDLE_VALUE) {
        do {
            if (wcscmp(found.cFileName, L".") == 0 || wcscmp(found.cFileName, L"..") == 0) continue;
            size_t name_length = wcslen(found.cFileName);
            if (length + 1 + name_length >= path_capacity) {
                ok = false;
                continue;
            }
            path[length] = L'\\';
            wcscpy(path + length + 1, found.cFileName);
            bool directory = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
                             !(found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
            if (directory) ok = delete_tree(path, length + 1 + name_length) && ok;
            else if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ok = RemoveDirectoryW(path) && ok;
            else ok = DeleteFileW(path) && ok;
            path[length] = 0;
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    return RemoveDirectoryW(path) && ok;
}

// A fresh directory in %TEMP% for `prefix`, named like the launcher's but
// never matching its pattern; false when it cannot be made.
bool make_fresh_directory(wchar_t *root, const wchar_t *prefix, long long entry) {
    DWORD length = GetTempPathW(path_capacity, root);
    if (length == 0 || length >= path_capacity - 64) return false;
    swprintf(root + length, path_capacity - length, L"%ls_%lu_%06llu", prefix, GetCurrentProcessId(),
             static_cast<unsigned long long>(entry % 1000000));
    return CreateDirectoryW(root, nullptr) != 0;
}

// A fresh decoder streams the frame at `data` (after the magic, `span`
// bytes) through a 1 MiB buffer, the output thrown away; the decoded byte
// count, or 0 on failure.
unsigned long long stream_decode(const unsigned char *data, size_t span) {
    static unsigned char output[1 << 20];
    ZSTD_DCtx *context = ZSTD_createDCtx();
    if (context == nullptr) return 0;
    ZSTD_DCtx_setParameter(context, ZSTD_d_windowLogMax, 27);
    ZSTD_inBuffer input = {data, span, 0};
    unsigned long long total = 0;
    for (;;) {
        ZSTD_outBuffer out = {output, sizeof output, 0};
        size_t result = ZSTD_decompressStream(context, &out, &input);
        if (ZSTD_isError(result)) {
            total = 0;
            break;
        }
        total += out.pos;
        if (result == 0) break;
        if (out.pos == 0 && input.pos == input.size) {
            total = 0;
            break;
        }
    }
    ZSTD_freeDCtx(context);
    return total;
}

int parts(const wchar_t *packed, unsigned long long archive_bytes, const wchar_t *report) {
    long long entry = qpc();
    Decoded mapped;
    const unsigned char *frame = nullptr;
    size_t frame_size = 0;
    int result = map_frame(packed, mapped, frame, frame_size);
    if (result != 0) return result;
    long long map_done = qpc();
    if (stream_decode(frame, frame_size) != archive_bytes) return 3;
    long long decode_done = qpc();
    // Untimed: the whole archive in one buffer, for writing from memory.
    result = decode_whole(frame, frame_size, archive_bytes, mapped.archive);
    if (result != 0) return result;
    // The content checksum's share of the decode above: XXH64 over the
    // decoded archive, as the decoder computes it while it writes.
    long long checksum_start = qpc();
    volatile unsigned long long digest = XXH64(mapped.archive, static_cast<size_t>(archive_bytes), 0);
    (void)digest;
    long long checksum_done = qpc();

    static wchar_t root[path_capacity];
    long long write_start = qpc();
    if (!make_fresh_directory(root, L"samejob", write_start)) return 5;
    unsigned files = 0;
    bool written = write_archive(mapped.archive, static_cast<size_t>(archive_bytes), root, files);
    long long write_done = qpc();
    release(mapped);
    if (!written) return 5;

    long long spawn_start = qpc();
    int exit_code = run_trivial_child(nullptr);
    long long spawn_done = qpc();
    static wchar_t walk[path_capacity];
    wcscpy(walk, root);
    bool deleted = delete_tree(walk, wcslen(walk));
    long long delete_done = qpc();
    if (!deleted) return 5;

    char text[512];
    int length = snprintf(text, sizeof text,
                          "map_us=%.1f\ndecode_us=%.1f\nwrite_us=%.1f\nspawn_us=%.1f\ndelete_us=%.1f\nfiles=%u\n"
                          "checksum_us=%.1f\n",
                          microseconds(map_done - entry), microseconds(decode_done - map_done),
                          microseconds(write_done - write_start), microseconds(spawn_done - spawn_start),
                          microseconds(delete_done - spawn_done), files, microseconds(checksum_done - checksum_start));
    int written_report = write_text(report, text, static_cast<size_t>(length));
    return written_report != 0 ? written_report : exit_code;
}

int same_job(const wchar_t *packed, unsigned long long archive_bytes, const wchar_t *report) {
    long long entry = qpc();
    Decoded decoded;
    int result = map_and_decode(packed, archive_bytes, decoded);
    if (result != 0) return result;

    static wchar_t root[path_capacity];
    if (!make_fresh_directory(root, L"samejob", entry)) return 5;
    long long directory_made = qpc();
    unsigned files = 0;
    bool written = write_archive(decoded.archive, static_cast<size_t>(archive_bytes), root, files);
    long long files_written = qpc();
    release(decoded);
    long long released = qpc();
    if (!written) return 5;

    FILETIME child_times[2] = {};
    int exit_code = run_trivial_child(child_times);
    long long child_done = qpc();
    static wchar_t walk[path_capacity];
    wcscpy(walk, root);
    bool deleted = delete_tree(walk, wcslen(walk));
    long long tree_deleted = qpc();
    if (!deleted) return 5;

    if (report != nullptr) {
        static char text[1024];
        auto ticks = [](const FILETIME &t) {
            return (static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
        };
        int n = snprintf(text, sizeof text,
                         "entry_qpc=%lld\nmapped_qpc=%lld\ndecoded_qpc=%lld\ndirectory_qpc=%lld\nwritten_qpc=%lld\n"
                         "released_qpc=%lld\nchild_done_qpc=%lld\ndeleted_qpc=%lld\nchild_created_ft=%llu\n"
                         "child_exit_ft=%llu\nfiles=%u\n",
                         entry, decoded.mapped, decoded.decoded, directory_made, files_written, released, child_done,
                         tree_deleted, ticks(child_times[0]), ticks(child_times[1]), files);
        size_t used = add_memory_figures(text, sizeof text, static_cast<size_t>(n));
        write_text(report, text, used);
    }
    return exit_code;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
    int argc = *__p___argc();
    wchar_t **argv = *__p___wargv();
    if (argc == 2 && wcscmp(argv[1], L"--child") == 0) return 0;
    if (argc == 3 && wcscmp(argv[1], L"--memory") == 0) return write_memory_report(argv[2]);
    if (argc == 5 && wcscmp(argv[1], L"--decode-only") == 0)
        return decode_only(argv[2], _wcstoui64(argv[3], nullptr, 10), argv[4]);
    if (argc == 5 && wcscmp(argv[1], L"--parts") == 0)
        return parts(argv[2], _wcstoui64(argv[3], nullptr, 10), argv[4]);
    if ((argc == 4 || argc == 5) && wcscmp(argv[1], L"--same-job") == 0)
        return same_job(argv[2], _wcstoui64(argv[3], nullptr, 10), argc == 5 ? argv[4] : nullptr);
    if (argc != 3) return 2;
    return decode_and_start_child(argv[1], _wcstoui64(argv[2], nullptr, 10));
}
