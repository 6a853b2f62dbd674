#include "diagnostics/report.h"

#include <locale.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

FailureDisplay failure_display = {standard_stream_reaches_someone, load_user32_window_functions};

namespace {

void (*before_failure_line)() = nullptr;
void (*after_failure_line)() = nullptr;

// The line of a failure that has no stream to go to, shown once the
// clean-up is done: a box can stay open for as long as nobody looks.
constexpr size_t boxed_line_capacity = 32768 + 512;
wchar_t boxed_line[boxed_line_capacity];
bool line_boxed = false;

void show_in_message_box(const wchar_t *line) {
    WindowFunctions window = {};
    if (!failure_display.load_window_functions(window)) return;
    // Checked before anything is shown: in a service's window station
    // nobody sees the box, and MessageBoxW would wait for ever.
    HWINSTA station = window.get_process_window_station();
    USEROBJECTFLAGS flags = {};
    if (station == nullptr ||
        !window.get_user_object_information(station, UOI_FLAGS, &flags, sizeof flags, nullptr) ||
        !(flags.dwFlags & WSF_VISIBLE))
        return;
    static wchar_t program[4096];
    DWORD length = GetModuleFileNameW(nullptr, program, 4096);
    const wchar_t *title = L"";
    if (length != 0 && length < 4096) {
        const wchar_t *separator = wcsrchr(program, L'\\');
        title = separator != nullptr ? separator + 1 : program;
    }
    window.message_box(nullptr, line, title, MB_OK | MB_ICONERROR | MB_SETFOREGROUND);
}

[[noreturn]] void exit_after_failure() {
    if (after_failure_line != nullptr) after_failure_line();
    if (line_boxed) show_in_message_box(boxed_line);
    exit(2);
}

void stand_by_before_line() {
    if (before_failure_line != nullptr) before_failure_line();
}

// Appends narrow text, widened in the ANSI code page FormatMessageA used.
void box_narrow(const char *text, size_t length) {
    size_t used = wcslen(boxed_line);
    if (length == 0 || used + 1 >= boxed_line_capacity) return;
    int made = MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(length), boxed_line + used,
                                   static_cast<int>(boxed_line_capacity - 1 - used));
    boxed_line[used + (made > 0 ? made : 0)] = 0;
    line_boxed = true;
}

// The line without its line end goes to the box when `which` reaches nobody.
bool boxed_instead(DWORD which) {
    if (failure_display.stream_reaches_someone(which)) return false;
    boxed_line[0] = 0;
    line_boxed = true;
    return true;
}

// The system's English text for `code` without its line end; "" if none.
const char *system_text(unsigned long code) {
    char *text = nullptr;
    DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM,
        nullptr, code, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US),
        reinterpret_cast<char *>(&text), 0, nullptr);
    length = trim_line_end(text, length);
    // The text buffer is not released: the process ends right after.
    return length > 0 ? text : "";
}

// C0 and C1 controls, DEL, and the line and paragraph separators: a terminal
// or a log reader may break the line at any of them (NEL, U+2028, U+2029) or
// act on them.
bool unsafe_in_a_line(wchar_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029;
}

const wchar_t *shown_path(const wchar_t *path) {
    static wchar_t shown[32768];
    size_t length = 0;
    for (; path[length] != 0 && length + 1 < sizeof shown / sizeof shown[0]; ++length)
        shown[length] = unsafe_in_a_line(path[length]) ? L'?' : path[length];
    shown[length] = 0;
    return shown;
}

}  // namespace

void set_failure_hooks(void (*before_line)(), void (*after_line)()) {
    before_failure_line = before_line;
    after_failure_line = after_line;
}

bool standard_stream_reaches_someone(DWORD which) {
    // A console shows what is written to it.
    if (GetConsoleCP() != 0) return true;
    HANDLE stream = GetStdHandle(which);
    if (stream == nullptr || stream == INVALID_HANDLE_VALUE) return false;
    SetLastError(NO_ERROR);
    return GetFileType(stream) != FILE_TYPE_UNKNOWN || GetLastError() == NO_ERROR;
}

bool load_user32_window_functions(WindowFunctions &functions) {
    HMODULE user32 = LoadLibraryExW(L"user32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (user32 == nullptr) return false;
    functions.get_process_window_station = reinterpret_cast<decltype(functions.get_process_window_station)>(
        reinterpret_cast<void *>(GetProcAddress(user32, "GetProcessWindowStation")));
    functions.get_user_object_information = reinterpret_cast<decltype(functions.get_user_object_information)>(
        reinterpret_cast<void *>(GetProcAddress(user32, "GetUserObjectInformationW")));
    functions.message_box = reinterpret_cast<decltype(functions.message_box)>(
        reinterpret_cast<void *>(GetProcAddress(user32, "MessageBoxW")));
    return functions.get_process_window_station != nullptr && functions.get_user_object_information != nullptr &&
           functions.message_box != nullptr;
}

void report_error_code(const char *message, unsigned long code) {
    fprintf(stderr, "%s ([Error %ld] %s)\n", message, static_cast<long>(code), system_text(code));
}

unsigned long trim_line_end(char *text, unsigned long length) {
    while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n')) text[--length] = 0;
    return length;
}

void fail_plain(const char *message) {
    stand_by_before_line();
    if (boxed_instead(STD_OUTPUT_HANDLE)) {
        box_narrow(message, strlen(message));
    } else {
        puts(message);
        // Written before the clean-up, which can take a while.
        fflush(stdout);
    }
    exit_after_failure();
}

void print_with_path(const char *format, const wchar_t *path) {
    setlocale(LC_CTYPE, ".UTF-8");
    fprintf(stderr, format, shown_path(path));
}

void fail_with_path(const char *format, const wchar_t *path) {
    stand_by_before_line();
    if (boxed_instead(STD_ERROR_HANDLE)) {
        // The format's one "%ls" takes the path; its "\n" ends the line.
        const char *slot = strstr(format, "%ls");
        size_t prefix = slot != nullptr ? static_cast<size_t>(slot - format) : strlen(format);
        box_narrow(format, prefix);
        if (slot != nullptr) {
            size_t used = wcslen(boxed_line);
            const wchar_t *shown = shown_path(path);
            size_t length = wcsnlen(shown, boxed_line_capacity - 1 - used);
            wmemcpy(boxed_line + used, shown, length);
            boxed_line[used + length] = 0;
            const char *rest = slot + 3;
            box_narrow(rest, strcspn(rest, "\n"));
        }
    } else {
        print_with_path(format, path);
    }
    exit_after_failure();
}

void fail_with_code(const char *message, unsigned long code) {
    stand_by_before_line();
    if (boxed_instead(STD_ERROR_HANDLE)) {
        static char line[4096];
        int length = snprintf(line, sizeof line, "%s ([Error %ld] %s)", message, static_cast<long>(code),
                              system_text(code));
        box_narrow(line, length < 0 ? 0 : length < static_cast<int>(sizeof line) ? length : sizeof line - 1);
    } else {
        report_error_code(message, code);
    }
    exit_after_failure();
}
