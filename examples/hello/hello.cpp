// hello.dll - the smallest useful Tavrik application.
//
// The launcher unpacks its archive into a temporary directory, loads the
// first file (this library) and calls its run_code export. Whatever run_code
// returns becomes the launcher's exit code.
//
// This example prints a greeting, then what it was given:
//   - its arguments, one per line with their index (argv[0] is the full
//     path of the launcher executable),
//   - the path this library was loaded from,
//   - the directory the launcher executable lives in,
//   - the name the launcher was started under (as the user typed it),
//   - the current directory.
//
// Usage, once packed into hello.exe:
//   hello.exe [arguments...] [--exit N]
// "--exit N" makes it exit with code N (decimal); otherwise it exits with 0.
//
// Build it as a DLL with MinGW-w64 or MSVC; see README.md.

#include <windows.h>

#include <cwchar>
#include <string>

namespace {

// Windows hands us UTF-16; UTF-8 is what pipes and files expect.
std::string to_utf8(const std::wstring &text) {
    if (text.empty()) return std::string();
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &utf8[0], size,
                        nullptr, nullptr);
    return utf8;
}

// The launcher is a GUI program and may have no console. It passes on the
// standard handles of whoever started it, so write to the handle directly
// rather than through a console API; nothing happens when there is none.
void print(const std::wstring &line) {
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (out == nullptr || out == INVALID_HANDLE_VALUE) return;
    const std::string utf8 = to_utf8(line + L"\n");
    DWORD written = 0;
    WriteFile(out, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
}

// An environment variable's value, or a note saying it is not set.
std::wstring env_or_unset(const wchar_t *name) {
    // Asking with no buffer returns the size needed, terminator included.
    const DWORD size = GetEnvironmentVariableW(name, nullptr, 0);
    if (size == 0) return L"(not set)";
    std::wstring value(size, L'\0');
    const DWORD length = GetEnvironmentVariableW(name, &value[0], size);
    value.resize(length < size ? length : 0);
    return value;
}

std::wstring current_directory() {
    const DWORD size = GetCurrentDirectoryW(0, nullptr);
    std::wstring dir(size, L'\0');
    const DWORD length = GetCurrentDirectoryW(size, &dir[0]);
    dir.resize(length < size ? length : 0);
    return dir;
}

}  // namespace

// The entry point the launcher looks for. It must be exported with C linkage
// and exactly this signature:
//   argc, argv    - the process's own command line, already split into words
//   library_path  - where this DLL was unpacked to and loaded from
extern "C" __declspec(dllexport) int run_code(int argc, wchar_t **argv,
                                              const wchar_t *library_path) {
    print(L"Hello from a Tavrik application!");

    int exit_code = 0;
    for (int i = 0; i < argc; ++i) {
        print(L"argument " + std::to_wstring(i) + L": " + argv[i]);
        if (std::wcscmp(argv[i], L"--exit") == 0 && i + 1 < argc)
            exit_code = static_cast<int>(std::wcstol(argv[i + 1], nullptr, 10));
    }

    print(std::wstring(L"library path: ") + library_path);
    // The launcher sets these for its application before calling run_code.
    print(L"launcher directory: " + env_or_unset(L"TAVRIK_ONEFILE_DIRECTORY"));
    print(L"started as: " + env_or_unset(L"TAVRIK_ORIGINAL_ARGV0"));
    print(L"current directory: " + current_directory());

    return exit_code;
}
