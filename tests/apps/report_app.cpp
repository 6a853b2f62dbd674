// A test application whose behaviour the end-to-end tests choose through
// environment variables, all optional; see report_format.h for the report.
//
//   TAVRIK_TEST_IGNORE_CTRL=1   ignore Ctrl+C / Ctrl+Break (handler returns TRUE)
//   TAVRIK_TEST_CTRL_EXIT_CODE=n handle Ctrl+C / Ctrl+Break: the sleep below
//                               ends and the result is n instead
//   TAVRIK_TEST_LOAD=name       LoadLibraryExW(name); reports "load=ok" or
//                               "load=error <GetLastError>"
//   TAVRIK_TEST_PROTECT=1       marks every file of its directory tree read-only,
//                               hidden and system (reports "protected=<count>"),
//                               and leaves a link "to_cwd" to the current
//                               directory there ("link=ok" or "link=error <code>")
//   TAVRIK_TEST_SPAWN=command   starts the command line without waiting for it
//                               and without handing it any handle; reports
//                               "spawned=<pid>" or "spawned=error <GetLastError>"
//   TAVRIK_TEST_RUN=command     runs the command line, inheriting handles, waits
//                               for it; reports "run_exit=<unsigned decimal>",
//                               or "run_exit=error <GetLastError>" if it did not start;
//                               the variable is removed first, so a nested copy of
//                               this app does not run the command again
//   TAVRIK_TEST_RUN_REPORT=path the report path for the command run above
//                               (removed with TAVRIK_TEST_RUN, so the nested
//                               copy writes there and this app still writes
//                               to TAVRIK_TEST_REPORT)
//   TAVRIK_TEST_RUN_EXIT_CODE=n the exit code for the command run above
//   TAVRIK_TEST_REPORT=path     writes the report there (replaced as a whole)
//   TAVRIK_TEST_PRINT=text      writes text + "\n" to standard output
//   TAVRIK_TEST_SLEEP_MS=n      sleeps n ms after the report and the print,
//                               so a test that sees either knows it is asleep
//   TAVRIK_TEST_SLEEP_UNTIL=path  ends that sleep early once the file exists
//   TAVRIK_TEST_EXIT_CODE=n     the result, decimal or 0x-hex, 32-bit unsigned;
//                               default 0, unparsable gives bad_setting_exit_code
//
// The actions run in the order listed.

#include "format/launcher_names.h"
#include "report_format.h"
#include "win_text.h"

#include <windows.h>

#include <optional>
#include <string>

using tavrik_apps::read_env;
using tavrik_apps::to_utf8;

namespace {

// Returned when a numeric setting does not parse: a broken test setting
// should not pass for a genuine exit code.
constexpr DWORD bad_setting_exit_code = 0x0BADC0DE;

const wchar_t *const reported_variables[] = {
    L"" TAVRIK_PARENT_VARIABLE,    L"" TAVRIK_START_VARIABLE,     L"" TAVRIK_TIME_VARIABLE,
    L"" TAVRIK_RANDOM_VARIABLE,    L"" TAVRIK_DIRECTORY_VARIABLE, L"" TAVRIK_ARGV0_VARIABLE,
};

// Decimal, or hexadecimal after "0x"; nothing on overflow or stray characters.
std::optional<DWORD> parse_u32(const std::wstring &text) {
    unsigned base = 10;
    size_t i = 0;
    if (text.size() > 2 && text[0] == L'0' && (text[1] == L'x' || text[1] == L'X')) {
        base = 16;
        i = 2;
    }
    if (i == text.size()) return std::nullopt;
    unsigned long long value = 0;
    for (; i < text.size(); ++i) {
        const wchar_t c = text[i];
        unsigned digit;
        if (c >= L'0' && c <= L'9') digit = c - L'0';
        else if (base == 16 && c >= L'a' && c <= L'f') digit = c - L'a' + 10;
        else if (base == 16 && c >= L'A' && c <= L'F') digit = c - L'A' + 10;
        else return std::nullopt;
        value = value * base + digit;
        if (value > 0xFFFFFFFFull) return std::nullopt;
    }
    return static_cast<DWORD>(value);
}

std::wstring current_directory() {
    std::wstring dir(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetCurrentDirectoryW(static_cast<DWORD>(dir.size()), &dir[0]);
        if (length == 0) return std::wstring();
        if (length < dir.size()) {
            dir.resize(length);
            return dir;
        }
        dir.resize(length);
    }
}

std::string load_library(const std::wstring &name) {
    const HMODULE module = LoadLibraryExW(name.c_str(), nullptr, 0);
    if (module == nullptr) return "error " + std::to_string(GetLastError());
    FreeLibrary(module);
    return "ok";
}

// Runs the command the way a user's program would start another copy of the
// launcher: same standard handles, waiting for its result.
std::string run_command(std::wstring command) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process = {};
    // CreateProcessW may write into the command line, hence the copy.
    if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                        &startup, &process))
        return "error " + std::to_string(GetLastError());
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD exit_code = 0;
    GetExitCodeProcess(process.hProcess, &exit_code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return std::to_string(exit_code);
}

// Written beside the target and moved over it, so a test polling for the
// file never reads half a report.
// Counts the files it marked below `directory` (a \\?\ path).
int protect_below(const std::wstring &directory) {
    int count = 0;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((directory + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return 0;
    do {
        std::wstring name = found.cFileName;
        if (name == L"." || name == L".." || (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) continue;
        std::wstring path = directory + L"\\" + name;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            count += protect_below(path);
            SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY);
        } else if (SetFileAttributesW(path.c_str(),
                                      FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)) {
            ++count;
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return count;
}

bool write_file_whole(const std::wstring &path, const std::string &content) {
    const std::wstring partial = path + L".partial";
    const HANDLE file = CreateFileW(partial.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const bool ok = WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written,
                              nullptr) &&
                    written == content.size();
    CloseHandle(file);
    return ok && MoveFileExW(partial.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING);
}

BOOL WINAPI ignore_ctrl(DWORD) { return TRUE; }

HANDLE ctrl_heard = nullptr;
BOOL WINAPI end_on_ctrl(DWORD type) {
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT) return FALSE;
    SetEvent(ctrl_heard);
    return TRUE;
}

}  // namespace

extern "C" __declspec(dllexport) int run_code(int argc, wchar_t **argv,
                                              const wchar_t *library_path) {
    tavrik_report::report_writer report;
    report.add("argc", std::to_string(argc));
    for (int i = 0; i < argc; ++i)
        report.add("argv[" + std::to_string(i) + "]", to_utf8(argv[i]));
    report.add("library_path", to_utf8(library_path));
    report.add("current_directory", to_utf8(current_directory()));
    report.add("pid", std::to_string(GetCurrentProcessId()));
    for (const wchar_t *name : reported_variables) {
        const auto value = read_env(name);
        if (value)
            report.add("env:" + to_utf8(name), to_utf8(*value));
        else
            report.add_marker("unset:" + to_utf8(name));
    }

    DWORD exit_code = 0;
    if (const auto text = read_env(L"TAVRIK_TEST_EXIT_CODE"))
        exit_code = parse_u32(*text).value_or(bad_setting_exit_code);
    report.add("exit_code", std::to_string(exit_code));

    if (read_env(L"TAVRIK_TEST_IGNORE_CTRL") == std::wstring(L"1")) {
        SetConsoleCtrlHandler(ignore_ctrl, TRUE);
        report.add("ignore_ctrl", "1");
    }
    DWORD ctrl_exit_code = 0;
    if (const auto text = read_env(L"TAVRIK_TEST_CTRL_EXIT_CODE")) {
        ctrl_exit_code = parse_u32(*text).value_or(bad_setting_exit_code);
        ctrl_heard = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        SetConsoleCtrlHandler(end_on_ctrl, TRUE);
        report.add("ctrl_exit_code", std::to_string(ctrl_exit_code));
    }
    if (const auto name = read_env(L"TAVRIK_TEST_LOAD"))
        report.add("load", load_library(*name));
    if (read_env(L"TAVRIK_TEST_PROTECT") == std::wstring(L"1")) {
        std::wstring directory = library_path;
        directory = L"\\\\?\\" + directory.substr(0, directory.rfind(L'\\'));
        report.add("protected", std::to_string(protect_below(directory)));
        bool linked = CreateSymbolicLinkW((directory + L"\\to_cwd").c_str(), current_directory().c_str(),
                                          SYMBOLIC_LINK_FLAG_DIRECTORY | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE);
        report.add("link", linked ? "ok" : "error " + std::to_string(GetLastError()));
    }
    if (auto command = read_env(L"TAVRIK_TEST_SPAWN")) {
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;  // none: Wine would pass ours on
        PROCESS_INFORMATION process = {};
        if (CreateProcessW(nullptr, &(*command)[0], nullptr, nullptr, FALSE, DETACHED_PROCESS, nullptr, nullptr,
                           &startup, &process)) {
            report.add("spawned", std::to_string(process.dwProcessId));
            CloseHandle(process.hThread);
            CloseHandle(process.hProcess);
        } else {
            report.add("spawned", "error " + std::to_string(GetLastError()));
        }
    }
    if (const auto command = read_env(L"TAVRIK_TEST_RUN")) {
        SetEnvironmentVariableW(L"TAVRIK_TEST_RUN", nullptr);
        const auto own_report = read_env(L"TAVRIK_TEST_REPORT");
        const auto own_exit_code = read_env(L"TAVRIK_TEST_EXIT_CODE");
        if (const auto nested_report = read_env(L"TAVRIK_TEST_RUN_REPORT"))
            SetEnvironmentVariableW(L"TAVRIK_TEST_REPORT", nested_report->c_str());
        if (const auto nested_exit_code = read_env(L"TAVRIK_TEST_RUN_EXIT_CODE"))
            SetEnvironmentVariableW(L"TAVRIK_TEST_EXIT_CODE", nested_exit_code->c_str());
        SetEnvironmentVariableW(L"TAVRIK_TEST_RUN_REPORT", nullptr);
        SetEnvironmentVariableW(L"TAVRIK_TEST_RUN_EXIT_CODE", nullptr);
        report.add("run_exit", run_command(*command));
        SetEnvironmentVariableW(L"TAVRIK_TEST_REPORT", own_report ? own_report->c_str() : nullptr);
        SetEnvironmentVariableW(L"TAVRIK_TEST_EXIT_CODE", own_exit_code ? own_exit_code->c_str() : nullptr);
    }

    DWORD sleep_ms = 0;
    if (const auto text = read_env(L"TAVRIK_TEST_SLEEP_MS")) {
        const auto parsed = parse_u32(*text);
        if (!parsed) return static_cast<int>(bad_setting_exit_code);
        sleep_ms = *parsed;
        report.add("sleep_ms", std::to_string(sleep_ms));
    }

    if (const auto path = read_env(L"TAVRIK_TEST_REPORT")) {
        if (!write_file_whole(*path, report.text())) return static_cast<int>(bad_setting_exit_code);
    }
    if (const auto text = read_env(L"TAVRIK_TEST_PRINT"))
        tavrik_apps::write_stdout(to_utf8(*text) + "\n");
    if (ctrl_heard != nullptr) {
        if (WaitForSingleObject(ctrl_heard, sleep_ms) == WAIT_OBJECT_0) return static_cast<int>(ctrl_exit_code);
    } else if (const auto until = read_env(L"TAVRIK_TEST_SLEEP_UNTIL")) {
        // Polled: a test releases the application by creating the file, so a
        // slow machine never ends the sleep before the test is done with it.
        for (DWORD slept = 0; slept < sleep_ms && GetFileAttributesW(until->c_str()) == INVALID_FILE_ATTRIBUTES;
             slept += 20)
            Sleep(20);
    } else if (sleep_ms != 0) {
        Sleep(sleep_ms);
    }
    return static_cast<int>(exit_code);
}
