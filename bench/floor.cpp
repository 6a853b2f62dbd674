// The floor of the benchmark: what any launcher of this design cannot avoid
// doing in one run, and nothing else.
//
//   tavrik-bench-floor.exe PACKED.exe ARCHIVE_BYTES
//       maps PACKED.exe read-only (as the loader maps the launcher's image),
//       decodes the zstd frame of its ".tavrik" section from memory on one
//       thread into one buffer of ARCHIVE_BYTES, then starts itself with
//       --child, waits for it and returns its exit code. Exit code 3 when
//       the frame does not decode to exactly ARCHIVE_BYTES.
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

namespace {

int write_memory_report(const wchar_t *path) {
    PROCESS_MEMORY_COUNTERS memory = {};
    memory.cb = sizeof memory;
    if (!GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory)) return 4;
    char text[256];
    int length = snprintf(text, sizeof text, "peak_working_set=%llu\nworking_set=%llu\npeak_private=%llu\n",
                          static_cast<unsigned long long>(memory.PeakWorkingSetSize),
                          static_cast<unsigned long long>(memory.WorkingSetSize),
                          static_cast<unsigned long long>(memory.PeakPagefileUsage));
    HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 4;
    DWORD written = 0;
    WriteFile(file, text, static_cast<DWORD>(length), &written, nullptr);
    CloseHandle(file);
    return 0;
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
        if (memcmp(section->Name, ".tavrik\0", 8) != 0) continue;
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

// Maps PACKED and decodes its frame; 0 or an exit code. `times` gets the
// counter before mapping, after mapping, after decoding.
int map_and_decode(const wchar_t *packed, unsigned long long archive_bytes, long long times[3]) {
    times[0] = qpc();
    HANDLE file = CreateFileW(packed, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 2;
    LARGE_INTEGER file_size;
    if (!GetFileSizeEx(file, &file_size)) return 2;
    HANDLE mapping = CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    if (mapping == nullptr) return 2;
    auto *view = static_cast<const unsigned char *>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0));
    if (view == nullptr) return 2;
    size_t size = 0;
    const unsigned char *data = find_section(view, static_cast<unsigned long long>(file_size.QuadPart), size);
    if (data == nullptr || size < 3 || memcmp(data, "ZUB", 3) != 0) return 2;
    times[1] = qpc();

    size_t frame_size = ZSTD_findFrameCompressedSize(data + 3, size - 3);
    if (ZSTD_isError(frame_size)) return 3;
    void *output = malloc(static_cast<size_t>(archive_bytes));
    ZSTD_DCtx *context = ZSTD_createDCtx();
    if (output == nullptr || context == nullptr) return 2;
    size_t decoded = ZSTD_decompressDCtx(context, output, static_cast<size_t>(archive_bytes), data + 3, frame_size);
    if (ZSTD_isError(decoded) || decoded != archive_bytes) return 3;
    times[2] = qpc();
    ZSTD_freeDCtx(context);
    free(output);
    UnmapViewOfFile(view);
    CloseHandle(mapping);
    CloseHandle(file);
    return 0;
}

int decode_only(const wchar_t *packed, unsigned long long archive_bytes, const wchar_t *report) {
    long long times[3];
    int result = map_and_decode(packed, archive_bytes, times);
    if (result != 0) return result;
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    char text[256];
    int length = snprintf(text, sizeof text, "map_us=%.1f\ndecode_us=%.1f\n",
                          static_cast<double>(times[1] - times[0]) * 1e6 / static_cast<double>(frequency.QuadPart),
                          static_cast<double>(times[2] - times[1]) * 1e6 / static_cast<double>(frequency.QuadPart));
    HANDLE file = CreateFileW(report, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 4;
    DWORD written = 0;
    WriteFile(file, text, static_cast<DWORD>(length), &written, nullptr);
    CloseHandle(file);
    return 0;
}

int decode_and_start_child(const wchar_t *packed, unsigned long long archive_bytes) {
    long long times[3];
    int result = map_and_decode(packed, archive_bytes, times);
    if (result != 0) return result;

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
    if (!CreateProcessW(self, command_line, nullptr, nullptr, TRUE, NORMAL_PRIORITY_CLASS, nullptr, nullptr,
                        &startup, &child))
        return 2;
    CloseHandle(child.hThread);
    WaitForSingleObject(child.hProcess, INFINITE);
    DWORD exit_code = 2;
    GetExitCodeProcess(child.hProcess, &exit_code);
    CloseHandle(child.hProcess);
    return static_cast<int>(exit_code);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
    int argc = *__p___argc();
    wchar_t **argv = *__p___wargv();
    if (argc == 2 && wcscmp(argv[1], L"--child") == 0) return 0;
    if (argc == 3 && wcscmp(argv[1], L"--memory") == 0) return write_memory_report(argv[2]);
    if (argc == 5 && wcscmp(argv[1], L"--decode-only") == 0)
        return decode_only(argv[2], _wcstoui64(argv[3], nullptr, 10), argv[4]);
    if (argc != 3) return 2;
    return decode_and_start_child(argv[1], _wcstoui64(argv[2], nullptr, 10));
}
